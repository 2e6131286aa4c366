// The program itself, run as a child process the way a person or systemd runs it. It logs
// where the service logs (as root, /var/lib/Brondal/Corvane/DirectoryService/Logs): the tests
// read only what the files gained while they ran, and delete nothing there.
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

// What the service's log files gained since construction (the same rule as the program's).
class LogTail : public brondal::testing::LogTail {
public:
    LogTail()
        : brondal::testing::LogTail(
              brondal::LogFolderPath("Brondal", "Corvane", "DirectoryService/Logs", false, false),
              "DirectoryService_") {}
};

// One run of the program, with NOTIFY_SOCKET set to notifySocket (empty: not set).
class Program {
public:
    explicit Program(std::vector<std::string> arguments, const std::string& notifySocket = "") {
        arguments.insert(arguments.begin(), CORVANE_DIRECTORY_SERVICE_PROGRAM);
        std::vector<std::string> variables;
        for (char** variable = environ; *variable; ++variable) {
            if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) variables.push_back(*variable);
        }
        if (!notifySocket.empty()) variables.push_back("NOTIFY_SOCKET=" + notifySocket);
        started_ = ::posix_spawn(&pid_, arguments[0].c_str(), nullptr, nullptr,
                                 Pointers(arguments).data(), Pointers(variables).data()) == 0;
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

private:
    static std::vector<char*> Pointers(std::vector<std::string>& words) {
        std::vector<char*> pointers;
        for (auto& word : words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    pid_t pid_ = 0;
    bool started_ = false;
};

void RunInForegroundUntil(std::vector<std::string> arguments, int signal) {
    const LogTail log;
    Program program(std::move(arguments));
    ASSERT_TRUE(log.WaitFor(Started)) << log.Text();
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
        const auto call = client.receiver->Calls().front();
        RefPtr<IDataStream> arguments = NewStream();
        arguments->WriteBytes(call.arguments.data(),
                              static_cast<std::uint32_t>(call.arguments.size()));
        const Batch batch = ReadBatch(arguments.Get(), false);
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

TEST(ProgramTest, ServiceModeOutsideSystemdRunsNothing) {
    const LogTail log;
    EXPECT_EQ(Program({}).Exit(), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find("NOTIFY_SOCKET is not set"), std::string::npos) << text;
    EXPECT_EQ(text.find(Started), std::string::npos) << text;
}

TEST(ProgramTest, ServiceModeUnderSystemdNotifiesReadyAndStopping) {
    // systemd's end of the notification socket.
    char folder[] = "/tmp/CorvaneProgramTest-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string address = std::string(folder) + "/notify";
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    address.copy(local.sun_path, sizeof local.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    auto receive = [&] {
        pollfd readable{socket, POLLIN, 0};
        char buffer[64];
        const ssize_t n = ::poll(&readable, 1, 10000) == 1 ? ::recv(socket, buffer, 64, 0) : 0;
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    };

    const LogTail log;
    Program program({}, address);
    EXPECT_EQ(receive(), "READY=1\nSTATUS=Running");
    EXPECT_TRUE(log.WaitFor(Started)) << log.Text();
    program.Signal(SIGTERM);
    EXPECT_EQ(receive(), "STOPPING=1");
    EXPECT_EQ(program.Exit(), 0);
    EXPECT_TRUE(log.WaitFor(Stopped)) << log.Text();
    ::close(socket);
    fs::remove_all(folder);
}

}  // namespace
