#include <gtest/gtest.h>

#include <sstream>

#include "CommandLine.h"
#include "Commands.h"

namespace brondal::corvane::client {
namespace {

ParsedCommandLine Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

const std::vector<std::string> Register{
    "register", "--id",      "00112233-4455-6677-8899-AABBCCDDEEFF",
    "--name",   "Lobby",     "--secondary",
    "lobby-2",  "--address", "10.0.0.1",
    "--port",   "8080"};

std::vector<std::string> With(std::vector<std::string> base, std::vector<std::string> more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

TEST(CommandLine, RegisterReadsTheDisplayAndLeavesTheServiceDefaults) {
    const auto parsed = Parse(Register);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const Options& o = parsed.options;
    EXPECT_EQ(o.command, Command::Register);
    EXPECT_EQ(o.display.displayId, UUID("00112233-4455-6677-8899-aabbccddeeff"));
    EXPECT_EQ(o.display.displayName, "Lobby");
    EXPECT_EQ(o.display.secondaryName, "lobby-2");
    EXPECT_EQ(o.display.address, 0x0a000001u);
    EXPECT_EQ(o.display.port, 8080);
    EXPECT_FALSE(o.display.tag.has_value());
    EXPECT_FALSE(o.display.extra.has_value());
    EXPECT_EQ(o.everyMs, 0u);
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.servicePort, 53200);
    EXPECT_FALSE(o.reliable);
}

TEST(CommandLine, PortBeforeTheCommandIsTheServicesAfterRegisterTheDisplays) {
    const auto parsed =
        Parse(With({"--host", "example.net", "--port", "6000", "--reliable"}, Register));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.host, "example.net");
    EXPECT_EQ(parsed.options.servicePort, 6000);
    EXPECT_TRUE(parsed.options.reliable);
    EXPECT_EQ(parsed.options.display.port, 8080);

    const auto list = Parse({"list", "--port=6100", "--host=h"});
    ASSERT_TRUE(list.ok) << list.error;
    EXPECT_EQ(list.options.servicePort, 6100);
    EXPECT_EQ(list.options.host, "h");
}

TEST(CommandLine, RegisterOptionalValues) {
    const auto parsed =
        Parse(With(Register, {"--tag", "4294967295", "--extra=", "--every", "2.5"}));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.display.tag, 0xffffffffu);
    EXPECT_EQ(parsed.options.display.extra, "");
    EXPECT_EQ(parsed.options.everyMs, 2500u);
}

TEST(CommandLine, RegisterNeedsEveryDisplayValue) {
    for (const char* missing : {"--id", "--name", "--secondary", "--address", "--port"}) {
        std::vector<std::string> arguments;
        for (std::size_t i = 0; i < Register.size(); ++i) {
            if (Register[i] == missing) {
                ++i;  // and its value
                continue;
            }
            arguments.push_back(Register[i]);
        }
        const auto parsed = Parse(arguments);
        EXPECT_FALSE(parsed.ok) << missing;
        EXPECT_NE(parsed.error.find(missing), std::string::npos) << parsed.error;
    }
}

TEST(CommandLine, BadValuesAreNamed) {
    const std::vector<std::vector<std::string>> bad{
        {"--id", "00112233-4455-6677-8899-aabbccddeef"},   // one digit short
        {"--id", "00112233-4455-6677-8899_aabbccddeeff"},  // wrong separator
        {"--id", "0011223g-4455-6677-8899-aabbccddeeff"},
        {"--address", "10.0.0.256"},
        {"--port", "65536"},
        {"--port", "-1"},
        {"--tag", "4294967296"},
        {"--every", "0"},
        {"--every", "-3"},
        {"--every", "nan"},
        {"--every", "1s"},
    };
    // The callback port is the next one up.
    EXPECT_TRUE(Parse({"--port", "65534", "list"}).ok);
    EXPECT_FALSE(Parse({"--port", "65535", "list"}).ok);
    for (const auto& pair : bad) {
        auto arguments = Register;
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            if (arguments[i] == pair[0])
                arguments.erase(arguments.begin() + i, arguments.begin() + i + 2);
        }
        arguments.insert(arguments.end(), pair.begin(), pair.end());
        const auto parsed = Parse(arguments);
        EXPECT_FALSE(parsed.ok) << pair[0] << " " << pair[1];
        EXPECT_NE(parsed.error.find(pair[0]), std::string::npos) << parsed.error;
    }
}

