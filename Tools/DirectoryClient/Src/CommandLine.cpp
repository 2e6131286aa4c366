#include "CommandLine.h"

#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include "AddressText.h"

namespace brondal::corvane::client {

namespace {

constexpr std::uint32_t MaxPeriodMs = 86400000;
constexpr std::uint32_t MaxSimulatedDisplays = 1000000;

std::optional<std::uint64_t> ParseUnsigned(const std::string& text, std::uint64_t max) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || value > max) return std::nullopt;
    return value;
}

// Seconds, possibly fractional, to whole milliseconds; at least 1 ms, at most a day.
std::optional<std::uint32_t> ParseSeconds(const std::string& text) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, seconds);
    if (text.empty() || error != std::errc() || next != end || !std::isfinite(seconds) ||
        seconds <= 0 || seconds * 1000 > MaxPeriodMs) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::max(1.0, std::round(seconds * 1000)));
}

// Strictly the 36-character text form (either case); the UUID constructor is lenient.
std::optional<UUID> ParseUuid(const std::string& text) {
    if (text.size() != UUID::TextLength) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return std::nullopt;
        if (!dash && !std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    }
    return UUID(text);
}

struct Flag {
    bool takesValue;
};

const std::map<std::string, Flag>& CommandFlags(Command command) {
    static const std::map<std::string, Flag> Register{
        {"id", {true}},   {"name", {true}},      {"secondary", {true}}, {"address", {true}},
        {"port", {true}}, {"tag", {true}},       {"extra", {true}},     {"every", {true}},
        {"host", {true}}, {"reliable", {false}}, {"help", {false}}};
    static const std::map<std::string, Flag> List{
        {"extended", {false}}, {"json", {false}}, {"watch", {false}},    {"every", {true}},
        {"host", {true}},      {"port", {true}},  {"reliable", {false}}, {"help", {false}}};
    static const std::map<std::string, Flag> Simulate{{"count", {true}},     {"every", {true}},
                                                      {"host", {true}},      {"port", {true}},
                                                      {"reliable", {false}}, {"help", {false}}};
    static const std::map<std::string, Flag> Load{
        {"duration", {true}},    {"tables", {true}}, {"connections", {true}},
        {"subscribers", {true}}, {"burst", {true}},  {"pid", {true}},
        {"every", {true}},       {"host", {true}},   {"port", {true}},
        {"reliable", {false}},   {"help", {false}}};
    static const std::map<std::string, Flag> Global{
        {"host", {true}}, {"port", {true}}, {"reliable", {false}}, {"help", {false}}};
    switch (command) {
        case Command::Register:
            return Register;
        case Command::List:
            return List;
        case Command::Simulate:
            return Simulate;
        case Command::Load:
            return Load;
        case Command::Help:
            break;
    }
    return Global;
}

std::optional<Command> CommandNamed(const std::string& word) {
    static const std::map<std::string, Command> Commands{{"register", Command::Register},
                                                         {"list", Command::List},
                                                         {"simulate", Command::Simulate},
                                                         {"load", Command::Load},
                                                         {"help", Command::Help}};
    const auto found = Commands.find(word);
    if (found == Commands.end()) return std::nullopt;
    return found->second;
}

class Parser {
public:
    ParsedCommandLine Run(const std::vector<std::string>& arguments) {
        std::optional<Command> command;
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            const std::string& argument = arguments[i];
            if (argument.rfind("--", 0) != 0) {
                if (command) return Error("unexpected argument '" + argument + "'");
                command = CommandNamed(argument);
                if (!command) return Error("unknown command '" + argument + "'");
                result_.options.command = *command;
                given_.clear();
                continue;
            }
            std::string name = argument.substr(2);
            std::optional<std::string> value;
            if (const auto equals = name.find('='); equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.resize(equals);
            }
            const auto& flags = CommandFlags(command.value_or(Command::Help));
            const auto flag = flags.find(name);
            if (flag == flags.end()) return Error("unknown option '--" + name + "'");
            if (!given_.insert(name).second) return Error("option '--" + name + "' given twice");
            if (flag->second.takesValue && !value) {
                if (i + 1 >= arguments.size())
                    return Error("option '--" + name + "' needs a value");
                value = arguments[++i];
            } else if (!flag->second.takesValue && value) {
                return Error("option '--" + name + "' takes no value");
            }
            if (!Apply(command, name, value.value_or(""))) return result_;
        }
        if (!command) {
            if (help_ || arguments.empty()) {
                result_.ok = true;
                return result_;
            }
            return Error("no command given");
        }
        // Asking how a command is used needs none of what running it needs.
        result_.options.help = help_ && *command != Command::Help;
        if (!help_ && !Check(*command)) return result_;
        result_.ok = true;
        return result_;
    }

