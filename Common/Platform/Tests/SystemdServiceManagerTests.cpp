// systemd as the service manager, with its folders in a temporary one and its notification
// socket bound by the test.
#include "SystemdServiceManager.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace brondal::platform {
namespace {

namespace fs = std::filesystem;
using Manager = SystemdServiceManager;

constexpr const char* Program = "/opt/corvane/CorvaneDirectoryService";
constexpr const char* Name = "Corvane Directory Service";
constexpr const char* Description = "Provides Corvane Display Name Resolution";

ServiceStatus InState(std::uint32_t state) {
    ServiceStatus status;
    status.currentState = state;
    return status;
}

TEST(SystemdUnitTest, UnitStartsTheProgramAsRootNotifyingAndRestartedOnFailure) {
    EXPECT_EQ(Manager::UnitName("a-b_c.d:e/f g%"), "a-b_c.d:efg");
    EXPECT_EQ(Manager::UnitText(Program, Name, Description),
              "# Provides Corvane Display Name Resolution\n"
              "[Unit]\n"
              "Description=Corvane Directory Service\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"/opt/corvane/CorvaneDirectoryService\"\n"
              "User=root\n"
              "Restart=on-failure\n"
              "LimitNOFILE=1048576\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    // What systemd would interpret: specifiers, escapes, quotes, line breaks.
    const std::string odd = Manager::UnitText("/a b/1%/\"\\/P", "N 5%", "Two\nlines");
    EXPECT_NE(odd.find("\nExecStart=\"/a b/1%%/\\\"\\\\/P\"\n"), std::string::npos) << odd;
    EXPECT_NE(odd.find("\nDescription=N 5%%\n"), std::string::npos) << odd;
    EXPECT_EQ(odd.rfind("# Two lines\n[Unit]\n", 0), 0u) << odd;
}

TEST(SystemdUnitTest, StatesBecomeNotifications) {
    EXPECT_EQ(Manager::Notification(InState(service::StateRunning)), "READY=1\nSTATUS=Running");
    EXPECT_EQ(Manager::Notification(InState(service::StatePaused)), "STATUS=Paused");
    EXPECT_EQ(Manager::Notification(InState(service::StateStopPending)), "STOPPING=1");
    EXPECT_EQ(Manager::Notification(InState(service::StateStartPending)), "");
    EXPECT_EQ(Manager::Notification(InState(service::StateStopped)), "");
}

class SystemdServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/SystemdServiceManagerTest-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        temp_ = pattern;
        unit_ = temp_ + "/CorvaneDirectoryService.service";
        link_ = temp_ + "/wants/CorvaneDirectoryService.service";
    }
    void TearDown() override { fs::remove_all(temp_); }

    Manager::Layout Layout(std::string notifySocket = {}) {
        auto reload = [this] {
            ++reloads_;
            return true;
        };
        return {temp_, temp_ + "/wants", reload, std::move(notifySocket), {}};
    }
    static std::string Read(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    std::string temp_, unit_, link_;
    int reloads_ = 0;
};

TEST_F(SystemdServiceManagerTest, InstallWritesAndEnablesTheUnitUninstallRemovesBoth) {
    Manager manager(Layout());
    ASSERT_TRUE(manager.Install(Program, Name, Name, Description));
    EXPECT_EQ(Read(unit_), Manager::UnitText(Program, Name, Description));
    EXPECT_EQ(fs::read_symlink(link_), unit_);
    // Installed already: nothing changes.
    EXPECT_FALSE(manager.Install("/elsewhere/P", Name, Name, Description));
    EXPECT_EQ(Read(unit_), Manager::UnitText(Program, Name, Description));
    ASSERT_TRUE(manager.Uninstall(Name));
    EXPECT_FALSE(fs::exists(unit_) || fs::is_symlink(link_));
    EXPECT_FALSE(manager.Uninstall(Name));
    EXPECT_EQ(reloads_, 2);

    // A stale link is replaced; anything else in its place fails the installation, which
    // then takes its unit back.
    fs::create_symlink(temp_ + "/gone", link_);
    ASSERT_TRUE(manager.Install(Program, Name, Name, Description));
    EXPECT_EQ(fs::read_symlink(link_), unit_);
    ASSERT_TRUE(manager.Uninstall(Name));
    std::ofstream(link_) << "not ours";
    EXPECT_FALSE(manager.Install(Program, Name, Name, Description));
    EXPECT_FALSE(fs::exists(unit_));
    EXPECT_EQ(Read(link_), "not ours");
}

TEST_F(SystemdServiceManagerTest, ReportsReachTheNotifySocket) {
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    (temp_ + "/notify").copy(local.sun_path, sizeof local.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    auto receive = [&] {
        pollfd readable{listener, POLLIN, 0};
        char buffer[64];
        const ssize_t n = ::poll(&readable, 1, 10000) == 1 ? ::recv(listener, buffer, 64, 0) : 0;
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    std::string reason;
    auto channel = Manager(Layout(temp_ + "/notify")).Connect(&reason);
    ASSERT_NE(channel, nullptr) << reason;
    EXPECT_TRUE(channel->Report(InState(service::StateRunning)));
    EXPECT_EQ(receive(), "READY=1\nSTATUS=Running");
    // Nothing to say about stopped: nothing is sent.
    EXPECT_TRUE(channel->Report(InState(service::StateStopped)));
    EXPECT_TRUE(channel->Report(InState(service::StateStopPending)));
    EXPECT_EQ(receive(), "STOPPING=1");
    // A line break in a status text would start an assignment of its own.
    EXPECT_TRUE(channel->Describe("Serving 3 displays\nREADY=1"));
    EXPECT_EQ(receive(), "STATUS=Serving 3 displays READY=1");
    ::close(listener);
    EXPECT_FALSE(channel->Report(InState(service::StateRunning)));

    EXPECT_EQ(Manager(Layout()).Connect(&reason), nullptr);
    EXPECT_NE(reason.find("NOTIFY_SOCKET is not set"), std::string::npos) << reason;
    EXPECT_EQ(Manager(Layout("vsock:2:1")).Connect(&reason), nullptr);

    // Standard error reaches the journal when systemd started the process or connected it.
    EXPECT_TRUE(Manager(Layout(temp_ + "/notify")).StandardErrorIsManagerLog());
    EXPECT_FALSE(Manager(Layout()).StandardErrorIsManagerLog());
    Manager::Layout journal = Layout();
    journal.journalStream = "8:12345";
    EXPECT_TRUE(Manager(journal).StandardErrorIsManagerLog());
}

}  // namespace
}  // namespace brondal::platform
