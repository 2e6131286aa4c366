#include "Commands.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "AddressText.h"
#include "Scheduler.h"
#include "TableFormat.h"

namespace brondal::corvane::client {

namespace {

using Clock = std::chrono::steady_clock;

// No batch for this long while a table is expected: the service is not sending it.
constexpr std::uint32_t TableIdleTimeoutMs = 20000;
constexpr std::uint32_t ReconnectDelayMs = 1000;

const char* OutcomeText(DirectoryClient::WaitOutcome outcome) {
    switch (outcome) {
        case DirectoryClient::WaitOutcome::Table:
            return "table received";
        case DirectoryClient::WaitOutcome::TimedOut:
            return "the table did not arrive";
        case DirectoryClient::WaitOutcome::Stopped:
            return "stopped";
        case DirectoryClient::WaitOutcome::Lost:
            return "lost the connection to the service";
        case DirectoryClient::WaitOutcome::BadBatch:
            return "the service sent a malformed batch";
    }
    return "";
}

std::string ServiceText(const Options& options) {
    return options.host + ":" + std::to_string(options.servicePort);
}

// Fetches the table when knownVersion is not current. *changed tells whether a table came.
int FetchTable(DirectoryClient& client, const Options& options, StopFlag& stop,
               std::uint64_t knownVersion, std::uint64_t* version,
               std::vector<DisplayRecord>* table, bool* changed, std::ostream& err) {
    *changed = false;
    const Result result = client.RequestTable(options.extended, knownVersion, version);
    if (Failed(result)) {
        err << "error: the directory service at " << ServiceText(options)
            << " failed the table request: " << DescribeResult(result) << '\n';
        return ExitServiceError;
    }
    // The service sends nothing to a client whose non-zero version is current.
    if (knownVersion != 0 && *version == knownVersion) return ExitOk;
    const auto outcome = client.WaitForTable(TableIdleTimeoutMs, &stop, table);
    if (outcome == DirectoryClient::WaitOutcome::Stopped) return ExitOk;
    if (outcome != DirectoryClient::WaitOutcome::Table) {
        err << "error: " << OutcomeText(outcome) << '\n';
        return ExitServiceError;
    }
    *changed = true;
    return ExitOk;
}

class ProgressLine {
public:
    explicit ProgressLine(std::ostream& out) : out_(out), terminal_(::isatty(STDOUT_FILENO)) {}
    ~ProgressLine() { Finish(); }
    void Show(const std::string& text) {
        if (terminal_) {
            out_ << '\r' << text << "\x1b[K" << std::flush;
            open_ = true;
        } else {
            out_ << text << std::endl;
        }
    }
    void Finish() {
        if (open_) out_ << std::endl;
        open_ = false;
    }

private:
    std::ostream& out_;
    const bool terminal_;
    bool open_ = false;
};

// Keeps the displays registered until stopped: refreshes them every period, and after a
// lost connection (the service restarting) connects again and registers them all at once.
int KeepRegistered(const Options& options, const std::vector<DisplayUpdate>& displays,
                   std::uint32_t periodMs, StopFlag& stop, std::ostream& out, std::ostream& err) {
    ProgressLine progress(out);
    std::unique_ptr<DirectoryClient> client;
    bool everConnected = false;
    std::uint64_t rounds = 0, reconnects = 0;
    while (!stop.IsSet()) {
        if (!client) {
            std::string error;
            if (Failed(
                    DirectoryClient::Connect(SettingsFor(options, false, true), &client, &error))) {
                if (!everConnected) {
                    progress.Finish();
                    err << "error: " << error << '\n';
                    return ExitServiceError;
                }
                progress.Show("waiting for the service at " + ServiceText(options) + " ...");
                stop.WaitFor(ReconnectDelayMs);
                continue;
            }
            if (everConnected) ++reconnects;
            everConnected = true;
        }
        const auto start = Clock::now();
        const Result result = RegisterAll(*client, displays, 8, &stop);
        if (Failed(result)) {
            if (DirectoryClient::IsConnectionFailure(result) || client->IsLost()) {
                client.reset();
                // A service that takes connections but fails every call must not make this
                // a busy loop.
                stop.WaitFor(ReconnectDelayMs / 5);
                continue;
            }
            progress.Finish();
            err << "error: the directory service at " << ServiceText(options)
                << " refused an update: " << DescribeResult(result) << '\n';
            return ExitServiceError;
        }
        if (stop.IsSet()) break;
        ++rounds;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        progress.Show(std::to_string(displays.size()) + " display(s) registered at " +
                      ServiceText(options) + ": round " + std::to_string(rounds) + " took " +
                      std::to_string(ms) + " ms, " + std::to_string(reconnects) + " reconnect(s)");
        if (client->WaitForLoss(periodMs, &stop)) client.reset();
    }
    progress.Finish();
    return ExitOk;
}

}  // namespace

ConnectSettings SettingsFor(const Options& options, bool callbacks, bool keepAlive) {
    ConnectSettings settings;
    settings.host = options.host;
    settings.port = options.servicePort;
    settings.reliable = options.reliable;
    settings.callbacks = callbacks;
    settings.keepAliveIntervalMs = keepAlive ? KeepAliveIntervalMs : 0;
    return settings;
}

std::vector<DisplayUpdate> SimulatedDisplays(const UUID& base, std::uint32_t first,
                                             std::uint32_t count) {
    std::vector<DisplayUpdate> displays;
    displays.reserve(count);
    for (std::uint32_t n = first + 1; n <= first + count; ++n) {
        DisplayUpdate display;
        display.displayId = base;
        for (int i = 0; i < 4; ++i)
            display.displayId.Data4[7 - i] = static_cast<std::uint8_t>(n >> (8 * i));
        display.displayName = "Simulated Display " + std::to_string(n);
        display.secondaryName = "sim-" + std::to_string(n);
        display.address = (10u << 24) | (n & 0xffffff);
        display.port = 5000;
        display.tag = 1;
        display.extra = "simulated";
        displays.push_back(std::move(display));
    }
    return displays;
}

Result RegisterAll(DirectoryClient& client, const std::vector<DisplayUpdate>& displays,
                   unsigned workers, StopFlag* stop) {
    std::atomic<std::size_t> next{0};
    std::atomic<Result> failure{ResultOk};
    const auto work = [&] {
        const auto going = [&] { return Succeeded(failure.load()) && !(stop && stop->IsSet()); };
        for (std::size_t i = next++; i < displays.size() && going(); i = next++) {
            const Result result = client.UpdateDisplay(displays[i]);
            if (Failed(result)) {
                Result expected = ResultOk;
                failure.compare_exchange_strong(expected, result);
            }
        }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(workers, displays.size());
    for (std::size_t i = 1; i < count; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread& thread : threads)
        thread.join();
    return failure.load();
}

int RunRegister(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err) {
    if (options.everyMs != 0) {
        return KeepRegistered(options, {options.display}, options.everyMs, stop, out, err);
    }
    std::unique_ptr<DirectoryClient> client;
    std::string error;
    if (Failed(DirectoryClient::Connect(SettingsFor(options, false, false), &client, &error))) {
        err << "error: " << error << '\n';
        return ExitServiceError;
    }
    const Result result = client->UpdateDisplay(options.display);
    if (Failed(result)) {
        err << "error: the directory service at " << ServiceText(options)
            << " refused the update: " << DescribeResult(result) << '\n';
        return ExitServiceError;
    }
    out << "registered " << options.display.displayId.ToString() << " ("
        << TerminalText(options.display.displayName) << ", " << FormatIpv4(options.display.address)
        << ":" << options.display.port << ")\n";
    return ExitOk;
}

int RunList(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err) {
    std::unique_ptr<DirectoryClient> client;
    std::string error;
    if (Failed(
            DirectoryClient::Connect(SettingsFor(options, true, options.watch), &client, &error))) {
        err << "error: " << error << '\n';
        return ExitServiceError;
    }
    std::uint64_t version = 0;
    std::vector<DisplayRecord> table;
    bool changed = false;
    int code = FetchTable(*client, options, stop, 0, &version, &table, &changed, err);
    if (code != ExitOk || !changed) return code;
    if (options.json) {
        out << FormatJson(table, version, options.extended);
    } else {
        out << FormatTable(table, options.extended) << table.size() << " display(s), version "
            << version << '\n';
    }
    out.flush();

    const std::uint32_t periodMs = options.everyMs != 0 ? options.everyMs : DefaultWatchPeriodMs;
    while (options.watch && !stop.WaitFor(periodMs)) {
        std::uint64_t latest = 0;
        std::vector<DisplayRecord> next;
        code = FetchTable(*client, options, stop, version, &latest, &next, &changed, err);
        if (code != ExitOk) return code;
        if (!changed) continue;
        const TableChanges changes = CompareTables(table, next);
        if (!changes.Empty()) {
            if (options.json) {
                out << FormatChangesJson(changes, latest, options.extended);
            } else {
                out << "version " << latest << ": " << changes.added.size() << " added, "
                    << changes.changed.size() << " changed, " << changes.removed.size()
                    << " removed, " << next.size() << " display(s)\n"
                    << FormatChangesText(changes, options.extended);
            }
            out.flush();
        }
        table = std::move(next);
        version = latest;
    }
    return ExitOk;
}

int RunSimulate(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err) {
    UUID base;
    GetScheduler().NewUuid(&base);
    const auto displays = SimulatedDisplays(base, 0, options.count);
    return KeepRegistered(options, displays,
                          options.everyMs != 0 ? options.everyMs : DefaultSimulatePeriodMs, stop,
                          out, err);
}

int RunCommand(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err) {
    if (options.help) {
        out << CommandUsageText(options.command);
        return ExitOk;
    }
    switch (options.command) {
        case Command::Register:
            return RunRegister(options, stop, out, err);
        case Command::List:
            return RunList(options, stop, out, err);
        case Command::Simulate:
            return RunSimulate(options, stop, out, err);
        case Command::Load:
            return RunLoad(options, stop, out, err);
        case Command::Help:
            break;
    }
    out << UsageText();
    return ExitOk;
}

}  // namespace brondal::corvane::client
