#include "PosixTestShims.h"

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <string.h>

extern "C" char* mkdtemp(char* pattern) {
    const size_t length = strlen(pattern);
    if (length < 6 || strcmp(pattern + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    // _mktemp_s picks a name that does not exist yet; a race with another creator only
    // means trying again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        memcpy(pattern + length - 6, "XXXXXX", 6);
        if (_mktemp_s(pattern, length + 1) != 0) return nullptr;
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

#include <sys/resource.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

extern "C" int getrusage(int who, struct rusage* usage) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (who != RUSAGE_SELF ||
        !GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return -1;
    }
    usage->ru_maxrss = static_cast<long>(counters.PeakWorkingSetSize / 1024);
    return 0;
}
