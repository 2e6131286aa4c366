#include "ServiceImpl.h"

#include <string>
#include <utility>

#include "CatchFrame.h"
#include "LockGuard.h"
#include "LogCall.h"

namespace brondal {

ServiceImpl::ServiceImpl(ServiceManager& manager)
    : stopEvent_(GetScheduler().CreateEvent(true, false)),
      manager_(manager),
      controlLock_(GetScheduler().CreateMutex()) {
    status_.serviceType = service::TypeOwnOrSharedProcess;
    status_.currentState = service::StateStartPending;
    status_.controlsAccepted = service::ControlStop;
}

ServiceImpl::~ServiceImpl() {
    // The watcher calls into this object and the thread's stop hook uses the stop event.
    stopWatch_.reset();
    Stop();
}

bool ServiceImpl::OnThreadStop() {
    SignalStop();
    return true;
}

bool ServiceImpl::RunAsService() {
    CATCH_FRAME_BEGIN
    std::string reason;
    connection_ = manager_.Connect(&reason);
    if (!connection_) {
        LOG_SEVERE("Unable to run %s as a service: %s", GetServiceName(), reason.c_str());
        return false;
    }
    ServiceMain();
    return true;
    CATCH_FRAME_END
}

void ServiceImpl::ServiceMain() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*controlLock_);
    const bool registered = RegisterControlHandler();
    if (registered) Start(Scheduler::Infinite);
    lock.Unlock();
    if (registered) WaitForStop();
    // The watcher may still be inside the stop control, collecting the service thread: this
    // waits for it, so that no thread of the run outlives it.
    stopWatch_.reset();
    statusChannel_.reset();
    CATCH_FRAME_END
}

bool ServiceImpl::RegisterControlHandler() {
    CATCH_FRAME_BEGIN
    status_ = ServiceStatus{};
    status_.serviceType = service::TypeOwnProcess;
    status_.currentState = service::StateStartPending;
    status_.controlsAccepted = service::AcceptAllControls;

    std::string reason = "not connected to the service manager";
    statusChannel_ = std::move(connection_);
    if (statusChannel_) {
        stopWatch_ = manager_.WatchStopRequests([this] { DeliverStopRequest(); }, &reason);
    }
    if (!stopWatch_) {
        LOG_SEVERE("Unable to register the control handler of %s: %s", GetServiceName(),
                   reason.c_str());
        statusChannel_.reset();
        return false;
    }
    status_.currentState = service::StateRunning;
    status_.checkPoint = 0;
    status_.waitHint = 0;
    return ReportStatus();
    CATCH_FRAME_END
}

bool ServiceImpl::RunAsExecutable() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*controlLock_);
    std::string reason;
    stopWatch_ = manager_.WatchStopRequests([this] { DeliverStopRequest(); }, &reason);
    // Without the watch nothing could stop the run cleanly: SIGINT and SIGTERM stay blocked.
    if (!stopWatch_) {
        LOG_SEVERE("Unable to run %s: %s", GetServiceName(), reason.c_str());
        return false;
    }
    Start(Scheduler::Infinite);
    lock.Unlock();
    WaitForStop();
    stopWatch_.reset();
    return true;
    CATCH_FRAME_END
}

void ServiceImpl::WaitForStop() { stopEvent_->Wait(Scheduler::Infinite); }

bool ServiceImpl::WaitForStop(std::int32_t timeoutMs) { return stopEvent_->Wait(timeoutMs); }

void ServiceImpl::SignalStop() { stopEvent_->Set(); }

void ServiceImpl::DeliverStopRequest() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*controlLock_);
    // A service manager sends no control to a stopped service; a second Ctrl-C finds
    // nothing left to stop.
    if (status_.currentState == service::StateStopped) return;
    HandleControl(service::ControlStop, 0, nullptr);
    CATCH_FRAME_END
}

bool ServiceImpl::ReportStatus() { return statusChannel_ && statusChannel_->Report(status_); }

void ServiceImpl::HandleControl(std::uint32_t control, std::uint32_t eventType, void* eventData) {
    CATCH_FRAME_BEGIN
    switch (control) {
        case service::ControlStop:
            status_.currentState = service::StateStopPending;
            ReportStatus();
            OnStop();
            status_.currentState = service::StateStopped;
            ReportStatus();
            Stop();
            break;
        case service::ControlPause:
            OnPause();
            status_.currentState = service::StatePaused;
            ReportStatus();
            break;
        case service::ControlContinue:
            OnContinue();
            status_.currentState = service::StateRunning;
            ReportStatus();
            break;
        case service::ControlInterrogate:
            OnInterrogate();
            break;
        case service::ControlShutdown:
            // The system is going down with the process: nothing is reported and the work
            // is not wound down, only the thread is stopped.
            OnShutdown();
            Stop();
            break;
        case service::ControlHardwareProfileChange:
            OnHardwareProfileChange(eventType, eventData);
            break;
        case service::ControlPowerEvent:
            OnPowerEvent(eventType);
            break;
        case service::ControlSessionChange:
            OnSessionChange(eventType, eventData);
            break;
        case service::ControlPreShutdown:
            OnPreShutdown(eventType, eventData);
            break;
        case service::ControlTimeChange:
            OnTimeChange();
            break;
        case service::ControlTriggerEvent:
            OnTriggerEvent(eventData);
            break;
        default:
            OnOtherControl(eventType, eventData);
            break;
    }
    CATCH_FRAME_END
}

}  // namespace brondal
