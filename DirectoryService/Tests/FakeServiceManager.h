#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ServiceManager.h"
#include "WaitFor.h"

namespace brondal::testing {

// A service manager the test plays: it records what it is asked, passes each status report
// to onReport, and lets the test send the stop request the program watches for.
class FakeServiceManager final : public ServiceManager {
public:
    bool Install(const std::string& path, const std::string& name, const std::string& display,
                 const std::string& description) override {
        installed.push_back(path + "|" + name + "|" + display + "|" + description);
        return succeeds;
    }
    bool Uninstall(const std::string& name) override {
        uninstalled.push_back(name);
        return succeeds;
    }
    std::unique_ptr<ServiceStatusChannel> Connect(std::string* reason) override {
        *reason = "not started by a service manager";
        return startedByManager ? std::make_unique<Channel>(*this) : nullptr;
    }
    std::unique_ptr<StopRequestWatch> WatchStopRequests(std::function<void()> onStop,
                                                        std::string*) override {
        changed_.Update([&] { onStop_ = std::move(onStop); });
        return std::make_unique<Watch>(*this);
    }

    // Waits (bounded) until stop requests are watched, then sends one on the calling thread.
    bool SendStopRequest() {
        std::function<void()> onStop;
        if (!changed_.WaitUntil([&] { return static_cast<bool>(onStop = onStop_); })) return false;
        onStop();
        return true;
    }
    bool StandardErrorIsManagerLog() override { return managerLog; }
    bool Watching() {
        bool watching = false;
        changed_.Update([&] { watching = static_cast<bool>(onStop_); });
        return watching;
    }

    bool startedByManager = true;
    bool reportsArrive = true;
    bool succeeds = true;
    bool managerLog = false;
    std::vector<std::string> installed, uninstalled;
    std::function<void(const ServiceStatus&)> onReport = [](const ServiceStatus&) {};
    std::function<void(std::string_view)> onDescribe = [](std::string_view) {};

private:
    struct Channel final : ServiceStatusChannel {
        explicit Channel(FakeServiceManager& manager) : manager(manager) {}
        bool Report(const ServiceStatus& status) override {
            manager.onReport(status);
            return manager.reportsArrive;
        }
        bool Describe(std::string_view text) override {
            manager.onDescribe(text);
            return manager.reportsArrive;
        }
        FakeServiceManager& manager;
    };
    struct Watch final : StopRequestWatch {
        explicit Watch(FakeServiceManager& manager) : manager(manager) {}
        ~Watch() override {
            manager.changed_.Update([&] { manager.onStop_ = nullptr; });
        }
        FakeServiceManager& manager;
    };

    Signal changed_;
    std::function<void()> onStop_;
};

}  // namespace brondal::testing
