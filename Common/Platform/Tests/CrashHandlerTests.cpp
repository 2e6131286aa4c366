// Crash reports of memory faults, from child processes that really fault.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "CrashHandler.h"
#include "LogFolderPath.h"
#include "WaitFor.h"

namespace brondal {

// Outside the unnamed namespace and never inlined, so that the report's stack can name them.
__attribute__((noinline)) void WriteThroughInvalidPointer() {
    int* volatile target = reinterpret_cast<int*>(0x10);
    *target = 1;
}

static volatile bool deeper = true;

__attribute__((noinline)) int Recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return deeper ? Recurse(depth + 1) + frame[0] : 0;
}

namespace {

namespace fs = std::filesystem;

class CrashHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InstallCrashHandler()) {
            GTEST_SKIP() << "sanitizer builds leave memory faults to the sanitizer's report";
        }
        char pattern[] = "/tmp/CrashHandlerTest-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        temp_ = pattern;
    }
    void TearDown() override {
        std::error_code error;
        if (!temp_.empty()) fs::remove_all(temp_, error);
    }

    // Runs body in a child process that reports into folder; waits (bounded) for its end and
    // returns its wait status.
    int RunChild(const std::string& folder, void (*body)()) {
        child_ = ::fork();
        if (child_ == 0) {
            const rlimit noCoreFile{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCoreFile);
            SetCrashFolderForTesting(folder);
            InstallCrashHandler();
            body();
            ::_exit(0);
        }
        int status = 0;
        if (child_ < 0) {
            ADD_FAILURE() << "fork failed";
        } else if (!testing::PollUntil([&] { return ::waitpid(child_, &status, WNOHANG) != 0; })) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, &status, 0);
            ADD_FAILURE() << "the child did not end";
        }
        return status;
    }
    static std::string Read(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    std::string temp_;
    pid_t child_ = 0;
};

TEST_F(CrashHandlerTest, FaultLeavesAReportAndTheProcessStillDiesOfIt) {
    // The folder does not exist yet: the handler creates it. A stack overflow is reported
    // too, from the thread's own handler stack.
    const std::string folder = temp_ + "/crash/deeper";
    int status = RunChild(folder, [] { Recurse(0); });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
    EXPECT_NE(Read(folder + "/crash-report.txt").find("Recurse"), std::string::npos);

    // The next report replaces that long one entirely.
    status = RunChild(folder, &WriteThroughInvalidPointer);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
    const std::string report = Read(folder + "/crash-report.txt");
    EXPECT_EQ(
        report.rfind("Fatal signal 11 (SIGSEGV)\nFault address: 0x0000000000000010\nThread: " +
                         std::to_string(child_) + "\nStack trace:\n",
                     0),
        0u)
        << report;
    EXPECT_NE(report.find("WriteThroughInvalidPointer"), std::string::npos) << report;
    EXPECT_EQ(report.find("Recurse"), std::string::npos);
}

TEST_F(CrashHandlerTest, OtherEndingsLeaveNoReport) {
    int status = RunChild(temp_, [] { ::_exit(3); });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    status = RunChild(temp_, [] { ::abort(); });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
    EXPECT_FALSE(fs::exists(temp_ + "/crash-report.txt"));
}

}  // namespace
}  // namespace brondal
