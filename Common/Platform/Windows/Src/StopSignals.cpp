// Stop requests on Windows are the console's control events: Ctrl-C arrives as SIGINT,
// Ctrl-Break and the closing of the console window (or the session) as SIGTERM. The system
// calls console handlers on a thread it creates for the purpose, so the handler runs
// ordinary code and nothing needs blocking.
#include "StopSignals.h"

#include "SystemHeaders.h"

#include <csignal>
#include <mutex>
#include <vector>

namespace brondal {

namespace {

class ConsoleWatcher;

// The watchers that receive the events. Held while a handler runs, so a watcher being
// destroyed waits for its call in progress.
std::mutex& WatchersLock() {
    static std::mutex lock;
    return lock;
}

std::vector<ConsoleWatcher*>& Watchers() {
    static std::vector<ConsoleWatcher*> watchers;
    return watchers;
}

int SignalOf(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return SIGINT;
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return SIGTERM;
        default:
            return 0;
    }
}

BOOL WINAPI OnConsoleEvent(DWORD event);

class ConsoleWatcher final : public StopSignalWatcher {
public:
    explicit ConsoleWatcher(Handler handler) : handler_(std::move(handler)) {}

    ~ConsoleWatcher() override {
        std::lock_guard lock(WatchersLock());
        auto& watchers = Watchers();
        std::erase(watchers, this);
        if (watchers.empty()) ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    }

    void Deliver(int signal) { handler_(signal); }

private:
    Handler handler_;
};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signal = SignalOf(event);
    if (signal == 0) return FALSE;
    std::lock_guard lock(WatchersLock());
    if (Watchers().empty()) return FALSE;
    for (ConsoleWatcher* watcher : Watchers())
        watcher->Deliver(signal);
    // Handled: the system's default handler would end the process at once.
    return TRUE;
}

}  // namespace

bool BlockStopSignals() { return true; }

std::unique_ptr<StopSignalWatcher> StopSignalWatcher::Start(Handler handler) {
    auto watcher = std::make_unique<ConsoleWatcher>(std::move(handler));
    std::lock_guard lock(WatchersLock());
    auto& watchers = Watchers();
    if (watchers.empty() && !::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE)) return nullptr;
    watchers.push_back(watcher.get());
    return watcher;
}

}  // namespace brondal
