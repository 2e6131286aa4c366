#include "WindowsServiceManager.h"

#include "SystemHeaders.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "PlatformLog.h"
#include "StopSignals.h"
#include "WideText.h"

namespace brondal::platform {

namespace {

// One service per process: the dispatcher, its handle and the controls' receivers are
// process-wide, as the service control manager's own bookkeeping is.
//
// Lock order: callLock, then stateLock. callLock is held while a control is delivered, so
// that a watch being destroyed waits for a delivery in progress; stateLock only around
// the dispatcher's state, never while anything is called.
struct Dispatcher {
    std::mutex stateLock;
    std::condition_variable changed;
    enum class Phase { Idle, Starting, Registered, Failed } phase = Phase::Idle;
    DWORD error = 0;
    SERVICE_STATUS_HANDLE handle = nullptr;
    // Set when the status channel goes: the service's main function may return then.
    bool finished = false;
    std::thread thread;

    std::mutex callLock;
    std::function<void()> onStop;
    ServiceManager::ControlHandler onControl;
};

Dispatcher& TheDispatcher() {
    static Dispatcher* const dispatcher = new Dispatcher();
    return *dispatcher;
}

DWORD WINAPI OnControl(DWORD control, DWORD eventType, void* eventData, void*) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard calls(d.callLock);
    if (control == service::ControlStop) {
        if (d.onStop) d.onStop();
    } else if (d.onControl) {
        d.onControl(control, eventType, eventData);
    }
    return NO_ERROR;
}

// Run by the dispatcher on a thread it creates. It stays until the status channel is gone,
// as the manager expects of a service's main function.
void WINAPI ServiceMain(DWORD, wchar_t**) {
    Dispatcher& d = TheDispatcher();
    // An own-process service's name is not checked: there is only one in the process.
    SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(L"", &OnControl, nullptr);
    std::unique_lock state(d.stateLock);
    d.handle = handle;
    d.error = handle ? 0 : ::GetLastError();
    d.phase = handle ? Dispatcher::Phase::Registered : Dispatcher::Phase::Failed;
    d.changed.notify_all();
    if (handle) d.changed.wait(state, [&] { return d.finished; });
}

void RunDispatcher() {
    Dispatcher& d = TheDispatcher();
    wchar_t noName[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{noName, &ServiceMain}, {nullptr, nullptr}};
    const BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
    const DWORD error = dispatched ? 0 : ::GetLastError();
    std::lock_guard state(d.stateLock);
    if (d.phase == Dispatcher::Phase::Starting) {
        d.phase = Dispatcher::Phase::Failed;
        d.error = error;
        d.changed.notify_all();
    }
}

void EndDispatcher() {
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard state(d.stateLock);
        d.finished = true;
        d.changed.notify_all();
    }
    if (d.thread.joinable()) d.thread.join();
    std::lock_guard state(d.stateLock);
    d.phase = Dispatcher::Phase::Idle;
    d.handle = nullptr;
}

bool IsRegistered() {
    Dispatcher& d = TheDispatcher();
    std::lock_guard state(d.stateLock);
    return d.phase == Dispatcher::Phase::Registered;
}

class ScmStatusChannel final : public ServiceStatusChannel {
public:
    explicit ScmStatusChannel(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}

    ~ScmStatusChannel() override {
        // The dispatcher returns only once the manager was told the service stopped.
        if (!stopped_) {
            ServiceStatus status;
            status.serviceType = service::TypeOwnProcess;
            status.currentState = service::StateStopped;
            Report(status);
        }
        EndDispatcher();
    }

    bool Report(const ServiceStatus& status) override {
        SERVICE_STATUS record{};
        record.dwServiceType = status.serviceType;
        record.dwCurrentState = status.currentState;
        record.dwControlsAccepted = status.controlsAccepted;
        record.dwWin32ExitCode = status.win32ExitCode;
        record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
        record.dwCheckPoint = status.checkPoint;
        record.dwWaitHint = status.waitHint;
        const bool told = ::SetServiceStatus(handle_, &record) != FALSE;
        if (told && status.currentState == service::StateStopped) stopped_ = true;
        return told;
    }

    // The service control manager shows no status text.
    bool Describe(std::string_view) override { return true; }

private:
    SERVICE_STATUS_HANDLE handle_;
    bool stopped_ = false;
};

// Takes its receiver out of the dispatcher when destroyed, waiting for a delivery in
// progress; the console watch, when there is one, goes with it.
class ControlWatch final : public StopRequestWatch {
public:
    ControlWatch(bool stops, std::unique_ptr<StopSignalWatcher> console)
        : stops_(stops), console_(std::move(console)) {}

