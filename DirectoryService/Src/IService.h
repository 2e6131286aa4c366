#pragma once

#include <cstdint>

#include "IRefCount.h"
#include "Thread.h"

namespace brondal {

// A program that runs as a system service: started by the service manager (RunAsService)
// or as a plain process (RunAsExecutable), it does its work on its own thread (the Thread
// part) and reacts to the manager's controls. Controls arrive through HandleControl, which
// dispatches them to the On* hooks.
class IService : public Thread, public virtual IRefCount {
public:
    // Runs under the service manager that started the process; returns when the service
    // has ended. False when no manager started it (then nothing runs) or the service could
    // not start.
    virtual bool RunAsService() = 0;
    // Runs in the calling process until a stop request; returns when the service has ended.
    // False when the service could not start.
    virtual bool RunAsExecutable() = 0;
    // Connects the controls to HandleControl and reports the service starting.
    virtual bool RegisterControlHandler() = 0;
    // Returns once the service's thread has stopped.
    virtual void WaitForStop() = 0;

    virtual const char* GetServiceName() = 0;
    virtual const char* GetDisplayName() = 0;
    virtual const char* GetDescription() = 0;

    virtual void SignalStop() = 0;
    // control: the service manager's control code (service::Control* in ServiceManager.h);
    // eventType and eventData: what came with it, for the controls that carry them.
    virtual void HandleControl(std::uint32_t control, std::uint32_t eventType, void* eventData) = 0;

    virtual void OnStop() = 0;
    virtual void OnPause() = 0;
    virtual void OnContinue() = 0;
    virtual void OnInterrogate() = 0;
    virtual void OnShutdown() = 0;
    virtual void OnTimeChange() = 0;
    virtual void OnHardwareProfileChange(std::uint32_t eventType, void* eventData) = 0;
    virtual void OnPowerEvent(std::uint32_t eventType) = 0;
    virtual void OnSessionChange(std::uint32_t eventType, void* eventData) = 0;
    virtual void OnPreShutdown(std::uint32_t eventType, void* eventData) = 0;
    virtual void OnTriggerEvent(void* eventData) = 0;
    virtual void OnOtherControl(std::uint32_t eventType, void* eventData) = 0;

protected:
    ~IService() override = default;
};

}  // namespace brondal
