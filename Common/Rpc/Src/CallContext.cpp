#include "CallContext.h"

namespace brondal {

CallContext::CallContext(IDataStream* reply)
    : reply_(reply), done_(GetScheduler().CreateEvent(false, false)) {
    GetScheduler().NewUuid(&callId_);
}

}  // namespace brondal
