// The stop-signal watcher, in a child process whose one thread blocks the signals, which
// are sent to the whole process as a terminal or systemd sends them.
#include "StopSignals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "WaitFor.h"

namespace brondal {
namespace {

// 0 when everything held, else the number of the first check that failed.
int WatchInChild() {
    if (!BlockStopSignals()) return 1;
    // Pending before the watch starts: delivered once it does.
    ::kill(::getpid(), SIGINT);
    std::atomic<int> last{0}, count{0};
    auto watcher = StopSignalWatcher::Start([&](int signal) {
        last = signal;
        ++count;
    });
    if (!watcher) return 2;
    if (!testing::PollUntil([&] { return count == 1; }) || last != SIGINT) return 3;
    ::kill(::getpid(), SIGTERM);
    if (!testing::PollUntil([&] { return count == 2; }) || last != SIGTERM) return 4;
    // Ends while idle; the signals stay blocked, so the process lives on.
    watcher.reset();
    ::kill(::getpid(), SIGTERM);
    return count == 2 ? 0 : 5;
}

TEST(StopSignalsTest, EachSignalReachesTheHandlerUntilTheWatchEnds) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(WatchInChild());
    ASSERT_GT(child, 0);
    int status = 0;
    if (!testing::PollUntil([&] { return ::waitpid(child, &status, WNOHANG) != 0; })) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace brondal
