#pragma once

namespace brondal {

// Adds an entry for the exception now being handled to "CrashLog.txt" in CrashFolder(true):
//   a std::runtime_error:  "<time>: Std runtime error: <what>, File: <file> Line#:<line>"
//   another std::exception: "<time>: Std Exception: <what>, File: <file> Line#:<line>"
//   anything else: "<log time>\t<thread>\tCRASH DUMP\t<function>\tCATCH\t<file>\t<line>"
// Failures (no folder, no file) are silent. Does nothing outside a catch block.
void RecordEscapingException(const char* function, const char* file, int line) noexcept;

}  // namespace brondal

// Wrap a function body whose escaping exceptions should leave a trace in the crash log:
//   void Serve() {
//       CATCH_FRAME_BEGIN
//       ...
//       CATCH_FRAME_END
//   }
// The exception is always rethrown; nested frames each add an entry, innermost first.
#define CATCH_FRAME_BEGIN try {
#define CATCH_FRAME_END                                                              \
    }                                                                                \
    catch (...) {                                                                    \
        ::brondal::RecordEscapingException(__PRETTY_FUNCTION__, __FILE__, __LINE__); \
        throw;                                                                       \
    }
