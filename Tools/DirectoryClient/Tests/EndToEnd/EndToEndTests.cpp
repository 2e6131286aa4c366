// The real service (build/bin/CorvaneDirectoryService -e) on its own ports 53200 and 53201,
// driven by the real client program, both as child processes. Serial: nothing else may use
// those ports meanwhile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "LogFolderPath.h"
#include "LogTail.h"
#include "WaitFor.h"

extern char** environ;

namespace {

using brondal::testing::PollUntil;
using namespace std::chrono_literals;

constexpr std::uint16_t RequestPort = 53200;
constexpr std::uint16_t CallbackPort = 53201;
// The first listener may take a while on a loaded machine or a sanitizer build.
constexpr auto ServiceStartBound = 30s;
constexpr auto ClientBound = 60s;

constexpr const char* Stopped = "\tCorvane Directory Service Stopped\t";

std::vector<char*> Pointers(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (auto& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Every variable but NOTIFY_SOCKET: the service must not take itself for a systemd unit.
std::vector<std::string> Environment() {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable) {
        if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) variables.push_back(*variable);
    }
    return variables;
}

// A child process whose output is collected through pipes.
class Child {
public:
    explicit Child(std::vector<std::string> arguments) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        auto variables = Environment();
        started_ = ::posix_spawn(&pid_, arguments[0].c_str(), &actions, nullptr,
                                 Pointers(arguments).data(), Pointers(variables).data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (started_ && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }

    bool Started() const { return started_; }
    // Whether the child has ended (collecting its exit code), without waiting.
    bool Ended() {
        int status = 0;
        if (started_ && !exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return !started_ || exited_;
    }
    void Signal(int signal) {
        if (started_ && !exited_) ::kill(pid_, signal);
    }

    // Collects output until the child has ended, at most `bound`; the exit code, or -1 when
    // it did not end in time (or ended by a signal).
    int Wait(std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (started_ && !exited_) {
            Drain(50);
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            } else if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
        }
        while (Drain(0)) {
        }
        return code_;
    }
    // Reads what output is there now, waiting up to waitMs for some.
    bool Drain(int waitMs) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, waitMs) <= 0) return false;
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
                any = true;
            }
        }
        return any;
    }

    std::string out, err;

private:
    pid_t pid_ = 0;
    bool started_ = false;
    bool exited_ = false;
    int code_ = -1;
    int out_ = -1, err_ = -1;
};

struct ClientRun {
    int code;
    std::string out, err;
};

ClientRun Client(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), CORVANE_DIRECTORY_CLIENT_PROGRAM);
    Child child(arguments);
    if (!child.Started()) return {-1, "", "could not start the client"};
    const int code = child.Wait(ClientBound);
    return {code, child.out, child.err};
}

bool Accepts(std::uint16_t port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

// What the service's log files gained since construction (the same rule as the program's).
class LogTail : public brondal::testing::LogTail {
public:
    LogTail()
        : brondal::testing::LogTail(
              brondal::LogFolderPath("Brondal", "Corvane", "DirectoryService/Logs", false, false),
              "DirectoryService_") {}
};

class Service {
public:
    Service() : child_({CORVANE_DIRECTORY_SERVICE_PROGRAM, "-e"}) {}
    ~Service() { Stop(); }

    // Both ports accept connections within the bound. The child's output is read meanwhile,
    // so that a chatty start (a sanitizer's report) never stalls on a full pipe, and a child
    // that ended is not waited for.
    bool Listening() {
        const auto listening = [this] {
            child_.Drain(0);
            return child_.Ended() || (Accepts(RequestPort) && Accepts(CallbackPort));
        };
        return PollUntil(listening, ServiceStartBound) && !child_.Ended();
    }
    // For a failure message: how the child ended, if it did, and what it printed.
    std::string Describe() {
        child_.Drain(0);
        return (child_.Ended() ? "the service ended" : "the service is still running") +
               std::string("; its output:\n") + child_.out + child_.err;
    }
    // SIGTERM; the exit code, or -1 when it did not end cleanly in time.
    int Stop() {
        if (stopped_) return code_;
        stopped_ = true;
        child_.Signal(SIGTERM);
        code_ = child_.Wait(30s);
        return code_;
    }

private:
    Child child_;
    bool stopped_ = false;
    int code_ = -1;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Accepts(RequestPort)) << "port 53200 is taken: another service is running";
        ASSERT_FALSE(Accepts(CallbackPort)) << "port 53201 is taken";
    }
};