private:
    bool Apply(const std::optional<Command>& command, const std::string& name,
               const std::string& value) {
        Options& o = result_.options;
        const bool displayOption = command == Command::Register;
        if (name == "help") {
            help_ = true;
        } else if (name == "host") {
            if (value.empty()) return Invalid(name, value);
            o.host = value;
        } else if (name == "port" && !displayOption) {
            // The callback port is the next one up, so the last port cannot be the service's.
            const auto port = ParseUnsigned(value, 65534);
            if (!port || *port == 0) return Invalid(name, value);
            o.servicePort = static_cast<std::uint16_t>(*port);
        } else if (name == "port") {
            const auto port = ParseUnsigned(value, 65535);
            if (!port) return Invalid(name, value);
            o.display.port = static_cast<std::uint16_t>(*port);
        } else if (name == "reliable") {
            o.reliable = true;
        } else if (name == "id") {
            const auto id = ParseUuid(value);
            if (!id) return Invalid(name, value);
            o.display.displayId = *id;
        } else if (name == "name") {
            o.display.displayName = value;
        } else if (name == "secondary") {
            o.display.secondaryName = value;
        } else if (name == "address") {
            const auto address = ParseIpv4(value);
            if (!address) return Invalid(name, value);
            o.display.address = *address;
        } else if (name == "tag") {
            const auto tag = ParseUnsigned(value, 0xffffffffu);
            if (!tag) return Invalid(name, value);
            o.display.tag = static_cast<std::uint32_t>(*tag);
        } else if (name == "extra") {
            o.display.extra = value;
        } else if (name == "every") {
            const auto period = ParseSeconds(value);
            if (!period) return Invalid(name, value);
            o.everyMs = *period;
        } else if (name == "extended") {
            o.extended = true;
        } else if (name == "json") {
            o.json = true;
        } else if (name == "watch") {
            o.watch = true;
        } else if (name == "count") {
            const auto count = ParseUnsigned(value, MaxSimulatedDisplays);
            if (!count || *count == 0) return Invalid(name, value);
            o.count = static_cast<std::uint32_t>(*count);
        } else if (name == "duration") {
            const auto duration = ParseSeconds(value);
            if (!duration) return Invalid(name, value);
            o.durationMs = *duration;
        } else if (name == "tables") {
            return ApplyTables(value);
        } else if (name == "connections" || name == "subscribers" || name == "burst" ||
                   name == "pid") {
            const auto number = ParseUnsigned(value, name == "burst" ? 10000000 : 4194304);
            if (!number || (*number == 0 && name != "subscribers")) return Invalid(name, value);
            const auto n = static_cast<std::uint32_t>(*number);
            (name == "connections"   ? o.connections
             : name == "subscribers" ? o.subscribers
             : name == "burst"       ? o.burst
                                     : o.pid) = n;
        }
        return true;
    }

    bool ApplyTables(const std::string& value) {
        std::vector<std::uint32_t> sizes;
        std::size_t start = 0;
        while (start <= value.size()) {
            const std::size_t comma = std::min(value.find(',', start), value.size());
            const auto size = ParseUnsigned(value.substr(start, comma - start), 1000000);
            if (!size || *size == 0) return Invalid("tables", value);
            sizes.push_back(static_cast<std::uint32_t>(*size));
            start = comma + 1;
        }
        result_.options.tableSizes = sizes;
        return true;
    }

    bool Check(Command command) {
        const Options& o = result_.options;
        if (command == Command::Register) {
            for (const char* required : {"id", "name", "secondary", "address", "port"}) {
                if (!Given(required)) return Fail(std::string("register needs --") + required);
            }
        }
        if (command == Command::Simulate && o.count == 0) return Fail("simulate needs --count");
        if (command == Command::List && Given("every") && !o.watch) {
            return Fail("--every needs --watch");
        }
        if (command == Command::Load && o.connections == 0) {
            for (const char* mode : {"subscribers", "burst", "every"}) {
                if (Given(mode)) return Fail(std::string("--") + mode + " needs --connections");
            }
        }
        return true;
    }

    bool Given(const std::string& name) const { return given_.contains(name); }

    bool Invalid(const std::string& name, const std::string& value) {
        return Fail("invalid value '" + value + "' for --" + name);
    }
    ParsedCommandLine Error(const std::string& error) {
        Fail(error);
        return result_;
    }
    bool Fail(const std::string& error) {
        result_.ok = false;
        result_.error = error;
        return false;
    }

    ParsedCommandLine result_;
    // Options given since the command word (or before it, until there is one).
    std::set<std::string> given_;
    bool help_ = false;
};

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    return Parser().Run(arguments);
}

