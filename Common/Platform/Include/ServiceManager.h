#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace brondal {

// A service's status as it reports it to the service manager: the classic service status
// record, with the states and control codes below, which service code is written against.
// Each platform translates it into whatever its own service manager understands.
struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

namespace service {

constexpr std::uint32_t TypeOwnProcess = 0x10;
// Own or shared process: what a status says before the service has registered.
constexpr std::uint32_t TypeOwnOrSharedProcess = 0x30;
constexpr std::uint32_t AcceptAllControls = 0x1ff;

constexpr std::uint32_t StateStopped = 1;
constexpr std::uint32_t StateStartPending = 2;
constexpr std::uint32_t StateStopPending = 3;
constexpr std::uint32_t StateRunning = 4;
constexpr std::uint32_t StateContinuePending = 5;
constexpr std::uint32_t StatePausePending = 6;
constexpr std::uint32_t StatePaused = 7;

constexpr std::uint32_t ControlStop = 1;
constexpr std::uint32_t ControlPause = 2;
constexpr std::uint32_t ControlContinue = 3;
constexpr std::uint32_t ControlInterrogate = 4;
constexpr std::uint32_t ControlShutdown = 5;
constexpr std::uint32_t ControlHardwareProfileChange = 11;
constexpr std::uint32_t ControlPowerEvent = 12;
constexpr std::uint32_t ControlSessionChange = 13;
constexpr std::uint32_t ControlPreShutdown = 14;
constexpr std::uint32_t ControlTimeChange = 15;
constexpr std::uint32_t ControlTriggerEvent = 16;

}  // namespace service

// The line from a running service back to the manager that started it.
class ServiceStatusChannel {
public:
    virtual ~ServiceStatusChannel() = default;
    // False when the manager could not be told. A state the manager has no word for is not
    // sent and counts as told.
    virtual bool Report(const ServiceStatus& status) = 0;
    // One line saying what the service is doing (or why it failed to start), for the
    // manager to show beside its state. Managers without a place for it ignore it and
    // count it as told.
    virtual bool Describe(std::string_view text) = 0;
};

// Held while stop requests are wanted; destroying it ends the deliveries, waiting for one in
// progress to return.
class StopRequestWatch {
public:
    virtual ~StopRequestWatch() = default;
};

// The system's service manager, as far as a service program needs it: registering and
// removing the program as a service, and, when the manager started this process, the status
// channel and the stop requests.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    // Registers the program at executablePath (started without arguments) to start with the
    // system. Fails when a service of that name is already registered.
    virtual bool Install(const std::string& executablePath, const std::string& serviceName,
                         const std::string& displayName, const std::string& description) = 0;
    // Removes the registration; a running service keeps running. Fails when there is none.
    virtual bool Uninstall(const std::string& serviceName) = 0;

    // The status channel to the manager that started this process; null, with the reason in
    // *reason, when no manager did.
    virtual std::unique_ptr<ServiceStatusChannel> Connect(std::string* reason) = 0;

    // Calls onStop, on a thread of its own, for every request to stop the process, until the
    // watch is destroyed; null, with the reason in *reason, when requests cannot be watched.
    virtual std::unique_ptr<StopRequestWatch> WatchStopRequests(std::function<void()> onStop,
                                                                std::string* reason) = 0;

    // Whether this process's standard error goes to the manager's log, which reads a
    // kernel-style priority prefix ("<3>") at the start of each line instead of showing it.
    virtual bool StandardErrorIsManagerLog() = 0;
};

// The manager of the running system; lives as long as the process.
ServiceManager& SystemServiceManager();

}  // namespace brondal
