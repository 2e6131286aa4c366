// The directory's host: its logging, and the registry it creates on its thread and releases
// at the stop. It logs into a temporary folder.
#include "CorvaneDirectoryServiceMain.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "DirectoryTestSupport.h"
#include "FakeServiceManager.h"
#include "LogCall.h"
#include "WaitFor.h"

namespace brondal::corvane::server {
namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

class TempFolders final : public FolderProvider {
public:
    std::string CommonAppDataFolder() override { return base; }
    std::string EnvironmentVariable(const std::string&) override { return {}; }
    std::string LocalAppDataFolder() override { return {}; }
    std::string RoamingAppDataFolder() override { return {}; }
    std::string UserName() override { return {}; }
    std::string base;
};

class CorvaneDirectoryServiceMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/CorvaneDirectoryServiceMainTest-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folders_.base = pattern;
        GetLogger(logger_.Receive());
        logger_->SetDetailLimit(5);
        // Free ports on loopback: the service's own ports belong to the program's tests.
        port_ = testing::FindFreePortPair();
        console_ = std::fopen((folders_.base + "/console").c_str(), "w");
        host_ = RefPtr<CorvaneDirectoryServiceMain>::Adopt(new CorvaneDirectoryServiceMain(
            folders_, manager_, port_, testing::Loopback, console_));
    }
    void TearDown() override {
        host_.Reset();
        std::fclose(console_);
        logger_->SetDetailLimit(0);
        fs::remove_all(folders_.base);
    }
    std::string Console() const {
        std::ostringstream text;
        text << std::ifstream(folders_.base + "/console").rdbuf();
        return text.str();
    }
    // Everything logged, as the files hold it.
    std::string Log() {
        std::ostringstream text;
        for (const auto& file : fs::directory_iterator(LogFolder())) {
            text << std::ifstream(file.path()).rdbuf();
        }
        return text.str();
    }
    std::string LogFolder() const {
        return folders_.base + "/Brondal/Corvane/DirectoryService/Logs";
    }

    TempFolders folders_;
    testing::FakeServiceManager manager_;
    RefPtr<ILogger> logger_;
    RefPtr<CorvaneDirectoryServiceMain> host_;
    std::uint16_t port_ = 0;
    std::FILE* console_ = nullptr;
};

TEST_F(CorvaneDirectoryServiceMainTest, RegistryLivesFromTheFirstPassToTheStop) {
    std::uint32_t detailLimit = 5;
    logger_->GetDetailLimit(&detailLimit);
    EXPECT_EQ(detailLimit, 0u);

    std::atomic<bool> ended{false};
    std::thread runner([&] {
        host_->RunAsExecutable();
        ended = true;
    });
    ASSERT_TRUE(testing::PollUntil([&] { return static_cast<bool>(host_->GetRegistry()); }));
    RefPtr<CorvaneDirectoryService> registry = host_->GetRegistry();
    EXPECT_EQ(registry->GetPort(), port_);
    EXPECT_TRUE(registry->IsRunning());
    host_->HandleControl(service::ControlPause, 0, nullptr);
    host_->HandleControl(service::ControlContinue, 0, nullptr);
    EXPECT_EQ(host_->GetRegistry(), registry);
    EXPECT_EQ(host_->StatusText({1, 2, 1}), "Listening on ports " + std::to_string(port_) +
                                                " and " + std::to_string(port_ + 1) +
                                                ": 1 display, 2 subscribers, 1 connection");
    registry.Reset();

    ASSERT_TRUE(manager_.SendStopRequest());
    if (!testing::PollUntil([&] { return ended.load(); })) std::abort();
    runner.join();
    EXPECT_FALSE(host_->GetRegistry());
    const std::string log = Log();
    const auto started = log.find("\tCorvane Directory Service Started\t");
    EXPECT_NE(started, std::string::npos) << log;
    EXPECT_NE(log.find("\tCorvane Directory Service Stopped\t", started), std::string::npos);
    EXPECT_EQ(log.find("Unable to"), std::string::npos) << log;
    EXPECT_EQ(fs::directory_iterator(LogFolder())
                  ->path()
                  .filename()
                  .string()
                  .rfind("DirectoryService_", 0),
              0u);

    // The log files are the host's: they end with it.
    host_.Reset();
    LOG_INFO("after the host");
    EXPECT_EQ(Log().find("after the host"), std::string::npos);
}

