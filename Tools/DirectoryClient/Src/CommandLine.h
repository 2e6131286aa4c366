#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DirectoryProtocol.h"

namespace brondal::corvane::client {

enum class Command { Help, Register, List, Simulate, Load };

struct Options {
    Command command = Command::Help;
    // "COMMAND --help": print that command's usage instead of running it.
    bool help = false;

    // Where the service listens for requests; callbacks use the next port.
    std::string host = "127.0.0.1";
    std::uint16_t servicePort = 53200;
    // Layered (resending, reconnecting) connections instead of plain ones.
    bool reliable = false;

    // register: the display; every: refresh period, 0 for one registration.
    DisplayUpdate display;
    std::uint32_t everyMs = 0;

    // list
    bool extended = false;
    bool json = false;
    bool watch = false;

    // simulate
    std::uint32_t count = 0;

    // load: measuring time per concurrency level, and the table sizes to time.
    std::uint32_t durationMs = 5000;
    std::vector<std::uint32_t> tableSizes{10000, 100000};
    // load, connections mode (connections != 0): that many display connections refreshing
    // every everyMs (10 s unless given) for durationMs, beside `subscribers` polling clients;
    // first `burst` displays registered at once over all of them; the service's process
    // (pid, 0 for none) is watched for threads, memory and processor time.
    std::uint32_t connections = 0;
    std::uint32_t subscribers = 0;
    std::uint32_t burst = 0;
    std::uint32_t pid = 0;
};

struct ParsedCommandLine {
    bool ok = false;
    Options options;
    // One line naming what is wrong, when not ok.
    std::string error;
};

// Options before the command word are the service's (--host, --port, --reliable); after it,
// the command's. After "register", --port is the display's port; the other commands also
// take the service options after their word. Both "--name value" and "--name=value".
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();
// The usage of one command: its synopsis and what it does (UsageText for Command::Help).
std::string CommandUsageText(Command command);

// Default refresh periods: well inside the service's 300000 ms purge age.
inline constexpr std::uint32_t DefaultSimulatePeriodMs = 60000;
inline constexpr std::uint32_t DefaultWatchPeriodMs = 2000;

}  // namespace brondal::corvane::client