TEST(CommandLine, ListFlags) {
    const auto parsed = Parse({"list", "--extended", "--json", "--watch", "--every", "0.25"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(parsed.options.extended);
    EXPECT_TRUE(parsed.options.json);
    EXPECT_TRUE(parsed.options.watch);
    EXPECT_EQ(parsed.options.everyMs, 250u);
    EXPECT_FALSE(Parse({"list", "--every", "1"}).ok);
    EXPECT_FALSE(Parse({"list", "--json=yes"}).ok);
}

TEST(CommandLine, SimulateAndLoad) {
    const auto simulate = Parse({"simulate", "--count", "1000", "--every", "30"});
    ASSERT_TRUE(simulate.ok) << simulate.error;
    EXPECT_EQ(simulate.options.count, 1000u);
    EXPECT_EQ(simulate.options.everyMs, 30000u);
    EXPECT_FALSE(Parse({"simulate"}).ok);
    EXPECT_FALSE(Parse({"simulate", "--count", "0"}).ok);

    const auto load = Parse({"load", "--duration", "2", "--tables", "100,2000"});
    ASSERT_TRUE(load.ok) << load.error;
    EXPECT_EQ(load.options.durationMs, 2000u);
    EXPECT_EQ(load.options.tableSizes, (std::vector<std::uint32_t>{100, 2000}));
    EXPECT_EQ(Parse({"load"}).options.tableSizes, (std::vector<std::uint32_t>{10000, 100000}));
    EXPECT_FALSE(Parse({"load", "--tables", "100,"}).ok);
    EXPECT_TRUE(Parse({"load", "--tables", "1000000"}).ok);

    const auto connections = Parse({"load", "--connections", "10000", "--subscribers", "100",
                                    "--burst", "100000", "--every", "5", "--pid", "42"});
    ASSERT_TRUE(connections.ok) << connections.error;
    EXPECT_EQ(connections.options.connections, 10000u);
    EXPECT_EQ(connections.options.subscribers, 100u);
    EXPECT_EQ(connections.options.burst, 100000u);
    EXPECT_EQ(connections.options.everyMs, 5000u);
    EXPECT_EQ(connections.options.pid, 42u);
    EXPECT_FALSE(Parse({"load", "--burst", "10"}).ok) << "needs --connections";
    EXPECT_FALSE(Parse({"load", "--connections", "0"}).ok);
}

TEST(CommandLine, MistakesAreRefusedWithOneLine) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"frobnicate"},
             {"list", "extra"},
             {"list", "--name", "x"},  // an option of another command
             {"list", "--json", "--json"},
             {"list", "--host"},
             {"--verbose", "list"},
         }) {
        const auto parsed = Parse(arguments);
        EXPECT_FALSE(parsed.ok) << arguments[0];
        EXPECT_FALSE(parsed.error.empty());
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
    }
}

TEST(CommandLine, CommandHelpPrintsThatCommandsUsageOnly) {
    const std::pair<const char*, Command> commands[] = {{"register", Command::Register},
                                                        {"list", Command::List},
                                                        {"simulate", Command::Simulate},
                                                        {"load", Command::Load}};
    for (const auto& [word, command] : commands) {
        // Without the values the command needs to run.
        const auto parsed = Parse({word, "--help"});
        ASSERT_TRUE(parsed.ok) << word << ": " << parsed.error;
        EXPECT_EQ(parsed.options.command, command);
        StopFlag stop;
        std::ostringstream out, err;
        EXPECT_EQ(RunCommand(parsed.options, stop, out, err), ExitOk);
        const std::string usage = out.str();
        EXPECT_EQ(usage.rfind(std::string("Usage: CorvaneDirectoryClient [--host HOST] [--port "
                                          "PORT] [--reliable] ") +
                                  word + " ",
                              0),
                  0u)
            << usage;
        EXPECT_EQ(usage, CommandUsageText(command));
        EXPECT_TRUE(err.str().empty());
        for (const auto& [other, ignored] : commands) {
            if (other != word) {
                EXPECT_EQ(usage.find(std::string("  ") + other + " "), std::string::npos);
            }
        }
    }
    EXPECT_FALSE(Parse({"help", "--help"}).options.help);
}

}  // namespace
}  // namespace brondal::corvane::client
