// The service base: control dispatch, status reports and both ways to run, against a service
// manager the test plays.
#include "ServiceImpl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakeServiceManager.h"
#include "RefPtr.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using Events = std::vector<std::string>;

// Records every hook and report, in order, across threads.
class TestService final : public ServiceImpl {
public:
    explicit TestService(ServiceManager& manager) : ServiceImpl(manager) {}

    // The work's start: up, or failed when failStart is set.
    bool ThreadFunc() override {
        Add("pass");
        if (failStart) {
            ReportStartFailed("no work");
        } else {
            ReportRunning("working");
        }
        return false;
    }
    const char* GetServiceName() override { return "Test"; }
    const char* GetDisplayName() override { return "Test"; }
    const char* GetDescription() override { return ""; }
    void OnStop() override { Add("OnStop"); }
    void OnPause() override { Add("OnPause"); }
    void OnContinue() override { Add("OnContinue"); }
    void OnInterrogate() override { Add("OnInterrogate"); }
    void OnShutdown() override { Add("OnShutdown"); }
    void OnTimeChange() override { Add("OnTimeChange"); }
    void OnHardwareProfileChange(std::uint32_t t, void* d) override { Add("Hardware", t, d); }
    void OnPowerEvent(std::uint32_t t) override { Add("Power", t, nullptr); }
    void OnSessionChange(std::uint32_t t, void* d) override { Add("Session", t, d); }
    void OnPreShutdown(std::uint32_t t, void* d) override { Add("PreShutdown", t, d); }
    void OnTriggerEvent(void* d) override { Add("Trigger", 0, d); }
    void OnOtherControl(std::uint32_t t, void* d) override { Add("Other", t, d); }

    void Add(const std::string& event, std::uint32_t type = 0, void* data = nullptr) {
        std::lock_guard lock(mutex_);
        events_.push_back(event + (type ? " " + std::to_string(type) : "") + (data ? " +" : ""));
    }
    Events TakeEvents() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    bool Has(const std::string& event) {
        std::lock_guard lock(mutex_);
        return std::find(events_.begin(), events_.end(), event) != events_.end();
    }
    using ServiceImpl::WaitForStop;
    std::atomic<bool> failStart{false};

private:
    ~TestService() override { Stop(); }

    std::mutex mutex_;
    Events events_;
};

class ServiceImplTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager_.onReport = [this](const ServiceStatus& status) {
            service_->Add("report " + std::to_string(status.currentState));
        };
        manager_.onDescribe = [this](std::string_view text) {
            service_->Add("status " + std::string(text));
        };
    }
    void TearDown() override {
        if (runner_.joinable() && manager_.SendStopRequest()) Finish();
    }

    // Runs the service on a thread of its own, as the process's main thread would.
    void RunInBackground(bool asService) {
        runner_ = std::thread([this, asService] {
            result_ = asService ? service_->RunAsService() : service_->RunAsExecutable();
            ended_ = true;
        });
    }
    bool Finish() {
        // A run that does not end leaves nothing safe to go on with.
        if (!testing::PollUntil([&] { return ended_.load(); })) std::abort();
        runner_.join();
        return result_;
    }

    testing::FakeServiceManager manager_;
    RefPtr<TestService> service_ = RefPtr<TestService>::Adopt(new TestService(manager_));
    std::thread runner_;
    std::atomic<bool> ended_{false};
    bool result_ = false;
};

TEST_F(ServiceImplTest, ServiceReportsRunningOnceItsWorkIsUpThenStopsThroughOnStop) {
    ServiceStatus registered;
    manager_.onReport = [&](const ServiceStatus& status) {
        if (status.currentState == service::StateRunning) registered = status;
        service_->Add("report " + std::to_string(status.currentState));
    };
    RunInBackground(true);
    ASSERT_TRUE(testing::PollUntil([&] { return service_->Has("status working"); }));
    ASSERT_TRUE(manager_.SendStopRequest());
    EXPECT_TRUE(Finish());
    // Starting at registration; running only when the work says so.
    EXPECT_EQ(service_->TakeEvents(), (Events{"report 2", "pass", "report 4", "status working",
                                              "report 3", "OnStop", "report 1"}));
    EXPECT_EQ(registered.serviceType, service::TypeOwnProcess);
    EXPECT_EQ(registered.controlsAccepted, service::AcceptAllControls);
    EXPECT_EQ(registered.checkPoint + registered.waitHint + registered.win32ExitCode, 0u);
    EXPECT_FALSE(service_->IsRunning());
    EXPECT_FALSE(manager_.Watching());
}

