// The console store: which records reach standard error, and how a line looks in a terminal
// and in the service manager's log.
#include "ConsoleStore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "RefPtr.h"

namespace brondal {
namespace {

struct ConsoleCase {
    bool priorities;
    std::string expected;
};

class ConsoleStoreTest : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleStoreTest, WarningsSevereAndAnnouncementsAsSingleLines) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    {
        auto store = RefPtr<ConsoleStore>::Adopt(new ConsoleStore(stream, GetParam().priorities));
        for (const std::uint32_t quiet : {+LogConfig, +LogInformation, +LogSpew, 3u}) {
            store->Write(quiet, "a.cpp", "void f()", 0, 1, 2, "not on the console");
        }
        // A peer's text must not break the line or reach the terminal as a control sequence.
        store->Write(LogWarning, "a.cpp", "void f()", 0, 1, 2, "slow\r\npeer");
        store->Write(LogSevere, "a.cpp", "void f()", 0, 1, 2, "bad \x1b[2J name\x7f");
        store->Announce("running");
    }
    std::string written(256, '\0');
    std::rewind(stream);
    written.resize(std::fread(written.data(), 1, written.size(), stream));
    std::fclose(stream);
    EXPECT_EQ(written, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TerminalAndJournal, ConsoleStoreTest,
    ::testing::Values(ConsoleCase{false, "Warning: slow  peer\nSevere: bad  [2J name \nrunning\n"},
                      ConsoleCase{true,
                                  "<4>Warning: slow  peer\n<3>Severe: bad  [2J name \n"
                                  "<6>running\n"}),
    [](const auto& info) { return info.param.priorities ? "Journal" : "Terminal"; });

}  // namespace
}  // namespace brondal
