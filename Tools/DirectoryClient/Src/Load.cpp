// The load tool: measures the running service over the client's own connections.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <iomanip>
#include <sstream>
#include <thread>

#include "Commands.h"
#include "Scheduler.h"
#include "Statistics.h"

namespace brondal::corvane::client {

namespace {

using Clock = std::chrono::steady_clock;

// Calls in the first half second of each run are not counted: connections and caches settle.
constexpr std::uint32_t WarmUpMs = 500;
constexpr unsigned RegistrationWorkers = 8;
constexpr int TableRepetitions = 3;
constexpr std::uint32_t TableIdleTimeoutMs = 30000;

std::uint64_t Elapsed(Clock::time_point start) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

std::string Micros(std::uint64_t ns) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << static_cast<double>(ns) / 1000.0 << " us";
    return text.str();
}

std::string Millis(std::uint64_t ns) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << static_cast<double>(ns) / 1e6 << " ms";
    return text.str();
}

std::string Rate(std::uint64_t calls, std::uint64_t ns) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(0)
         << (ns == 0 ? 0.0 : static_cast<double>(calls) * 1e9 / static_cast<double>(ns));
    return text.str();
}

class LoadRun {
public:
    LoadRun(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err)
        : options_(options), stop_(stop), out_(out), err_(err) {
        GetScheduler().NewUuid(&base_);
    }

    int Run() {
        out_ << "Load against " << options_.host << ":" << options_.servicePort
             << (options_.reliable ? " (layered connections)" : "") << ", " << options_.durationMs
             << " ms per measurement\n";
        out_ << "\nUpdateDisplay, one call in flight per display:\n";
        for (unsigned displays : {1u, 10u, 50u}) {
            if (int code = MeasureUpdates(displays); code != ExitOk || stop_.IsSet()) return code;
        }
        std::unique_ptr<DirectoryClient> reader;
        if (!Connect(true, &reader)) return ExitServiceError;
        out_ << "\nWhole table to one client (plain form, known version 0):\n";
        for (std::uint32_t size : options_.tableSizes) {
            if (int code = MeasureTable(*reader, size); code != ExitOk || stop_.IsSet()) {
                return code;
            }
        }
        out_ << "\nVersion checks (known version current, nothing sent):\n";
        for (unsigned clients : {1u, 10u}) {
            if (int code = MeasurePolls(clients); code != ExitOk || stop_.IsSet()) return code;
        }
        out_ << "\nThe " << registered_
             << " displays registered by this run expire from the service within 300 s.\n";
        return ExitOk;
    }

private:
    bool Connect(bool callbacks, std::unique_ptr<DirectoryClient>* client) {
        std::string error;
        if (Failed(DirectoryClient::Connect(SettingsFor(options_, callbacks, false), client,
                                            &error))) {
            err_ << "error: " << error << '\n';
            return false;
        }
        return true;
    }

    int Fail(const char* what, Result result) {
        err_ << "error: " << what << ": " << DescribeResult(result) << '\n';
        return ExitServiceError;
    }

