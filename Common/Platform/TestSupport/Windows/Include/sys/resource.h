#pragma once

// getrusage for the Windows build of the tests: the peak working set stands in for the peak
// resident size, in KiB as on Linux. Nothing else of the header is offered.

struct rusage {
    long ru_maxrss;
};

#define RUSAGE_SELF 0

#ifdef __cplusplus
extern "C" {
#endif
int getrusage(int who, struct rusage* usage);
#ifdef __cplusplus
}
#endif