namespace {

constexpr const char* UsageHead =
    "Usage: CorvaneDirectoryClient [--host HOST] [--port PORT] [--reliable] ";

struct CommandUsage {
    Command command;
    // The command word and its options, then what it does, as the usage text shows them.
    const char* synopsis;
    const char* description;
};

constexpr CommandUsage CommandUsages[] = {
    {Command::Register,
     "register --id UUID --name TEXT --secondary TEXT --address A.B.C.D --port N\n"
     "           [--tag N] [--extra TEXT] [--every SECONDS]\n",
     "      Registers one display, or keeps refreshing it every SECONDS until interrupted.\n"},
    {Command::List, "list [--extended] [--json] [--watch [--every SECONDS]]\n",
     "      Prints the directory as a table or as JSON; --extended includes the extra text;\n"
     "      --watch keeps polling (every 2 seconds unless given) and prints the changes.\n"},
    {Command::Simulate, "simulate --count N [--every SECONDS]\n",
     "      Keeps N displays registered (refreshing every 60 seconds unless given), and "
     "registers\n"
     "      them again when the service comes back after a restart.\n"},
    {Command::Load,
     "load [--duration SECONDS] [--tables N,N,...]\n"
     "       load --connections N [--every SECONDS] [--subscribers N] [--burst N] [--pid PID]\n"
     "           [--duration SECONDS]\n",
     "      Measures the running service: update calls per second and latency with 1, 10 and "
     "50\n"
     "      displays (SECONDS each, default 5), the time to receive tables of the given sizes\n"
     "      (default 10000,100000, at most 1000000; the displays are registered first), and\n"
     "      version polls per second. With --connections: N displays, each on a connection of\n"
     "      its own, refresh every SECONDS (default 10) for the duration, beside N polling\n"
     "      subscribers; --burst first registers that many displays at once over all the\n"
     "      connections and times it; --pid reports the service's threads, memory and CPU.\n"},
};

constexpr const char* ExitCodesText =
    "Exit codes: 0 success, 1 the service could not be reached or answered with a failure,\n"
    "2 bad command line.\n";

}  // namespace

std::string UsageText() {
    std::string text = std::string(UsageHead) + "COMMAND [OPTIONS]\n" + R"(
The directory service listens on PORT (default 53200) for requests and on PORT + 1 for
callbacks; HOST defaults to 127.0.0.1. --reliable uses layered connections that resend and
reconnect. The service options may also follow the command word (except --port after
"register", which is the display's port). COMMAND --help shows one command's usage.

Commands:
)";
    for (const CommandUsage& usage : CommandUsages)
        text += std::string("  ") + usage.synopsis + usage.description;
    return text + "\n" + ExitCodesText;
}

std::string CommandUsageText(Command command) {
    for (const CommandUsage& usage : CommandUsages) {
        if (usage.command == command) {
            return std::string(UsageHead) + usage.synopsis + "\n" + usage.description + "\n" +
                   ExitCodesText;
        }
    }
    return UsageText();
}

}  // namespace brondal::corvane::client