TEST_F(ServiceImplTest, PauseAndContinueOnlyReportShutdownEndsWithoutReports) {
    RunInBackground(true);
    ASSERT_TRUE(testing::PollUntil([&] { return service_->Has("status working"); }));
    service_->TakeEvents();
    service_->HandleControl(service::ControlPause, 0, nullptr);
    service_->HandleControl(service::ControlContinue, 0, nullptr);
    EXPECT_FALSE(service_->WaitForStop(0));
    service_->HandleControl(service::ControlShutdown, 0, nullptr);
    EXPECT_TRUE(Finish());
    EXPECT_EQ(service_->TakeEvents(),
              (Events{"OnPause", "report 7", "OnContinue", "report 4", "OnShutdown"}));
}

class ServiceImplStartTest : public ServiceImplTest,
                             public ::testing::WithParamInterface<std::pair<bool, Events>> {};

TEST_P(ServiceImplStartTest, FailedStartTellsWhyAndEndsTheRunThroughTheStopControl) {
    service_->failStart = true;
    RunInBackground(GetParam().first);
    EXPECT_FALSE(Finish());
    EXPECT_EQ(service_->TakeEvents(), GetParam().second);
    EXPECT_FALSE(service_->IsRunning());
    EXPECT_FALSE(manager_.Watching());
}

INSTANTIATE_TEST_SUITE_P(
    BothWays, ServiceImplStartTest,
    ::testing::Values(std::pair(true, Events{"report 2", "pass", "status no work", "report 3",
                                             "OnStop", "report 1"}),
                      std::pair(false, Events{"pass", "OnStop"})),
    [](const auto& info) { return info.param.first ? "AsService" : "AsExecutable"; });

TEST_F(ServiceImplTest, OtherControlsReachTheirHooksWithWhatCameWithThem) {
    int data = 0;
    service_->HandleControl(service::ControlInterrogate, 9, &data);
    for (std::uint32_t control = 11; control <= 16; ++control) {
        service_->HandleControl(control, 9, &data);
    }
    for (std::uint32_t control : {0u, 6u, 10u, 17u, 128u})
        service_->HandleControl(control, 9, &data);
    EXPECT_EQ(service_->TakeEvents(),
              (Events{"OnInterrogate", "Hardware 9 +", "Power 9", "Session 9 +", "PreShutdown 9 +",
                      "OnTimeChange", "Trigger +", "Other 9 +", "Other 9 +", "Other 9 +",
                      "Other 9 +", "Other 9 +"}));
}

TEST_F(ServiceImplTest, NothingRunsOutsideAManagerOrWhenRunningCannotBeReported) {
    manager_.startedByManager = false;
    EXPECT_FALSE(service_->RunAsService());
    manager_.startedByManager = true;
    manager_.reportsArrive = false;
    EXPECT_FALSE(service_->RunAsService());
    EXPECT_EQ(service_->TakeEvents(), Events{"report 2"});
    EXPECT_FALSE(manager_.Watching());
}

TEST_F(ServiceImplTest, StopRequestSentAtRegistrationStillEndsTheRun) {
    // Sent while the service reports itself starting, before its thread starts: the stop
    // must still find the thread, or the run would never end.
    std::thread stopper;
    manager_.onReport = [&](const ServiceStatus& status) {
        if (!stopper.joinable()) stopper = std::thread([&] { manager_.SendStopRequest(); });
        service_->Add("report " + std::to_string(status.currentState));
    };
    RunInBackground(true);
    EXPECT_TRUE(Finish());
    stopper.join();
    EXPECT_TRUE(service_->Has("report 1"));
    EXPECT_FALSE(service_->IsRunning());
}

TEST_F(ServiceImplTest, ExecutableRunsUntilAStopRequestWithoutReports) {
    RunInBackground(false);
    ASSERT_TRUE(testing::PollUntil([&] { return service_->Has("pass"); }));
    ASSERT_TRUE(manager_.SendStopRequest());
    EXPECT_TRUE(Finish());
    EXPECT_EQ(service_->TakeEvents(), (Events{"pass", "OnStop"}));
    EXPECT_FALSE(manager_.Watching());
}

}  // namespace
}  // namespace brondal
