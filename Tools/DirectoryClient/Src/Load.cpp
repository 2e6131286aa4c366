// The load tool: measures the running service over the client's own connections.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iomanip>
#include <sstream>
#include <thread>

#include "CallDriver.h"
#include "Commands.h"
#include "ReliableTransport.h"
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
// How long the calls still in flight at the end of a measurement may take to come back.
constexpr auto SettleBound = std::chrono::seconds(30);
constexpr std::uint32_t ConnectTimeoutMs = 5000;

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

    // One call in flight on each of `count` connections (one transport, as a gateway for
    // many displays would hold them), driven by the responses themselves (see CallDriver);
    // arguments(i, stream) writes connection i's call.
    Result DriveCalls(unsigned count, std::int32_t method,
                      const std::function<Result(std::size_t, IDataStream*)>& arguments,
                      CallDriver::Figures* figures) {
        RefPtr<ITransport> transport;
        Result result = CreateReliableTransport(0, 0, transport.Receive());
        if (Succeeded(result)) result = transport->Initialize(false, true);
        if (Succeeded(result) && options_.reliable) result = transport->EnableReliableDelivery();
        std::uint32_t address = 0;
        if (Succeeded(result)) result = transport->GetHostByName(options_.host, &address);
        std::vector<UUID> connections(count);
        for (unsigned i = 0; i < count && Succeeded(result); ++i) {
            result = transport->OpenConnection(address, options_.servicePort, &connections[i],
                                               ConnectTimeoutMs);
        }
        RefPtr<CallDriver> driver;
        if (Succeeded(result)) {
            driver = RefPtr<CallDriver>::Adopt(new CallDriver(transport.Get(), connections));
            for (unsigned i = 0; i < count && Succeeded(result); ++i) {
                RefPtr<IDataStream> stream;
                result = NewDataStream(stream.Receive());
                if (Succeeded(result)) result = arguments(i, stream.Get());
                if (Succeeded(result))
                    result = driver->SetCall(i, DirectoryObjectId, method, stream.Get());
            }
        }
        if (Succeeded(result)) result = transport->AddNotify(driver.Get());
        if (Succeeded(result)) {
            result =
                driver->Run(std::chrono::milliseconds(WarmUpMs),
                            std::chrono::milliseconds(options_.durationMs), SettleBound, figures);
            (void)transport->RemoveNotify(driver.Get());
        }
        // Finalised before the driver goes: no delivery reaches it afterwards.
        if (transport) (void)transport->Finalize();
        return result;
    }

    void Print(const char* what, unsigned count, const char* unit,
               const CallDriver::Figures& figures) {
        const LatencySummary summary = Summarize(figures.latencies);
        const std::uint64_t measured = std::uint64_t{options_.durationMs} * 1000000;
        out_ << "  " << std::setw(2) << count << " " << what << ": " << std::setw(7)
             << Rate(figures.calls, measured) << " " << unit << ", median "
             << Micros(summary.median) << ", p99 " << Micros(summary.p99) << ", max "
             << Micros(summary.max) << " (" << figures.calls << " calls)\n"
             << std::flush;
    }

    int MeasureUpdates(unsigned displays) {
        const auto updates = SimulatedDisplays(base_, registered_, displays);
        registered_ += displays;
        CallDriver::Figures figures;
        const Result result = DriveCalls(
            displays, MethodUpdateDisplay,
            [&](std::size_t i, IDataStream* arguments) {
                return EncodeDisplayUpdate(updates[i], arguments);
            },
            &figures);
        if (Failed(result)) return Fail("UpdateDisplay failed", result);
        Print("display(s)", displays, "calls/s", figures);
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

    // The version is read once over a subscribed connection; the polls then name it, and
    // the service answers each from its version alone.
    int MeasurePolls(unsigned clients) {
        std::unique_ptr<DirectoryClient> reader;
        if (!Connect(true, &reader)) return ExitServiceError;
        std::uint64_t version = 0;
        std::vector<DisplayRecord> table;
        Result result = reader->RequestTable(false, 0, &version);
        if (Failed(result)) return Fail("the table request failed", result);
        if (reader->WaitForTable(TableIdleTimeoutMs, &stop_, &table) !=
            DirectoryClient::WaitOutcome::Table) {
            return stop_.IsSet() ? ExitOk : Fail("the table did not arrive", ResultFail);
        }
        CallDriver::Figures figures;
        result = DriveCalls(
            clients, MethodRequestEnumeration,
            [&](std::size_t, IDataStream* arguments) {
                return EncodeEnumerationRequest(false, version, arguments);
            },
            &figures);
        // A poll of a version the table has left is refused on a connection that never
        // subscribed: the table changed under the measurement (a purge, another client).
        if (Failed(result)) return Fail("a version check failed (did the table change?)", result);
        Print("client(s)", clients, "polls/s", figures);
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
