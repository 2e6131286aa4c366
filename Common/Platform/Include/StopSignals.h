#pragma once

#include <functional>
#include <memory>

namespace brondal {

// Stop requests on POSIX systems arrive as the signals SIGINT (a terminal's Ctrl-C) and
// SIGTERM (a service manager, kill). Nothing is done inside a signal handler: the signals
// stay blocked in every thread and one watcher thread takes them off the queue and runs
// ordinary code for them.

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it starts later.
// A program that watches for them calls this first thing in main, before any thread
// exists: a thread that still accepts them would be killed in the watcher's place. False
// when the mask could not be changed.
bool BlockStopSignals();

// Watches for SIGINT and SIGTERM until destroyed (the destructor waits for a handler call in
// progress to return). Signals that arrived while they were blocked and nobody watched are
// delivered as soon as the watch starts; several of one kind pending at once arrive as one.
class StopSignalWatcher {
public:
    using Handler = std::function<void(int signal)>;

    // Starts the watcher thread, which calls handler with the signal's number; null when the
    // watch cannot be set up. Blocks the two signals in the calling thread as well.
    static std::unique_ptr<StopSignalWatcher> Start(Handler handler);

    virtual ~StopSignalWatcher() = default;

protected:
    StopSignalWatcher() = default;
};

}  // namespace brondal
