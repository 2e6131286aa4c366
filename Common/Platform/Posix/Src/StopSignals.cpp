#include "StopSignals.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>
#include <thread>

#include "CrashHandler.h"
#include "PlatformLog.h"

namespace brondal {

namespace {

sigset_t StopSignalSet() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGINT);
    ::sigaddset(&set, SIGTERM);
    return set;
}

// The signals are read from a signalfd rather than taken with sigwait, so that the thread
// can also wait for its own end (the eventfd) and the destructor never has to send a signal
// to get it out of its wait.
class SignalFdWatcher final : public StopSignalWatcher {
public:
    SignalFdWatcher(int signalFd, int stopFd, Handler handler)
        : signalFd_(signalFd), stopFd_(stopFd), handler_(std::move(handler)) {}

    ~SignalFdWatcher() override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            while (::write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
            }
            thread_.join();
        }
        ::close(signalFd_);
        ::close(stopFd_);
    }

    void Run() {
        thread_ = std::thread([this] { Loop(); });
    }

private:
    void Loop() {
        InstallCrashStackForThisThread();
        for (;;) {
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                PLATFORM_LOG(LogSevere, "Unable to wait for stop signals, error code: %d", errno);
                return;
            }
            if (fds[1].revents != 0) return;
            signalfd_siginfo info;
            if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                handler_(static_cast<int>(info.ssi_signo));
            }
        }
    }

    const int signalFd_;
    const int stopFd_;
    const Handler handler_;
    std::thread thread_;
};

}  // namespace

bool BlockStopSignals() {
    const sigset_t set = StopSignalSet();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

std::unique_ptr<StopSignalWatcher> StopSignalWatcher::Start(Handler handler) {
    // Blocked here too, so that the watcher thread inherits the mask even when main forgot;
    // threads started before that are beyond help.
    const sigset_t set = StopSignalSet();
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return nullptr;
    const int signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        PLATFORM_LOG(LogSevere, "Unable to create signalfd, error code: %d", errno);
        return nullptr;
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0) {
        PLATFORM_LOG(LogSevere, "Unable to create eventfd, error code: %d", errno);
        ::close(signalFd);
        return nullptr;
    }
    auto watcher = std::make_unique<SignalFdWatcher>(signalFd, stopFd, std::move(handler));
    try {
        watcher->Run();
    } catch (const std::system_error& e) {
        PLATFORM_LOG(LogSevere, "Unable to create thread, error code: %d", e.code().value());
        return nullptr;
    }
    return watcher;
}

}  // namespace brondal
