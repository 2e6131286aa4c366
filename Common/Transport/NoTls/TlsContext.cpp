// TlsContext of the build without a TLS library.
#include "TlsContext.h"

#include "LogCall.h"

namespace brondal {

TlsContext::~TlsContext() = default;

Result TlsContext::Create(bool server, std::unique_ptr<TlsContext>* context) {
    if (server) {
        LOG_SEVERE("TLS is not available in this build");
        return ResultFail;
    }
    // Empty: connections made with it stay plain, as they do without a context.
    context->reset(new TlsContext(nullptr));
    return ResultOk;
}

Result TlsContext::CreateClient(std::unique_ptr<TlsContext>* context) {
    return Create(false, context);
}

Result TlsContext::CreateServer(const TlsSettings&, std::unique_ptr<TlsContext>* context) {
    return Create(true, context);
}

}  // namespace brondal
