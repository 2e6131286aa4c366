// The load tool's connections mode: many displays, each on a connection of its own,
// refreshing steadily, beside polling subscribers; what that costs the service.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "Commands.h"
#include "DirectoryClient.h"
#include "IDataStream.h"
#include "IRpc.h"
#include "ProcessLimits.h"
#include "ProcessStatistics.h"
#include "ReliableTransport.h"
#include "Scheduler.h"
#include "Statistics.h"

namespace brondal::corvane::client {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t DefaultRefreshMs = 10000;
constexpr std::uint32_t ReportEveryMs = 10000;
constexpr std::uint32_t PollEveryMs = 1000;
constexpr std::uint32_t ConnectTimeoutMs = 10000;
// Threads that make the displays' calls: enough that a call waiting for its answer does not
// hold up the others' schedule.
constexpr unsigned CallWorkers = 32;

// The unit of /proc's processor times. Windows has no /proc: there the samples stay
// empty and the figure only keeps the division defined.
double ClockTicksPerSecond() {
#ifdef _WIN32
    return 100.0;
#else
    return static_cast<double>(sysconf(_SC_CLK_TCK));
#endif
}

// What /proc says of the service's process, for the report.
struct ProcessSample {
    std::int32_t threads = -1;
    std::uint64_t residentBytes = 0;
    std::uint64_t cpuTicks = 0;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

ProcessSample SampleProcess(std::uint32_t pid) {
    ProcessSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string status = ReadFile(base + "/status");
    sample.threads = ParseStatusThreads(status).value_or(-1);
    sample.residentBytes = ParseStatusResidentBytes(status).value_or(0);
    // utime and stime are fields 14 and 15, counted after the command's closing parenthesis.
    const std::string stat = ReadFile(base + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end != std::string::npos) {
        std::istringstream fields(stat.substr(end + 2));
        std::string field;
        std::uint64_t utime = 0;
        std::uint64_t stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        sample.cpuTicks = utime + stime;
    }
    return sample;
}

std::string Micros(std::uint64_t ns) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(0) << static_cast<double>(ns) / 1000.0 << " us";
    return text.str();
}

class ConnectionsRun {
public:
    ConnectionsRun(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err)
        : options_(options),
          stop_(stop),
          out_(out),
          err_(err),
          refreshMs_(options.everyMs != 0 ? options.everyMs : DefaultRefreshMs) {
        GetScheduler().NewUuid(&base_);
    }

    int Run() {
        out_ << "Connections against " << options_.host << ":" << options_.servicePort
             << (options_.reliable ? " (layered)" : "") << ": " << options_.connections
             << " displays refreshing every " << refreshMs_ / 1000.0 << " s, "
             << options_.subscribers << " subscribers, for " << options_.durationMs / 1000
             << " s\n";
        // Every display connection is a descriptor of this process too.
        RaiseOpenFileLimit();
        if (!Open()) return ExitServiceError;
        out_ << "  opened " << connections_.size() << " connections in " << Millis(openNs_) << "\n";
        Report("connected");
        if (options_.burst != 0 && !Burst()) return ExitServiceError;
        std::vector<std::unique_ptr<DirectoryClient>> subscribers;
        for (std::uint32_t i = 0; i < options_.subscribers; ++i) {
            std::string error;
            ConnectSettings settings{options_.host, options_.servicePort, options_.reliable, true};
            if (Failed(DirectoryClient::Connect(settings, &subscribers.emplace_back(), &error))) {
                err_ << "error: " << error << '\n';
                return ExitServiceError;
            }
        }
        return Steady(subscribers);
    }

private:
    static std::string Millis(std::uint64_t ns) {
        std::ostringstream text;
        text << std::fixed << std::setprecision(1) << static_cast<double>(ns) / 1e6 << " ms";
        return text.str();
    }

