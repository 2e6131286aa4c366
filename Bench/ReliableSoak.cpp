// The reliable adapter's promise, soaked: an in-process directory service and clients whose
// layered request and callback connections run through relays that cut the sockets at
// random byte offsets (reset, orderly close or a silent service side; either direction,
// either connection) under a steady load of updates and enumerations. Afterwards every call
// must have been answered, every acknowledged update must be in the table, every batch must
// have arrived exactly once and in order, and no logical connection may have been given up.
//
//   ReliableSoak [--cuts N] [--seed S] [--clients C] [--threads T] [--displays D]
//
// Prints the cuts, the messages each way and the recovery time (from a cut to the next
// message delivered on that connection: median and maximum). Exit code 0 when every check
// held.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CorvaneDirectoryService.h"
#include "DirectoryTestSupport.h"
#include "ILogger.h"
#include "TcpRelay.h"

namespace {

using namespace brondal;
using namespace brondal::testing;
using Clock = std::chrono::steady_clock;
using Relay = TcpRelay;

struct Options {
    int cuts = 1000;
    std::uint32_t seed = 1;
    int clients = 2;
    int threads = 8;
    std::uint32_t displays = 2500;
};

bool Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0) return false;
        if (name == "--cuts") {
            options->cuts = static_cast<int>(value);
        } else if (name == "--seed") {
            options->seed = static_cast<std::uint32_t>(value);
        } else if (name == "--clients") {
            options->clients = static_cast<int>(value);
        } else if (name == "--threads") {
            options->threads = static_cast<int>(value);
        } else if (name == "--displays") {
            options->displays = static_cast<std::uint32_t>(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

// Counts the log lines that mean a logical connection was lost for good.
class GiveUpCounter final : public ILogStore, public IRefCountImpl {
public:
    Result Write(std::uint32_t, std::string_view, std::string_view, std::int64_t, std::uint32_t,
                 std::uint32_t, std::string_view message) override {
        if (message.find("reconnect failed for connection") != std::string_view::npos ||
            message.find("giving up connection") != std::string_view::npos) {
            ++count;
        }
        return ResultOk;
    }
    std::atomic<int> count{0};
};

// What one client's adapter delivers, per logical connection: how many messages and when
// the last one came; and which connections were reported closed.
class DeliveryLog final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    Result OnDataReady(UUID connectionId, UUID, IDataStream*) override {
        std::lock_guard lock(mutex_);
        auto& entry = entries_[connectionId];
        ++entry.count;
        entry.last = Clock::now();
        delivered_.notify_all();
        return ResultOk;
    }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        if (event != ITransport::ConnectionClosed) return ResultOk;
        std::lock_guard lock(mutex_);
        closed_.push_back(connectionId);
        return ResultOk;
    }
    // The time of a delivery on the connection later than after, if one comes in time.
    bool WaitAfter(const UUID& connection, Clock::time_point after, Clock::time_point* when) {
        std::unique_lock lock(mutex_);
        const bool came = delivered_.wait_for(lock, std::chrono::seconds(30),
                                              [&] { return entries_[connection].last > after; });
        *when = entries_[connection].last;
        return came;
    }
    std::uint64_t Count(const UUID& connection) {
        std::lock_guard lock(mutex_);
        return entries_[connection].count;
    }
    std::size_t Closed() {
        std::lock_guard lock(mutex_);
        return closed_.size();
    }

private:
    struct Entry {
        std::uint64_t count = 0;
        Clock::time_point last;
    };
    std::mutex mutex_;
    std::condition_variable delivered_;
    std::map<UUID, Entry> entries_;
    std::vector<UUID> closed_;
};

struct SoakClient {
    SoakClient(std::uint16_t port)
        : requestRelay(port),
          callbackRelay(static_cast<std::uint16_t>(port + 1)),
          client(requestRelay.Port(), callbackRelay.Port(), true) {
        client.transport->AddNotify(log.Get());
    }
    ~SoakClient() { client.transport->RemoveNotify(log.Get()); }

    Relay requestRelay;
    Relay callbackRelay;
    DirectoryClient client;
    RefPtr<DeliveryLog> log = RefPtr<DeliveryLog>::Adopt(new DeliveryLog());
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> failedCalls{0};
    std::atomic<std::uint64_t> enumerations{0};
    std::atomic<std::uint64_t> missingBatches{0};
};

UUID DisplayId(std::uint32_t index) { return UUID(0xd15, 0, 0, index); }

// One writer's share of the displays: updates them in turn, each with a name that says
// which update it was, and remembers the last one acknowledged.
void UpdateLoop(SoakClient& soak, const std::atomic<bool>& stop, std::uint32_t first,
                std::uint32_t count, std::vector<std::string>* acknowledged, int tag) {
    std::uint64_t serial = 0;
    while (!stop) {
        const std::uint32_t index = first + static_cast<std::uint32_t>(serial % count);
        const std::string name = "w" + std::to_string(tag) + "-" + std::to_string(++serial);
        const Result result =
            soak.client.Call(4, UpdateArguments(DisplayId(index), name).Get(), NewStream().Get());
        ++soak.calls;
        if (Succeeded(result)) {
            (*acknowledged)[index] = name;
        } else {
            ++soak.failedCalls;
            std::fprintf(stderr, "update failed: 0x%08x\n", static_cast<unsigned>(result));
        }
    }
}

