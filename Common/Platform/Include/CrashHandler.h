#pragma once

namespace brondal {

// Makes a memory fault (SIGSEGV, SIGBUS) leave a crash report before the process dies: the
// file "crash-report.txt" in CrashFolder(), replaced on every crash, naming the signal, the
// faulting address, the thread and the thread's stack. The process then ends of the signal
// exactly as it would have without the report.
//
// The crash folder is looked up here but created only when a crash happens, so installing
// leaves no trace on disk. Installing again picks up a redirected crash folder. Called when
// the process scheduler is created; returns false, installing nothing, in sanitizer builds,
// whose own fault reports are far more useful than this one.
bool InstallCrashHandler();

// Gives the calling thread a stack of its own for the handler, so that an overflow of the
// thread's stack is reported too. The installing thread gets one; other long-lived threads
// should call this when they start. Without it a thread's ordinary faults are still
// reported, but its stack overflow ends the process without a report. The stack is
// released when the thread ends; a thread that already has one keeps it.
void InstallCrashStackForThisThread();

}  // namespace brondal
