#pragma once

#include <memory>

#include "ITransport.h"
#include "ResultCodes.h"

struct ssl_ctx_st;

namespace brondal {

// One OpenSSL context for a transport's connections, TLS 1.2 only. A server context carries
// the certificate and private key (PEM text in memory); a client context carries nothing,
// since connections do not check the peer's certificate.
class TlsContext {
public:
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Failures are logged with their fixed messages; *context is set only on success.
    [[nodiscard]] static Result CreateServer(const TlsSettings& settings,
                                             std::unique_ptr<TlsContext>* context);
    [[nodiscard]] static Result CreateClient(std::unique_ptr<TlsContext>* context);

    ssl_ctx_st* Get() const { return context_; }

private:
    explicit TlsContext(ssl_ctx_st* context) : context_(context) {}
    [[nodiscard]] static Result Create(bool server, std::unique_ptr<TlsContext>* context);

    ssl_ctx_st* context_;
};

}  // namespace brondal