    // One transport and one engine for every display connection, as a gateway for many
    // displays would hold them: each connection costs a socket and its reader.
    bool Open() {
        Result result = CreateReliableTransport(0, 0, transport_.Receive());
        if (Succeeded(result)) result = transport_->Initialize(false, true);
        if (Succeeded(result) && options_.reliable) result = transport_->EnableReliableDelivery();
        if (Succeeded(result)) result = CreateRpc(rpc_.Receive());
        if (Succeeded(result)) result = rpc_->Initialize(transport_.Get(), 0);
        if (Succeeded(result)) result = transport_->GetHostByName(options_.host, &address_);
        if (Failed(result)) {
            err_ << "error: cannot set up the client: " << DescribeResult(result) << '\n';
            return false;
        }
        connections_.resize(options_.connections);
        displays_ = SimulatedDisplays(base_, 0, options_.connections);
        std::atomic<Result> failure{ResultOk};
        std::atomic<std::uint32_t> next{0};
        const auto start = Clock::now();
        std::vector<std::thread> openers;
        for (unsigned w = 0; w < std::min<unsigned>(8, options_.connections); ++w) {
            openers.emplace_back([&] {
                for (std::uint32_t i = next++; i < options_.connections && !stop_.IsSet();
                     i = next++) {
                    const Result opened = transport_->OpenConnection(
                        address_, options_.servicePort, &connections_[i], ConnectTimeoutMs);
                    if (Failed(opened)) {
                        failure.store(opened);
                        return;
                    }
                }
            });
        }
        for (auto& opener : openers)
            opener.join();
        openNs_ = static_cast<std::uint64_t>((Clock::now() - start).count());
        if (Failed(failure.load())) {
            err_ << "error: opening a display connection failed after " << next.load() << ": "
                 << DescribeResult(failure.load()) << '\n';
            return false;
        }
        return !stop_.IsSet();
    }

    Result Update(const UUID& connection, const DisplayUpdate& display) {
        RefPtr<IDataStream> arguments;
        RefPtr<IDataStream> reply;
        Result result = NewDataStream(arguments.Receive());
        if (Succeeded(result)) result = NewDataStream(reply.Receive());
        if (Succeeded(result)) result = EncodeDisplayUpdate(display, arguments.Get());
        if (Succeeded(result)) {
            result = rpc_->Execute(connection, DirectoryObjectId, MethodUpdateDisplay,
                                   arguments.Get(), reply.Get(), CallTimeoutMs);
        }
        return result;
    }

    // Every connection registers its share of `burst` further displays, all at once.
    bool Burst() {
        const auto displays = SimulatedDisplays(base_, options_.connections, options_.burst);
        std::atomic<std::uint32_t> next{0};
        std::atomic<std::uint32_t> failed{0};
        const auto start = Clock::now();
        std::vector<std::thread> workers;
        const unsigned count = std::min<unsigned>(256, options_.connections);
        for (unsigned w = 0; w < count; ++w) {
            workers.emplace_back([&, w] {
                for (std::uint32_t i = next++; i < displays.size() && !stop_.IsSet(); i = next++) {
                    const UUID& connection = connections_[(i + w) % connections_.size()];
                    if (Failed(Update(connection, displays[i]))) ++failed;
                }
            });
        }
        for (auto& worker : workers)
            worker.join();
        const auto ns = static_cast<std::uint64_t>((Clock::now() - start).count());
        out_ << "  burst: " << displays.size() << " displays registered at once over "
             << connections_.size() << " connections (" << count << " calls in flight) in "
             << Millis(ns) << ", " << failed.load() << " failed\n";
        return failed.load() == 0;
    }