const std::string Lobby = "00000000-0000-4000-8000-00000000e2e1";
const std::string Kiosk = "00000000-0000-4000-8000-00000000e2e2";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST_F(EndToEnd, ClientRegistersAndListsDisplaysPlainAndLayered) {
    const LogTail log;
    Service service;
    ASSERT_TRUE(service.Listening())
        << "the service never accepted connections on 53200/53201: " << service.Describe();

    ClientRun run = Client({"register", "--id", Lobby, "--name", "Lobby \"east\"", "--secondary",
                            "lobby-2", "--address", "10.20.30.40", "--port", "8080", "--tag", "7",
                            "--extra", "first floor"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("registered " + Lobby), std::string::npos) << run.out;
    // An old-style display: only the five leading values, over a layered connection.
    run = Client({"--reliable", "register", "--id", Kiosk, "--name", "Kiosk", "--secondary", "k",
                  "--address", "192.168.1.2", "--port", "9"});
    ASSERT_EQ(run.code, 0) << run.err;

    run = Client({"list"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find(Lobby + "  Lobby \"east\"  lobby-2         10.20.30.40  8080    7"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(Kiosk + "  Kiosk         k               192.168.1.2     9    1"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("2 display(s), version "), std::string::npos) << run.out;

    run = Client({"list", "--extended", "--json"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("{\"id\":\"" + Lobby +
                           "\",\"name\":\"Lobby \\\"east\\\"\",\"secondaryName\":\"lobby-2\","
                           "\"address\":\"10.20.30.40\",\"port\":8080,\"tag\":7,"
                           "\"extra\":\"first floor\"}"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"port\":9,\"tag\":1,\"extra\":\"\"}"), std::string::npos) << run.out;

    // A layered client gets the same answers.
    const ClientRun layered = Client({"list", "--extended", "--json", "--reliable"});
    ASSERT_EQ(layered.code, 0) << layered.err;
    EXPECT_EQ(layered.out, run.out);

    EXPECT_EQ(service.Stop(), 0);
    EXPECT_TRUE(PollUntil([&] { return log.Text().find(Stopped) != std::string::npos; }))
        << log.Text();
}

void SimulatedDisplaysComeBackAfterARestart(bool reliable) {
    auto service = std::make_unique<Service>();
    ASSERT_TRUE(service->Listening()) << service->Describe();
    std::vector<std::string> arguments{CORVANE_DIRECTORY_CLIENT_PROGRAM, "simulate", "--count",
                                       "20"};
    if (reliable) arguments.push_back("--reliable");
    Child simulate(arguments);
    ASSERT_TRUE(simulate.Started());
    const auto simulated = [] {
        const ClientRun run = Client({"list", "--extended", "--json"});
        return run.code == 0 ? Count(run.out, "\"extra\":\"simulated\"") : 0;
    };
    EXPECT_TRUE(PollUntil([&] { return simulated() == 20; }, 30s));

    EXPECT_EQ(service->Stop(), 0) << service->Describe();
    service = std::make_unique<Service>();
    ASSERT_TRUE(service->Listening()) << service->Describe();
    // Only a re-registration can fill the new, empty table: the period is a minute.
    EXPECT_TRUE(PollUntil([&] { return simulated() == 20; }, 45s));

    simulate.Signal(SIGINT);
    EXPECT_EQ(simulate.Wait(30s), 0) << simulate.err;
    EXPECT_NE(simulate.out.find("20 display(s) registered"), std::string::npos) << simulate.out;
    EXPECT_NE(simulate.out.find("1 reconnect(s)"), std::string::npos) << simulate.out;
    EXPECT_EQ(service->Stop(), 0) << service->Describe();
}

TEST_F(EndToEnd, SimulatedDisplaysComeBackAfterTheServiceRestarts) {
    SimulatedDisplaysComeBackAfterARestart(false);
}

TEST_F(EndToEnd, SimulatedDisplaysOnLayeredConnectionsComeBackAfterTheServiceRestarts) {
    SimulatedDisplaysComeBackAfterARestart(true);
}

TEST_F(EndToEnd, UnreachableServiceIsOneLineAndExitCodeOne) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"list"},
             {"register", "--id", Lobby, "--name", "n", "--secondary", "s", "--address", "1.2.3.4",
              "--port", "1"},
             {"simulate", "--count", "1"}}) {
        const ClientRun run = Client(arguments);
        EXPECT_EQ(run.code, 1) << arguments[0];
        EXPECT_EQ(run.err.rfind("error: cannot reach the directory service at 127.0.0.1:53200", 0),
                  0u)
            << run.err;
        EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;
    }
}

}  // namespace