    // Each display has a client (transport and connection) of its own, as a real one would.
    int MeasureUpdates(unsigned displays) {
        std::vector<std::unique_ptr<DirectoryClient>> clients(displays);
        for (auto& client : clients) {
            if (!Connect(false, &client)) return ExitServiceError;
        }
        const auto updates = SimulatedDisplays(base_, registered_, displays);
        registered_ += displays;

        std::vector<std::vector<std::uint64_t>> latencies(displays);
        std::vector<std::uint64_t> calls(displays, 0);
        std::atomic<Result> failure{ResultOk};
        const auto start = Clock::now();
        const auto measureFrom = start + std::chrono::milliseconds(WarmUpMs);
        const auto end = measureFrom + std::chrono::milliseconds(options_.durationMs);
        std::vector<std::thread> threads;
        for (unsigned d = 0; d < displays; ++d) {
            threads.emplace_back([&, d] {
                latencies[d].reserve(200000);
                for (auto now = Clock::now(); now < end && !stop_.IsSet(); now = Clock::now()) {
                    const Result result = clients[d]->UpdateDisplay(updates[d]);
                    if (Failed(result)) {
                        failure.store(result);
                        return;
                    }
                    if (now >= measureFrom) {
                        latencies[d].push_back(Elapsed(now));
                        ++calls[d];
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        if (Failed(failure.load())) return Fail("UpdateDisplay failed", failure.load());

        std::vector<std::uint64_t> all;
        std::uint64_t total = 0;
        for (unsigned d = 0; d < displays; ++d) {
            all.insert(all.end(), latencies[d].begin(), latencies[d].end());
            total += calls[d];
        }
        const LatencySummary summary = Summarize(std::move(all));
        const std::uint64_t measured = std::uint64_t{options_.durationMs} * 1000000;
        out_ << "  " << std::setw(2) << displays << " display(s): " << std::setw(7)
             << Rate(total, measured) << " calls/s, median " << Micros(summary.median) << ", p99 "
             << Micros(summary.p99) << ", max " << Micros(summary.max) << " (" << total
             << " calls)\n"
             << std::flush;
        return ExitOk;
    }

    // Tops the displays of this run up to size, then times whole-table transfers.
    int MeasureTable(DirectoryClient& reader, std::uint32_t size) {
        if (registered_ < size) {
            std::unique_ptr<DirectoryClient> writer;
            if (!Connect(false, &writer)) return ExitServiceError;
            const auto displays = SimulatedDisplays(base_, registered_, size - registered_);
            const auto start = Clock::now();
            const Result result = RegisterAll(*writer, displays, RegistrationWorkers, &stop_);
            if (Failed(result)) return Fail("registering the displays failed", result);
            const std::uint64_t ns = Elapsed(start);
            registered_ = size;
            out_ << "  registered " << displays.size() << " displays in " << Millis(ns) << " ("
                 << Rate(displays.size(), ns) << " calls/s over one connection, "
                 << RegistrationWorkers << " in flight)\n";
        }
        std::vector<std::uint64_t> times;
        std::size_t received = 0;
        for (int repetition = 0; repetition < TableRepetitions && !stop_.IsSet(); ++repetition) {
            std::uint64_t version = 0;
            std::vector<DisplayRecord> table;
            const auto start = Clock::now();
            const Result result = reader.RequestTable(false, 0, &version);
            if (Failed(result)) return Fail("the table request failed", result);
            const auto outcome = reader.WaitForTable(TableIdleTimeoutMs, &stop_, &table);
            if (outcome == DirectoryClient::WaitOutcome::Stopped) return ExitOk;
            if (outcome != DirectoryClient::WaitOutcome::Table) {
                err_ << "error: the table of " << size << " displays did not arrive whole\n";
                return ExitServiceError;
            }
            times.push_back(Elapsed(start));
            received = table.size();
        }
        const LatencySummary summary = Summarize(times);
        out_ << "  table of " << received << " displays: median " << Millis(summary.median)
             << ", best " << Millis(*std::min_element(times.begin(), times.end())) << " over "
             << times.size() << " transfers\n"
             << std::flush;
        return ExitOk;
    }

    int MeasurePolls(unsigned clients) {
        std::vector<std::unique_ptr<DirectoryClient>> pollers(clients);
        std::vector<std::uint64_t> versions(clients, 0);
        for (unsigned c = 0; c < clients; ++c) {
            if (!Connect(true, &pollers[c])) return ExitServiceError;
            // The first request brings the table and the version to poll with.
            std::vector<DisplayRecord> table;
            const Result result = pollers[c]->RequestTable(false, 0, &versions[c]);
            if (Failed(result)) return Fail("the table request failed", result);
            if (pollers[c]->WaitForTable(TableIdleTimeoutMs, &stop_, &table) !=
                DirectoryClient::WaitOutcome::Table) {
                return stop_.IsSet() ? ExitOk : Fail("the table did not arrive", ResultFail);
            }
        }
        std::vector<std::vector<std::uint64_t>> latencies(clients);
        std::vector<std::uint64_t> calls(clients, 0), transfers(clients, 0);
        std::atomic<Result> failure{ResultOk};
        const auto measureFrom = Clock::now() + std::chrono::milliseconds(WarmUpMs);
        const auto end = measureFrom + std::chrono::milliseconds(options_.durationMs);
        std::vector<std::thread> threads;
        for (unsigned c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                latencies[c].reserve(400000);
                for (auto now = Clock::now(); now < end && !stop_.IsSet(); now = Clock::now()) {
                    std::uint64_t version = 0;
                    Result result = pollers[c]->RequestTable(false, versions[c], &version);
                    if (Failed(result)) {
                        failure.store(result);
                        return;
                    }
                    if (now >= measureFrom) {
                        latencies[c].push_back(Elapsed(now));
                        ++calls[c];
                    }
                    if (version != versions[c]) {
                        // The table changed meanwhile (a purge, another client): take the
                        // transfer it caused off the connection and poll the new version.
                        std::vector<DisplayRecord> table;
                        pollers[c]->WaitForTable(TableIdleTimeoutMs, &stop_, &table);
                        versions[c] = version;
                        ++transfers[c];
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        if (Failed(failure.load())) return Fail("a version check failed", failure.load());
        std::vector<std::uint64_t> all;
        std::uint64_t total = 0, changes = 0;
        for (unsigned c = 0; c < clients; ++c) {
            all.insert(all.end(), latencies[c].begin(), latencies[c].end());
            total += calls[c];
            changes += transfers[c];
        }
        const LatencySummary summary = Summarize(std::move(all));
        out_ << "  " << std::setw(2) << clients << " client(s): " << std::setw(7)
             << Rate(total, std::uint64_t{options_.durationMs} * 1000000) << " polls/s, median "
             << Micros(summary.median) << ", p99 " << Micros(summary.p99) << " (" << total
             << " polls";
        if (changes != 0) out_ << ", " << changes << " version change(s) met";
        out_ << ")\n" << std::flush;
        return ExitOk;
    }

    const Options& options_;
    StopFlag& stop_;
    std::ostream& out_;
    std::ostream& err_;
    UUID base_;
    std::uint32_t registered_ = 0;
};

}  // namespace

int RunLoad(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err) {
    if (options.connections != 0) return RunConnectionsLoad(options, stop, out, err);
    return LoadRun(options, stop, out, err).Run();
}

}  // namespace brondal::corvane::client
