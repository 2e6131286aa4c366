#pragma once

#include <memory>
#include <string>

#include "ServiceManager.h"

namespace brondal::platform {

// The service control manager as the service manager.
//  - Installing creates an own-process service that starts automatically with the system,
//    runs as LocalSystem and carries the description; removing deletes it (a running
//    service keeps running until it stops).
//  - Connect starts the control dispatcher on a thread of its own. The manager then runs
//    the service's main function on a further thread, which registers the control handler
//    and hands the status handle back; Connect returns it as the status channel. A process
//    the manager did not start fails here ("not started by the service control manager").
//  - The control handler runs on the dispatcher's thread: stop requests go to
//    WatchStopRequests, every other control to WatchOtherControls. Outside the manager
//    (the program run with -e) a console's Ctrl-C, Ctrl-Break and close are the stop
//    requests.
//  - Destroying the status channel reports the service stopped if that was not said yet
//    (the dispatcher returns only then) and waits for the dispatcher's thread.
class WindowsServiceManager final : public ServiceManager {
public:
    bool Install(const std::string& executablePath, const std::string& serviceName,
                 const std::string& displayName, const std::string& description) override;
    bool Uninstall(const std::string& serviceName) override;
    std::unique_ptr<ServiceStatusChannel> Connect(std::string* reason) override;
    std::unique_ptr<StopRequestWatch> WatchStopRequests(std::function<void()> onStop,
                                                        std::string* reason) override;
    std::unique_ptr<StopRequestWatch> WatchOtherControls(ControlHandler onControl,
                                                         std::string* reason) override;
    // Services have no standard error the manager reads.
    bool StandardErrorIsManagerLog() override { return false; }
};

}  // namespace brondal::platform