// One enumeration at a time, each waited for in full before the next.
void EnumerationLoop(SoakClient& soak, const std::atomic<bool>& stop, std::size_t perTable) {
    while (!stop) {
        const std::size_t before = soak.client.receiver->Calls().size();
        std::uint64_t version = 0;
        const Result result = soak.client.RequestTable(false, 0, &version);
        ++soak.calls;
        if (Failed(result)) {
            ++soak.failedCalls;
            std::fprintf(stderr, "enumeration failed: 0x%08x\n", static_cast<unsigned>(result));
            continue;
        }
        ++soak.enumerations;
        bool complete = false;
        for (int i = 0; i < 3 && !complete; ++i)
            complete = soak.client.receiver->WaitCalls(before + perTable);
        if (!complete) ++soak.missingBatches;
    }
}

// The batches form whole tables, one after another: the right flags and counts, and every
// display once, in order.
std::uint64_t BatchErrors(SoakClient& soak, std::uint32_t displays, std::size_t perTable) {
    const auto calls = soak.client.receiver->Calls();
    std::uint64_t errors = calls.size() % perTable == 0 ? 0 : 1;
    std::string previous;
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        RefPtr<IDataStream> stream = NewStream();
        stream->WriteBytes(calls[i].arguments.data(),
                           static_cast<std::uint32_t>(calls[i].arguments.size()));
        const Batch batch = ReadBatch(stream.Get(), false);
        const bool last = i % perTable == perTable - 1;
        if (i % perTable == 0) {
            previous.clear();
            seen = 0;
        }
        if (!batch.fullyRead || batch.last != last || calls[i].connection != soak.client.callback) {
            ++errors;
        }
        for (const auto& entry : batch.entries) {
            const std::string text = entry.displayId.ToString();
            if (text <= previous) ++errors;
            previous = text;
            ++seen;
        }
        if (last && seen != displays) ++errors;
    }
    return errors;
}