    int Steady(std::vector<std::unique_ptr<DirectoryClient>>& subscribers) {
        std::atomic<std::uint64_t> calls{0};
        std::atomic<std::uint64_t> failedCalls{0};
        std::atomic<std::uint64_t> tables{0};
        std::mutex latencyLock;
        std::vector<std::uint64_t> latencies;
        const auto start = Clock::now();
        const auto end = start + std::chrono::milliseconds(options_.durationMs);
        std::vector<std::thread> threads;
        const unsigned workers = std::min<unsigned>(CallWorkers, options_.connections);
        for (unsigned w = 0; w < workers; ++w) {
            threads.emplace_back([&, w] {
                std::vector<std::uint64_t> mine;
                // Connection i is due at start + i * refresh / n, then every refresh.
                auto dueAt = [&](std::uint64_t round, std::uint32_t i) {
                    return start + std::chrono::milliseconds(round * refreshMs_ +
                                                             std::uint64_t{i} * refreshMs_ /
                                                                 connections_.size());
                };
                for (std::uint64_t round = 0; !stop_.IsSet(); ++round) {
                    for (std::uint32_t i = w; i < connections_.size() && !stop_.IsSet();
                         i += workers) {
                        const auto due = dueAt(round, i);
                        if (due >= end) break;
                        std::this_thread::sleep_until(due);
                        const auto before = Clock::now();
                        const Result result = Update(connections_[i], displays_[i]);
                        mine.push_back(static_cast<std::uint64_t>((Clock::now() - before).count()));
                        ++calls;
                        if (Failed(result)) ++failedCalls;
                    }
                    if (dueAt(round + 1, w) >= end) break;
                }
                std::lock_guard lock(latencyLock);
                latencies.insert(latencies.end(), mine.begin(), mine.end());
            });
        }
        for (std::size_t s = 0; s < subscribers.size(); ++s) {
            threads.emplace_back([&, s] {
                std::uint64_t version = 0;
                while (!stop_.IsSet() && Clock::now() < end) {
                    std::uint64_t current = 0;
                    if (Failed(subscribers[s]->RequestTable(false, version, &current))) {
                        ++failedCalls;
                    } else if (current != version) {
                        std::vector<DisplayRecord> table;
                        if (subscribers[s]->WaitForTable(30000, &stop_, &table) ==
                            DirectoryClient::WaitOutcome::Table) {
                            ++tables;
                        }
                        version = current;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(PollEveryMs));
                }
            });
        }
        // Reports while the run goes on.
        for (auto next = start + std::chrono::milliseconds(ReportEveryMs);
             next < end && !stop_.IsSet(); next += std::chrono::milliseconds(ReportEveryMs)) {
            while (Clock::now() < next && !stop_.IsSet())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::ostringstream what;
            what << calls.load() << " calls, " << failedCalls.load() << " failed, " << tables.load()
                 << " tables";
            Report(what.str());
        }
        for (auto& thread : threads)
            thread.join();
        const LatencySummary summary = Summarize(std::move(latencies));
        out_ << "  steady: " << calls.load() << " UpdateDisplay calls, " << failedCalls.load()
             << " failed; median " << Micros(summary.median) << ", p99 " << Micros(summary.p99)
             << ", max " << Micros(summary.max) << "; " << tables.load()
             << " tables to subscribers\n";
        return failedCalls.load() == 0 ? ExitOk : ExitServiceError;
    }

    // The service's threads, resident memory and processor share since the last report.
    void Report(const std::string& what) {
        out_ << "  [" << std::setw(4)
             << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began_).count()
             << " s] " << what;
        if (options_.pid != 0) {
            const ProcessSample sample = SampleProcess(options_.pid);
            const auto now = Clock::now();
            const double seconds = std::chrono::duration<double>(now - lastSampleAt_).count();
            const double cpu = seconds > 0 ? static_cast<double>(sample.cpuTicks - lastCpuTicks_) /
                                                 ClockTicksPerSecond() / seconds * 100.0
                                           : 0.0;
            out_ << "; service: " << sample.threads << " threads, "
                 << sample.residentBytes / (1024 * 1024) << " MiB resident, " << std::fixed
                 << std::setprecision(0) << cpu << "% CPU";
            lastCpuTicks_ = sample.cpuTicks;
            lastSampleAt_ = now;
        }
        out_ << '\n' << std::flush;
    }

    const Options& options_;
    StopFlag& stop_;
    std::ostream& out_;
    std::ostream& err_;
    const std::uint32_t refreshMs_;
    UUID base_;
    RefPtr<ITransport> transport_;
    RefPtr<IRpc> rpc_;
    std::uint32_t address_ = 0;
    std::vector<UUID> connections_;
    std::vector<DisplayUpdate> displays_;
    std::uint64_t openNs_ = 0;
    const Clock::time_point began_ = Clock::now();
    Clock::time_point lastSampleAt_ = Clock::now();
    std::uint64_t lastCpuTicks_ = 0;
};

}  // namespace

int RunConnectionsLoad(const Options& options, StopFlag& stop, std::ostream& out,
                       std::ostream& err) {
    return ConnectionsRun(options, stop, out, err).Run();
}

}  // namespace brondal::corvane::client
