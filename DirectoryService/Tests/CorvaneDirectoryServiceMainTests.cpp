// The directory's host: its logging, and the registry it creates on its thread and releases
// at the stop. It logs into a temporary folder.
#include "CorvaneDirectoryServiceMain.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "DirectoryTestSupport.h"
#include "FakeServiceManager.h"
#include "LogCall.h"
#include "WaitFor.h"

namespace brondal::corvane::server {
namespace {

namespace fs = std::filesystem;

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
        host_ = RefPtr<CorvaneDirectoryServiceMain>::Adopt(
            new CorvaneDirectoryServiceMain(folders_, manager_, port_, testing::Loopback));
    }
    void TearDown() override {
        host_.Reset();
        logger_->SetDetailLimit(0);
        fs::remove_all(folders_.base);
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

}  // namespace
}  // namespace brondal::corvane::server
