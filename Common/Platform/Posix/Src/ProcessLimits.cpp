#include "ProcessLimits.h"

#include <sys/resource.h>

namespace brondal {

std::optional<OpenFileLimit> RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::nullopt;
    OpenFileLimit result{limit.rlim_cur, limit.rlim_cur};
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) result.after = raised.rlim_cur;
    }
    return result;
}

}  // namespace brondal