    ~ControlWatch() override {
        console_.reset();
        Dispatcher& d = TheDispatcher();
        std::lock_guard calls(d.callLock);
        if (stops_) {
            d.onStop = nullptr;
        } else {
            d.onControl = nullptr;
        }
    }

private:
    bool stops_;
    std::unique_ptr<StopSignalWatcher> console_;
};

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_) ::CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

}  // namespace

bool WindowsServiceManager::Install(const std::string& executablePath,
                                    const std::string& serviceName, const std::string& displayName,
                                    const std::string& description) {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        PLATFORM_LOG(LogSevere, "Unable to open the service control manager, error code: %lu",
                     ::GetLastError());
        return false;
    }
    // Quoted: the manager splits an unquoted path at its first blank, and a folder such as
    // C:\Program Files would start C:\Program instead.
    const std::string command =
        executablePath.starts_with('"') ? executablePath : '"' + executablePath + '"';
    // The wide calls: the folder may hold characters the ANSI code page has no byte for.
    // No account name is LocalSystem.
    ServiceHandle created(::CreateServiceW(
        manager.Get(), Widen(serviceName).c_str(), Widen(displayName).c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, Widen(command).c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!created) {
        PLATFORM_LOG(LogSevere, "Unable to create the service %s, error code: %lu",
                     serviceName.c_str(), ::GetLastError());
        return false;
    }
    if (!description.empty()) {
        std::wstring text = Widen(description);
        SERVICE_DESCRIPTIONW info{text.data()};
        // The service works without it; a failure is not the installation's.
        ::ChangeServiceConfig2W(created.Get(), SERVICE_CONFIG_DESCRIPTION, &info);
    }
    return true;
}

bool WindowsServiceManager::Uninstall(const std::string& serviceName) {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ServiceHandle installed(
        manager ? ::OpenServiceW(manager.Get(), Widen(serviceName).c_str(), SERVICE_ALL_ACCESS)
                : nullptr);
    if (!installed || !::DeleteService(installed.Get())) {
        PLATFORM_LOG(LogSevere, "Unable to remove the service %s, error code: %lu",
                     serviceName.c_str(), ::GetLastError());
        return false;
    }
    return true;
}

std::unique_ptr<ServiceStatusChannel> WindowsServiceManager::Connect(std::string* reason) {
    Dispatcher& d = TheDispatcher();
    std::unique_lock state(d.stateLock);
    if (d.phase != Dispatcher::Phase::Idle) {
        *reason = "the service control dispatcher runs already";
        return nullptr;
    }
    d.phase = Dispatcher::Phase::Starting;
    d.finished = false;
    try {
        d.thread = std::thread(&RunDispatcher);
    } catch (const std::system_error&) {
        d.phase = Dispatcher::Phase::Idle;
        *reason = "no thread for the service control dispatcher";
        return nullptr;
    }
    d.changed.wait(state, [&] { return d.phase != Dispatcher::Phase::Starting; });
    if (d.phase == Dispatcher::Phase::Registered) {
        return std::make_unique<ScmStatusChannel>(d.handle);
    }
    const DWORD error = d.error;
    state.unlock();
    d.thread.join();
    state.lock();
    d.phase = Dispatcher::Phase::Idle;
    *reason = error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                  ? "not started by the service control manager"
                  : "the service control dispatcher failed, error code " + std::to_string(error);
    return nullptr;
}

std::unique_ptr<StopRequestWatch> WindowsServiceManager::WatchStopRequests(
    std::function<void()> onStop, std::string* reason) {
    const bool service = IsRegistered();
    // A service has no console; a plain process stops through its console's events.
    std::unique_ptr<StopSignalWatcher> console;
    if (!service) {
        console = StopSignalWatcher::Start([onStop](int) { onStop(); });
        if (!console) {
            *reason = "Unable to watch for the console's Ctrl-C and close";
            return nullptr;
        }
    }
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard calls(d.callLock);
        d.onStop = std::move(onStop);
    }
    return std::make_unique<ControlWatch>(true, std::move(console));
}

std::unique_ptr<StopRequestWatch> WindowsServiceManager::WatchOtherControls(
    ControlHandler onControl, std::string* reason) {
    if (!IsRegistered()) {
        *reason = "not running under the service control manager";
        return nullptr;
    }
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard calls(d.callLock);
        d.onControl = std::move(onControl);
    }
    return std::make_unique<ControlWatch>(false, nullptr);
}

}  // namespace brondal::platform

namespace brondal {

ServiceManager& SystemServiceManager() {
    static platform::WindowsServiceManager manager;
    return manager;
}

}  // namespace brondal
