// The program itself, run as a child process the way a person or systemd runs it. It logs
// where the service logs (as root, /var/lib/Brondal/Corvane/DirectoryService/Logs): the tests
// read only what the files gained while they ran, and delete nothing there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DirectoryTestSupport.h"
#include "LogFolderPath.h"
#include "LogTail.h"
#include "WaitFor.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using brondal::testing::PollUntil;

constexpr const char* Started = "\tCorvane Directory Service Started\t";
constexpr const char* Stopped = "\tCorvane Directory Service Stopped\t";

std::string LogFolder() {
    return brondal::LogFolderPath("Brondal", "Corvane", "DirectoryService/Logs", false, false);
}

// What the service's log files gained since construction (the same rule as the program's).
class LogTail : public brondal::testing::LogTail {
public:
    LogTail() : brondal::testing::LogTail(LogFolder(), "DirectoryService_") {}
};

// A folder of the test's own, removed at the end.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/CorvaneProgramTest-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TempFolder() {
        if (!path.empty()) fs::remove_all(path);
    }
    std::string path;
};

// One run of the program, with NOTIFY_SOCKET set to notifySocket (empty: not set) and its
// standard error in a file of the run's own.
class Program {
public:
    explicit Program(std::vector<std::string> arguments, const std::string& notifySocket = "")
        : errors_(folder_.path + "/stderr") {
        arguments.insert(arguments.begin(), CORVANE_DIRECTORY_SERVICE_PROGRAM);
        std::vector<std::string> variables;
        for (char** variable = environ; *variable; ++variable) {
            if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0 &&
                std::strncmp(*variable, "JOURNAL_STREAM=", 15) != 0) {
                variables.push_back(*variable);
            }
        }
        if (!notifySocket.empty()) variables.push_back("NOTIFY_SOCKET=" + notifySocket);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors_.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0600);
        started_ = ::posix_spawn(&pid_, arguments[0].c_str(), &actions, nullptr,
                                 Pointers(arguments).data(), Pointers(variables).data()) == 0;
        ::posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (!started_ || Exit() != -1) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit code once it ended (bounded wait), or -1.
    int Exit() {
        int status = 0;
        if (!started_ || !PollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
            return -1;
        }
        started_ = false;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // What it wrote to standard error so far.
    std::string Errors() const {
        std::ostringstream text;
        text << std::ifstream(errors_).rdbuf();
        return text.str();
    }
    bool WaitForErrors(const std::string& text) const {
        return PollUntil([&] { return Errors().find(text) != std::string::npos; });
    }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& words) {
        std::vector<char*> pointers;
        for (auto& word : words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    TempFolder folder_;
    const std::string errors_;
    pid_t pid_ = 0;
    bool started_ = false;
};

// systemd's end of the notification socket.
class NotifySocket {
public:
    NotifySocket() : address(folder_.path + "/notify") {
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        address.copy(local.sun_path, sizeof local.sun_path - 1);
        bound = ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~NotifySocket() { ::close(socket_); }
    // The next datagram within timeoutMs, or "".
    std::string Receive(int timeoutMs = 10000) {
        pollfd readable{socket_, POLLIN, 0};
        char buffer[512];
        const ssize_t n =
            ::poll(&readable, 1, timeoutMs) == 1 ? ::recv(socket_, buffer, 512, 0) : 0;
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

private:
    TempFolder folder_;
    int socket_ = -1;

public:
    const std::string address;
    bool bound = false;
};

constexpr std::uint16_t RequestPort = 53200;

void RunInForegroundUntil(std::vector<std::string> arguments, int signal) {
    const LogTail log;
    Program program(std::move(arguments));
    ASSERT_TRUE(log.WaitFor(Started)) << log.Text();
    // The newcomer's greeting, once the service is up.
    const std::string greeting =
        "Corvane Directory Service running: requests on port 53200, callbacks on port 53201, "
        "log folder " +
        LogFolder() + "; Ctrl-C stops it\n";
    EXPECT_TRUE(program.WaitForErrors(greeting)) << program.Errors();
    program.Signal(signal);
    EXPECT_EQ(program.Exit(), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find(Stopped, text.find(Started)), std::string::npos) << text;
}

TEST(ProgramTest, ForegroundRunStopsCleanlyOnSigterm) { RunInForegroundUntil({"-e"}, SIGTERM); }

TEST(ProgramTest, ForegroundRunIgnoresLaterArgumentsAndStopsCleanlyOnSigint) {
    RunInForegroundUntil({"-e", "-u"}, SIGINT);
}

TEST(ProgramTest, ForegroundRunServesClientsOnItsPorts) {
    using namespace brondal;
    using namespace brondal::testing;
    constexpr std::uint16_t Port = 53200;
    const LogTail log;
    Program program({"-e"});
    ASSERT_TRUE(log.WaitFor(Started)) << log.Text();
    {
        DirectoryClient client(Port);
        ASSERT_TRUE(client.opened);
        const UUID display(0x5eed, 1, 2, 3);
        RefPtr<IDataStream> update = UpdateArguments(display, "Program test");
        ASSERT_EQ(client.Call(4, update.Get(), NewStream().Get()), ResultOk);
        ASSERT_EQ(client.Subscribe(), ResultOk);
        std::uint64_t version = 0;
        ASSERT_EQ(client.RequestTable(false, 0, &version), ResultOk);
        EXPECT_NE(version, 0u);
        ASSERT_TRUE(client.receiver->WaitCalls(1));
        const Batch batch = ReadBatch(client.receiver->Calls().front().arguments, false);
        ASSERT_EQ(batch.entries.size(), 1u);
        EXPECT_EQ(batch.entries[0].displayId, display);
        EXPECT_EQ(batch.entries[0].displayName, "Program test");
        EXPECT_TRUE(batch.last);
    }
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Exit(), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find(Stopped, text.find(Started)), std::string::npos) << text;
    EXPECT_EQ(text.find("Unable to"), std::string::npos) << text;
}

TEST(ProgramTest, ServiceModeOutsideSystemdRunsNothingAndFails) {
    const LogTail log;
    Program program({});
    EXPECT_EQ(program.Exit(), 1);
    const std::string text = log.Text();
    EXPECT_NE(text.find("NOTIFY_SOCKET is not set"), std::string::npos) << text;
    EXPECT_EQ(text.find(Started), std::string::npos) << text;
    EXPECT_EQ(program.Errors().rfind("Severe: Unable to run Corvane Directory Service as a "
                                     "service: NOTIFY_SOCKET is not set",
                                     0),
              0u)
        << program.Errors();
}

TEST(ProgramTest, ServiceModeUnderSystemdIsReadyOnlyWhenItAcceptsThenShowsItsState) {
    NotifySocket systemd;
    ASSERT_TRUE(systemd.bound);
    const LogTail log;
    Program program({}, systemd.address);
    EXPECT_EQ(systemd.Receive(), "READY=1\nSTATUS=Running");
    const int probe = brondal::platform::TcpCreate();
    EXPECT_EQ(brondal::platform::TcpConnect(probe, brondal::testing::Loopback, RequestPort, 1000),
              0);
    brondal::platform::TcpClose(probe);
    EXPECT_EQ(systemd.Receive(1000).rfind("STATUS=Listening on ports 53200 and 53201: 0 displays, "
                                          "0 subscribers, ",
                                          0),
              0u);
    EXPECT_TRUE(log.WaitFor(Started)) << log.Text();
    EXPECT_TRUE(
        program.WaitForErrors("<6>Corvane Directory Service running: requests on port "
                              "53200, callbacks on port 53201, log folder " +
                              LogFolder() + "\n"))
        << program.Errors();
    program.Signal(SIGTERM);
    EXPECT_EQ(systemd.Receive(), "STOPPING=1");
    EXPECT_EQ(program.Exit(), 0);
    EXPECT_TRUE(log.WaitFor(Stopped)) << log.Text();
}

// Somebody else holds the request port: the start fails, is never reported as ready, and
// the process exits non-zero with the reason on standard error (so that systemd's
// Restart=on-failure tries again).
class ProgramPortTakenTest : public ::testing::TestWithParam<bool> {};

TEST_P(ProgramPortTakenTest, StartFailsWithTheReasonAndANonZeroExit) {
    const bool underSystemd = GetParam();
    const int blocker = brondal::platform::TcpCreate();
    // The connections of the run before may linger on the port (TIME_WAIT).
    brondal::platform::TcpSetReuseAddress(blocker);
    ASSERT_EQ(brondal::platform::TcpBind(blocker, 0, RequestPort), 0);
    brondal::platform::TcpListen(blocker);
    NotifySocket systemd;
    ASSERT_TRUE(systemd.bound);
    const LogTail log;
    Program program(underSystemd ? std::vector<std::string>{} : std::vector<std::string>{"-e"},
                    underSystemd ? systemd.address : "");
    EXPECT_EQ(program.Exit(), 1);
    brondal::platform::TcpClose(blocker);

    const std::string reason = "Unable to initialize transport on port 53200 (result 0x80000000)";
    const std::string severe = underSystemd ? "<3>Severe: " : "Severe: ";
    const std::string errors = program.Errors();
    EXPECT_NE(errors.find(severe + "Unable to initialize Corvane Directory Service Service\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find(severe + "Corvane Directory Service not started: " + reason + "\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(errors.find("running"), std::string::npos) << errors;
    std::vector<std::string> told;
    for (std::string datagram; !(datagram = systemd.Receive(0)).empty();)
        told.push_back(datagram);
    if (underSystemd) {
        EXPECT_EQ(told, (std::vector<std::string>{"STATUS=Not started: " + reason, "STOPPING=1"}));
    } else {
        EXPECT_TRUE(told.empty());
    }
    const std::string text = log.Text();
    EXPECT_EQ(text.find(Started), std::string::npos) << text;
    EXPECT_NE(text.find(Stopped), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(BothWays, ProgramPortTakenTest, ::testing::Bool(), [](const auto& info) {
    return info.param ? "UnderSystemd" : "Foreground";
});

}  // namespace
