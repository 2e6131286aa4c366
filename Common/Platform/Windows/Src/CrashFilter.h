#pragma once

struct _EXCEPTION_POINTERS;

namespace brondal::platform {

// The process's unhandled-exception filter (see CrashHandler.h). An access violation leaves
// "crash-report.txt" (code, address, thread, stack) and the full-memory minidump
// "crash.mdmp" in the crash folder, both replaced on every crash; other exceptions leave
// nothing. Always lets the search continue, so the process ends as the system decides.
// Separate from the installation so that tests can hand it a made-up exception.
long __stdcall CrashFilter(_EXCEPTION_POINTERS* exception);

}  // namespace brondal::platform