TEST_F(CorvaneDirectoryServiceMainTest, StopBeforeTheFirstPassLeavesNoRegistryBehind) {
    host_->HandleControl(service::ControlStop, 0, nullptr);
    // Whether or not the pass still runs, it must not bring the registry back.
    host_->Start(Scheduler::Infinite);
    host_->Stop();
    EXPECT_FALSE(host_->GetRegistry());
    EXPECT_EQ(Log().find("Started"), std::string::npos);
}

// Both ways to run, with the registry coming up or not (somebody else has its port). The
// service manager's log takes priority prefixes on the console.
class HostRunTest : public CorvaneDirectoryServiceMainTest,
                    public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(HostRunTest, ManagerAndConsoleHearOfTheStartOnlyOnceTheRegistryIsUp) {
    const auto [asService, portTaken] = GetParam();
    const std::string port = std::to_string(port_), next = std::to_string(port_ + 1);
    const int blocker = platform::TcpCreate();
    if (portTaken) {
        ASSERT_EQ(platform::TcpBind(blocker, testing::Loopback, port_), 0);
        platform::TcpListen(blocker);
    }
    manager_.managerLog = asService;
    std::mutex mutex;
    std::vector<std::string> told;
    manager_.onReport = [&](const ServiceStatus& status) {
        std::lock_guard lock(mutex);
        told.push_back("report " + std::to_string(status.currentState));
    };
    manager_.onDescribe = [&](std::string_view text) {
        std::lock_guard lock(mutex);
        told.push_back("status " + std::string(text));
    };

    std::atomic<bool> ended{false};
    bool succeeded = false;
    std::thread runner([&, asService = asService] {
        succeeded = asService ? host_->RunAsService() : host_->RunAsExecutable();
        ended = true;
    });
    if (!portTaken) {
        ASSERT_TRUE(testing::PollUntil([&] { return Console().find(" running") != npos; }));
        ASSERT_TRUE(manager_.SendStopRequest());
    }
    if (!testing::PollUntil([&] { return ended.load(); })) std::abort();
    runner.join();
    platform::TcpClose(blocker);

    EXPECT_EQ(succeeded, !portTaken);
    EXPECT_FALSE(host_->GetRegistry());
    const std::string reason =
        "Unable to initialize transport on port " + port + " (result 0x80000000)";
    const std::string info = asService ? "<6>" : "",
                      severe = asService ? "<3>Severe: " : "Severe: ";
    const std::string console = Console();
    if (portTaken) {
        EXPECT_NE(console.find(severe + "Unable to initialize Corvane Directory Service Service\n"),
                  npos)
            << console;
        EXPECT_NE(console.find(severe + "Corvane Directory Service not started: " + reason + "\n"),
                  npos)
            << console;
        EXPECT_EQ(Log().find("Started"), npos);
    } else {
        EXPECT_EQ(console, info + "Corvane Directory Service running: requests on port " + port +
                               ", callbacks on port " + next + ", log folder " + LogFolder() +
                               (asService ? "" : "; Ctrl-C stops it") + "\n");
    }
    std::vector<std::string> expected;
    if (asService && portTaken) {
        expected = {"report 2", "status Not started: " + reason, "report 3", "report 1"};
    } else if (asService) {
        expected = {"report 2", "report 4",
                    "status Listening on ports " + port + " and " + next +
                        ": 0 displays, 0 subscribers, 0 connections",
                    "report 3", "report 1"};
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(told, expected);
}

INSTANTIATE_TEST_SUITE_P(BothWays, HostRunTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Service"
                                                                        : "Foreground") +
                                    (std::get<1>(info.param) ? "PortTaken" : "PortFree");
                         });

}  // namespace
}  // namespace brondal::corvane::server