const char* Name(Relay::Cut how) {
    return how == Relay::Cut::Reset ? "reset" : how == Relay::Cut::Orderly ? "orderly" : "silent";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: ReliableSoak [--cuts N] [--seed S] [--clients C] [--threads T] "
                     "[--displays D]\n");
        return 2;
    }
    RefPtr<ILogger> logger;
    GetLogger(logger.Receive());
    auto giveUps = RefPtr<GiveUpCounter>::Adopt(new GiveUpCounter());
    logger->AddStore(giveUps.Get());

    const std::uint16_t port = FindFreePortPair();
    auto registry = RefPtr<corvane::server::CorvaneDirectoryService>::Adopt(
        new corvane::server::CorvaneDirectoryService(port, Loopback));
    if (port == 0 || Failed(registry->Initialize())) {
        std::fprintf(stderr, "cannot start the directory service\n");
        return 1;
    }
    for (std::uint32_t i = 0; i < options.displays; ++i)
        registry->UpdateDisplay(DisplayId(i), "initial", "second", i, 1, 1, "");
    std::vector<std::string> acknowledged(options.displays, "initial");
    const std::size_t perTable =
        (options.displays + CorvaneDirectoryService::EnumerationBatchSize - 1) /
        CorvaneDirectoryService::EnumerationBatchSize;

    std::vector<std::unique_ptr<SoakClient>> clients;
    for (int c = 0; c < options.clients; ++c) {
        clients.push_back(std::make_unique<SoakClient>(port));
        if (!clients.back()->client.opened || Failed(clients.back()->client.Subscribe())) {
            std::fprintf(stderr, "client %d cannot connect\n", c);
            return 1;
        }
        ++clients.back()->calls;
    }

    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    const int writers = options.clients * options.threads;
    const std::uint32_t share = std::max<std::uint32_t>(options.displays / writers, 1);
    for (int c = 0; c < options.clients; ++c) {
        for (int t = 0; t < options.threads; ++t) {
            const int w = c * options.threads + t;
            // Every display has a writer (the last takes the rest): one nobody refreshes
            // would be purged after five minutes.
            const std::uint32_t first = std::min<std::uint32_t>(w * share, options.displays - 1);
            const std::uint32_t count = w == writers - 1
                                            ? options.displays - first
                                            : std::min(share, options.displays - first);
            workers.emplace_back(UpdateLoop, std::ref(*clients[c]), std::cref(stop), first, count,
                                 &acknowledged, w);
        }
        workers.emplace_back(EnumerationLoop, std::ref(*clients[c]), std::cref(stop), perTable);
    }

    std::mt19937 random(options.seed);
    std::vector<double> recoveries;
    std::map<std::string, int> kinds;
    int untriggered = 0;
    int unrecovered = 0;
    const auto start = Clock::now();
    for (int i = 0; i < options.cuts; ++i) {
        SoakClient& soak = *clients[random() % clients.size()];
        const bool callback = random() % 2 == 1;
        Relay& relay = callback ? soak.callbackRelay : soak.requestRelay;
        const UUID connection = callback ? soak.client.callback : soak.client.request;
        const auto direction = random() % 2 == 1 ? Relay::Direction::Down : Relay::Direction::Up;
        // Reset, orderly close, or the client's side only (the service's old socket stays
        // open and silent until the client's reconnect hello retires it).
        const Relay::Cut modes[] = {Relay::Cut::Reset, Relay::Cut::Orderly,
                                    Relay::Cut::ClientSideOnly};
        const Relay::Cut how = modes[random() % 3];
        // Only acknowledgements go up the callback connection.
        const std::uint32_t range = callback && direction == Relay::Direction::Up ? 2048 : 65536;
        const std::uint64_t cutsBefore = relay.Cuts();
        const int acceptedBefore = relay.Accepted();
        relay.CutAfter(random() % range, direction, how);
        if (!PollUntil([&] { return relay.Cuts() > cutsBefore; }, std::chrono::seconds(60))) {
            relay.CutAfter(-1);
            ++untriggered;
            continue;
        }
        ++kinds[std::string(callback ? "callback " : "request ") +
                (direction == Relay::Direction::Up ? "up " : "down ") + Name(how)];
        const Clock::time_point cut = relay.LastCut();
        Clock::time_point delivered;
        if (!PollUntil([&] { return relay.Accepted() > acceptedBefore; },
                       std::chrono::seconds(30)) ||
            !soak.log->WaitAfter(connection, cut, &delivered)) {
            ++unrecovered;
            continue;
        }
        recoveries.push_back(std::chrono::duration<double, std::milli>(delivered - cut).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    for (auto& worker : workers)
        worker.join();

    std::uint64_t requests = 0, responses = 0, batches = 0, failed = 0, missing = 0;
    std::uint64_t batchErrors = 0, closed = 0, enumerations = 0, unsubscribed = 0;
    for (auto& soak : clients) {
        requests += soak->calls;
        failed += soak->failedCalls;
        missing += soak->missingBatches;
        enumerations += soak->enumerations;
        responses += soak->log->Count(soak->client.request);
        batches += soak->log->Count(soak->client.callback);
        batchErrors += BatchErrors(*soak, options.displays, perTable);
        closed += soak->log->Closed();
        if (registry->GetSubscription(soak->client.request) != soak->client.callback) {
            ++unsubscribed;
        }
    }
    std::uint64_t lostUpdates = 0;
    for (std::uint32_t i = 0; i < options.displays; ++i) {
        const auto record = registry->GetDisplay(DisplayId(i));
        if (!record || record->displayName != acknowledged[i]) ++lostUpdates;
    }
    std::sort(recoveries.begin(), recoveries.end());
    const double median = recoveries.empty() ? 0 : recoveries[recoveries.size() / 2];
    const double maximum = recoveries.empty() ? 0 : recoveries.back();

    std::printf("cuts: %zu of %d in %.1f s (not triggered %d, not recovered %d)\n",
                recoveries.size(), options.cuts, seconds, untriggered, unrecovered);
    for (const auto& [kind, count] : kinds)
        std::printf("  %-22s %d\n", kind.c_str(), count);
    std::printf(
        "messages: client to service %llu requests; service to client %llu responses, "
        "%llu batches (%llu enumerations)\n",
        static_cast<unsigned long long>(requests), static_cast<unsigned long long>(responses),
        static_cast<unsigned long long>(batches), static_cast<unsigned long long>(enumerations));
    std::printf("recovery, cut to the next delivered message: median %.1f ms, maximum %.1f ms\n",
                median, maximum);
    std::printf(
        "checks: failed or unanswered calls %llu, unanswered responses %lld, missing "
        "batches %llu, batch errors %llu, lost updates %llu, closed connections %llu, "
        "lost subscriptions %llu, given up %d\n",
        static_cast<unsigned long long>(failed),
        static_cast<long long>(requests) - static_cast<long long>(responses),
        static_cast<unsigned long long>(missing), static_cast<unsigned long long>(batchErrors),
        static_cast<unsigned long long>(lostUpdates), static_cast<unsigned long long>(closed),
        static_cast<unsigned long long>(unsubscribed), giveUps->count.load());
    const bool pass = failed == 0 && requests == responses && missing == 0 && batchErrors == 0 &&
                      lostUpdates == 0 && closed == 0 && unsubscribed == 0 && giveUps->count == 0 &&
                      unrecovered == 0 && untriggered == 0;
    std::printf("result: %s\n", pass ? "PASS" : "FAIL");
    clients.clear();
    registry.Reset();
    logger->RemoveStore(giveUps.Get());
    return pass ? 0 : 1;
}
