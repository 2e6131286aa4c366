// Entries the catch frames add to the crash log as an exception passes outward.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CatchFrame.h"
#include "CrashHandler.h"
#include "LogFolderPath.h"
#include "ManualClockScheduler.h"

namespace brondal {
namespace {

namespace fs = std::filesystem;

// Three nested frames around whatever thrower throws. Each frame records its name and the
// line of its CATCH_FRAME_END, innermost first.
std::function<void()> thrower;
std::string names[3];
int lines[3];

void Innermost() {
    CATCH_FRAME_BEGIN
    names[0] = __PRETTY_FUNCTION__;
    lines[0] = __LINE__ + 2;
    thrower();
    CATCH_FRAME_END
}

void Middle() {
    CATCH_FRAME_BEGIN
    names[1] = __PRETTY_FUNCTION__;
    lines[1] = __LINE__ + 2;
    Innermost();
    CATCH_FRAME_END
}

void Outer() {
    CATCH_FRAME_BEGIN
    names[2] = __PRETTY_FUNCTION__;
    lines[2] = __LINE__ + 2;
    Middle();
    CATCH_FRAME_END
}

class CatchFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/CatchFrameTest-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
        previous_ = SetCrashFolderForTesting(folder_ + "/crash");
    }
    void TearDown() override {
        SetCrashFolderForTesting(previous_);
        fs::remove_all(folder_);
    }

    std::vector<std::string> Entries() const {
        std::ostringstream text;
        text << std::ifstream(folder_ + "/crash/CrashLog.txt", std::ios::binary).rdbuf();
        const std::string all = text.str();
        std::vector<std::string> entries;
        for (std::size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos;
             at = end + 2) {
            entries.push_back(all.substr(at, end - at));
        }
        return entries;
    }
    static std::string StdEntry(const char* kind, const char* what, int line) {
#ifdef _WIN32
        // The time as "%c" writes it: the C runtime's form differs between the systems.
        const std::string time = "07/11/17 09:05:03";
#else
        const std::string time = "Tue Jul 11 09:05:03 2017";
#endif
        return time + ": " + kind + ": " + what + ", File: " + __FILE__ +
               " Line#:" + std::to_string(line);
    }

    testing::ManualClockScheduler clock_{TimePartsToMs({2017, 7, 11, 9, 5, 3, 42})};
    std::string folder_;
    std::string previous_;
};

TEST_F(CatchFrameTest, StandardExceptionsAreRecordedByEveryFrameInnermostFirst) {
    thrower = [] { throw std::runtime_error("route table corrupt"); };
    EXPECT_THROW(Outer(), std::runtime_error);
    std::vector<std::string> expected;
    for (int line : lines)
        expected.push_back(StdEntry("Std runtime error", "route table corrupt", line));
    // Other standard exceptions are named by their family, derived ones included.
    thrower = [] { throw std::logic_error("bad state"); };
    EXPECT_THROW(Innermost(), std::logic_error);
    expected.push_back(StdEntry("Std Exception", "bad state", lines[0]));
    thrower = [] { throw std::overflow_error("too many"); };
    EXPECT_THROW(Innermost(), std::overflow_error);
    expected.push_back(StdEntry("Std runtime error", "too many", lines[0]));
    EXPECT_EQ(Entries(), expected);
}

TEST_F(CatchFrameTest, AnythingElseIsACrashDumpEntryAddedToTheLog) {
    fs::create_directories(folder_ + "/crash");
    std::ofstream(folder_ + "/crash/CrashLog.txt", std::ios::binary) << "earlier entry\r\n";
    thrower = [] { throw 42; };
    try {
        Outer();
    } catch (int value) {
        EXPECT_EQ(value, 42);
    }
    const std::string thread = std::to_string(GetScheduler().GetCurrentThreadId());
    std::vector<std::string> expected = {"earlier entry"};
    for (int i = 0; i < 3; ++i) {
        expected.push_back("07/11/2017 09:05:03.042\t" + thread + "\tCRASH DUMP\t" + names[i] +
                           "\tCATCH\t" + __FILE__ + "\t" + std::to_string(lines[i]));
    }
    EXPECT_EQ(Entries(), expected);
}

TEST_F(CatchFrameTest, UnwritableCrashFolderLosesTheEntryButNotTheException) {
    // A file where a folder should be: even root cannot create the crash folder.
    std::ofstream(folder_ + "/blocker") << "x";
    SetCrashFolderForTesting(folder_ + "/blocker/crash");
    thrower = [] { throw std::runtime_error("lost"); };
    EXPECT_THROW(Outer(), std::runtime_error);
    thrower = [] { throw 7; };
    EXPECT_THROW(Outer(), int);
    // Nothing was written anywhere instead.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
    EXPECT_EQ(fs::file_size(folder_ + "/blocker"), 1u);
}

}  // namespace
}  // namespace brondal
