#include "CorvaneDirectoryService.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "CatchFrame.h"
#include "DirectoryServiceStubImpl.h"
#include "DisplayBatchWriter.h"
#include "DisplayEnumeration.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "ProcessStatistics.h"
#include "ReliableTransport.h"

namespace brondal::corvane::server {

namespace {

// The scheduler clock the table's times and the version are taken from.
std::uint64_t ClockNow() { return static_cast<std::uint64_t>(GetScheduler().GetTimeMs()); }
// The monotonic clock the displays' ages are measured on.
std::uint64_t TickNow() { return static_cast<std::uint64_t>(GetScheduler().GetTickCount64()); }

// The statistics line prints every value with %d; a value beyond its range shows as the
// largest one rather than wrapping to a negative number.
int ForPrint(std::uint64_t value) {
    return static_cast<int>(std::min<std::uint64_t>(
        value, static_cast<std::uint64_t>(std::numeric_limits<int>::max())));
}

// The UUID text of a display, the key of its record, without an allocation.
struct DisplayKey {
    explicit DisplayKey(const UUID& id) {
        id.ToChars(text);
        text[UUID::TextLength] = '\0';
    }
    std::string_view View() const { return {text, UUID::TextLength}; }
    char text[UUID::TextLength + 1];
};

// The registry's listener on its transports. Transports call their listeners through
// references they take for the call; this object takes those instead of the registry.
class TransportListener final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    explicit TransportListener(RegistryLink* registry) : registry_(registry) {}
    Result OnDataReady(UUID, UUID, IDataStream*) override { return ResultOk; }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        RegistryLink::Access registry(*registry_);
        return registry ? registry->OnEvent(connectionId, event) : ResultOk;
    }

private:
    ~TransportListener() override = default;
    const RefPtr<RegistryLink> registry_;
};

}  // namespace

// Reports a failed network step of Initialize, as a failure report of the function it is
// in, and keeps its message as the reason.
#define INITIALIZE_FAILED(result, message, port)           \
    (RecordInitializeFailure((result), (message), (port)), \
     LOG_REPORT_ERROR((result), "%s", (message)))

CorvaneDirectoryService::CorvaneDirectoryService(std::uint16_t port, std::uint32_t bindAddress)
    : port_(port),
      bindAddress_(bindAddress),
      link_(RefPtr<RegistryLink>::Adopt(new RegistryLink(this))) {
    CATCH_FRAME_BEGIN
    transportListener_ =
        RefPtr<ITransport::ITransportNotify>::Adopt(new TransportListener(link_.Get()));
    tableLock_ = GetScheduler().CreateMutex();
    LOG_INFO("Directory service created");
    CATCH_FRAME_END
}

CorvaneDirectoryService::~CorvaneDirectoryService() {
    // The catch frame spelled out: an exception cannot leave a destructor, so after the
    // crash-log entry the process ends, as the frame's rethrow would end it.
    try {
        // First, so that no pass runs against what follows; the pass in progress completes.
        Stop();
        // Then no request or connection event reaches this object any more; those under
        // way complete first.
        link_->Close();
        ShutdownNetwork();
        tableLock_.reset();
        displays_ = DisplayTable();
    } catch (...) {
        RecordEscapingException(__PRETTY_FUNCTION__, __FILE__, __LINE__);
        std::terminate();
    }
}

Result CorvaneDirectoryService::Initialize() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*tableLock_);
    if (initialized_.load())
        return LOG_REPORT_ERROR(ResultAlreadyInitialized, "Already initialized");
    LOG_INFO("Initialization started");
    initializeFailure_.clear();
    if (const Result result = InitializeNetwork(); Failed(result)) return result;
    // Start only waits until the thread runs, not for a pass, so holding tableLock here
    // cannot deadlock with a pass that wants it.
    Start(Scheduler::Infinite);
    LOG_INFO("Directory service initialization completed");
    return ResultOk;
    CATCH_FRAME_END
}

void CorvaneDirectoryService::AdvanceVersion() {
    // Clients skip the transfer when their version equals this one, so two changes must
    // never share a value: a second change within the same millisecond, or after the clock
    // was set back, takes the next value instead of the clock's. The clock is read here,
    // under the lock, rather than taken from the record, so that updates racing to the
    // lock cannot set it backwards either.
    const std::uint64_t now = ClockNow();
    const std::uint64_t previous = directoryVersion_.load();
    directoryVersion_.store(now > previous ? now : previous + 1);
}

Result CorvaneDirectoryService::InitializeNetwork() {
    const auto callbackPort = static_cast<std::uint16_t>(port_ + 1);
    Result result = CreateReliableTransport(bindAddress_, port_, transport_.Receive());
    if (Failed(result) || !transport_) {
        return INITIALIZE_FAILED(ResultFail, "Unable to create transport", port_);
    }
    // Both listeners accept only once the stub is registered (at the end): a client that
    // connected earlier would have its first request refused as for an unknown object.
    // Until then connections wait in the backlog.
    result = transport_->Initialize(false, false);
    if (Failed(result)) return INITIALIZE_FAILED(result, "Unable to initialize transport", port_);
    (void)transport_->SetIdleConnectionPurgeEnabled(true);

    if (Failed(CreateRpc(rpc_.Receive())) || !rpc_) {
        return INITIALIZE_FAILED(ResultFail, "Unable to create RPC", 0);
    }
    result = rpc_->Initialize(transport_.Get(), 0);
    if (Failed(result)) return INITIALIZE_FAILED(result, "Unable to initialize RPC", 0);
    (void)transport_->AddNotify(transportListener_.Get());

    result = CreateReliableTransport(bindAddress_, callbackPort, callbackTransport_.Receive());
    if (Failed(result) || !callbackTransport_) {
        return INITIALIZE_FAILED(ResultFail, "Unable to create callback transport", callbackPort);
    }
    result = callbackTransport_->Initialize(true, false);
    if (Failed(result)) {
        return INITIALIZE_FAILED(result, "Unable to initialize callback transport", callbackPort);
    }
    // After Initialize, and the full value: the plain TCP transport takes the value as it
    // is and ignores it before Initialize, and a few milliseconds would fail the writes of
    // large batches to any client that is a little slow to read.
    (void)callbackTransport_->SetWriteTimeout(CallbackWriteTimeoutMs);
    (void)callbackTransport_->SetIdleConnectionPurgeEnabled(true);
    (void)callbackTransport_->AddNotify(transportListener_.Get());

    if (Failed(CreateRpc(callbackRpc_.Receive())) || !callbackRpc_) {
        return INITIALIZE_FAILED(ResultFail, "Unable to create callbacks RPC", 0);
    }
    result = callbackRpc_->Initialize(callbackTransport_.Get(), 0);
    if (Failed(result)) return INITIALIZE_FAILED(result, "Unable to initialize callbacks RPC", 0);

    callbackThread_ = RefPtr<RpcCallbackThread>::Adopt(new RpcCallbackThread(callbackRpc_.Get()));
    result = callbackThread_->Initialize();
    if (Failed(result)) return INITIALIZE_FAILED(result, "Unable to RPC callback thread", 0);

    const auto stub =
        RefPtr<DirectoryServiceStubImpl>::Adopt(new DirectoryServiceStubImpl(link_.Get()));
    (void)rpc_->AddStub(DirectoryObjectId, stub.Get());
    // Initialised before the listeners accept: a client that was waiting in the backlog
    // (one reconnecting to a restarted service) sends its first request at once, and it
    // must not be refused as made to a service not yet initialised.
    initialized_.store(true);
    result = transport_->SetEnabled(true);
    if (Succeeded(result)) result = callbackTransport_->SetEnabled(true);
    if (Failed(result)) {
        initialized_.store(false);
        return INITIALIZE_FAILED(result, "Unable to enable the listeners", port_);
    }
    return ResultOk;
}

void CorvaneDirectoryService::RecordInitializeFailure(Result result, const char* message,
                                                      std::uint16_t port) {
    initializeFailure_ = message;
    if (port != 0) initializeFailure_ += " on port " + std::to_string(port);
    char code[32];
    std::snprintf(code, sizeof code, " (result 0x%x)", static_cast<unsigned>(result));
    initializeFailure_ += code;
}

std::string CorvaneDirectoryService::GetInitializeFailure() {
    MutexGuard lock(*tableLock_);
    return initializeFailure_;
}

void CorvaneDirectoryService::ShutdownNetwork() {
    // The engines are unregistered from their transports before they go: an engine does
    // not do that itself when it is destroyed, and a transport that outlives it (held by
    // one of its own connections or threads for a moment) would call it after it is freed.
    if (rpc_) (void)rpc_->Finalize();
    if (transport_) (void)transport_->RemoveNotify(transportListener_.Get());
    if (callbackTransport_) (void)callbackTransport_->RemoveNotify(transportListener_.Get());
    subscribersByCallback_.clear();
    subscribers_.clear();
    // The engines hold their transports and the callback thread its engine, so each of
    // these ends when the last holder lets go; the request engine takes the stub with it.
    callbackTransport_.Reset();
    // Stops the callback thread, the only user of the callback engine.
    callbackThread_.Reset();
    if (callbackRpc_) (void)callbackRpc_->Finalize();
    callbackRpc_.Reset();
    transport_.Reset();
    rpc_.Reset();
}

Result CorvaneDirectoryService::AddNotify(UUID requestConnection, UUID callbackConnection,
                                          const UUID& /*objectId*/) {
    CATCH_FRAME_BEGIN
    if (!initialized_.load()) return ResultNotInitialized;
    {
        MutexGuard lock(*tableLock_);
        // A second subscription of the same request connection changes nothing: the first
        // pairing stays, and the callback connection it names is not registered either,
        // since nothing would ever be sent to it nor end its registration.
        if (subscribers_.try_emplace(requestConnection, callbackConnection).second &&
            subscribersByCallback_.try_emplace(callbackConnection, requestConnection).second) {
            (void)callbackThread_->AddConnection(callbackConnection);
        }
    }
    return LOG_REPORT(ResultOk);
    CATCH_FRAME_END
}

Result CorvaneDirectoryService::RemoveNotify(UUID requestConnection) {
    CATCH_FRAME_BEGIN
    if (!initialized_.load()) return ResultNotInitialized;
    {
        MutexGuard lock(*tableLock_);
        const auto found = subscribers_.find(requestConnection);
        if (found != subscribers_.end()) {
            // Only the pairing that registered the callback connection removes it: a client
            // that named another client's callback connection must not end that one's
            // deliveries when it goes.
            const auto back = subscribersByCallback_.find(found->second);
            if (back != subscribersByCallback_.end() && back->second == requestConnection) {
                (void)callbackThread_->RemoveConnection(found->second);
                subscribersByCallback_.erase(back);
            }
            subscribers_.erase(found);
        }
    }
    return LOG_REPORT(ResultOk);
    CATCH_FRAME_END
}

Result CorvaneDirectoryService::OnEvent(UUID connectionId, std::int32_t event) {
    CATCH_FRAME_BEGIN
    if (event != ITransport::ConnectionClosed) return ResultOk;
    // Re-entrant: RemoveNotify takes the lock again.
    MutexGuard lock(*tableLock_);
    if (subscribers_.count(connectionId) != 0) {
        (void)RemoveNotify(connectionId);
    } else if (const auto found = subscribersByCallback_.find(connectionId);
               found != subscribersByCallback_.end()) {
        (void)RemoveNotify(found->second);
    }
    return ResultOk;
    CATCH_FRAME_END
}

Result CorvaneDirectoryService::RequestDisplayEnumeration(UUID requestConnection, bool extended,
                                                          std::uint64_t knownVersion,
                                                          std::uint64_t* version) {
    CATCH_FRAME_BEGIN
    if (!initialized_.load()) return ResultNotInitialized;
    if (version == nullptr) return ResultNullPointer;
    // The common poll of an up-to-date client costs this one read.
    if (knownVersion != 0 && knownVersion == directoryVersion_.load()) {
        *version = knownVersion;
        return LOG_REPORT(ResultOk);
    }
    std::uint64_t sent = 0;
    {
        MutexGuard lock(*tableLock_);
        const auto found = subscribers_.find(requestConnection);
        if (found == subscribers_.end()) return ResultFail;
        // Read under the lock, so that it is the version of exactly the table queued: a
        // change since the read above would otherwise send this client the table again.
        sent = directoryVersion_.load();
        if (const Result result = QueueTable(found->second, extended); Failed(result)) {
            lock.Unlock();
            return LOG_REPORT_ERROR(result, "Unable to queue the display table");
        }
        ++enumerationCount_;
    }
    *version = sent;
    return LOG_REPORT(ResultOk);
    CATCH_FRAME_END
}

Result CorvaneDirectoryService::QueueTable(const UUID& callbackConnection, bool extended) {
    // The snapshot is taken under the lock, so that the batches show one state of the table
    // and the version returned is exactly its version; it costs a reference per leaf. The
    // batches are made later on the callback thread, one per turn (see DisplayEnumeration),
    // so a table of any size arrives whole and holding it costs a slow subscriber nothing
    // per batch. One-way calls write nothing into their reply, so the batches share one.
    RefPtr<IDataStream> reply;
    if (const Result result = NewDataStream(reply.Receive()); Failed(result)) return result;
    auto enumeration = RefPtr<DisplayEnumeration>::Adopt(new DisplayEnumeration(
        displays_.TakeSnapshot(), extended, EnumerationBatchSize, EnumerationBatchMaxBytes));
    const Result result = callbackThread_->CallBackSequence(
        callbackConnection, DirectoryObjectId, DisplayBatchMethod, enumeration.Get(), reply.Get());
    if (Failed(result)) {
        // The subscriber has as many tables waiting as it may: it gets this one not at all
        // (and no version, so it does not take itself for current) rather than in part.
        LOG_SEVERE(
            "Unable to queue the display table for callback connection %s: it has "
            "%zu tables waiting",
            callbackConnection.ToString().c_str(), RpcCallbackThread::MaxQueuedSequences);
    }
    return result;
}

Result CorvaneDirectoryService::UpdateDisplay(const UUID& displayId, std::string displayName,
                                              std::string secondaryName, std::uint32_t address,
                                              std::uint16_t port, std::uint32_t tag,
                                              std::string extra) {
    CATCH_FRAME_BEGIN
    if (!initialized_.load()) return ResultNotInitialized;

    // The record is built, and the line formatted, before taking tableLock: every display
    // calls here periodically and the lock serialises them all.
    auto record =
        std::make_shared<DisplayRecord>(DisplayRecord{.displayId = displayId,
                                                      .secondaryName = std::move(secondaryName),
                                                      .displayName = std::move(displayName),
                                                      .address = address,
                                                      .port = port,
                                                      .tag = tag,
                                                      .extra = std::move(extra),
                                                      .lastUpdateTime = ClockNow(),
                                                      .lastUpdateTick = TickNow()});
    // The identifier's text is made only when the line is written.
    LOG_SPEW(2, "Display Updated - %s %s %x %d", DisplayKey(displayId).text,
             record->displayName.c_str(), address, port);
    {
        MutexGuard lock(*tableLock_);
        if (displays_.Update(record)) AdvanceVersion();
        ++updateCount_;
    }
    // What the update displaced (or the unneeded new record) is freed after the lock.
    record.reset();
    return LOG_REPORT(ResultOk);
    CATCH_FRAME_END
}

bool CorvaneDirectoryService::ThreadFunc() {
    CATCH_FRAME_BEGIN
    if (++passCounter_ > PurgePassCount) {
        passCounter_ = 0;
        PurgeStaleDisplays();
    }
    const std::uint64_t now = ClockNow();
    if (!statisticsTimeSet_) {
        statisticsTimeSet_ = true;
        lastStatisticsTime_ = now;
    }
    if (now - lastStatisticsTime_ > StatisticsIntervalMs) {
        lastStatisticsTime_ = now;
        WriteStatistics();
    }
    GetScheduler().Sleep(PassSleepMs);
    return true;
    CATCH_FRAME_END
}

void CorvaneDirectoryService::PurgeStaleDisplays() {
    // Stale records are taken out under the lock and logged (and freed) after it, so that
    // a scan that purges a large table blocks updates only for the scan itself.
    std::vector<std::shared_ptr<DisplayRecord>> purged;
    std::uint64_t now = 0;
    {
        MutexGuard lock(*tableLock_);
        now = ClockNow();
        // Ages on the monotonic clock: a wall clock set back (an NTP correction) or forward
        // must not make every display look stale at once. A stamp taken a moment after
        // this reading (an update racing to the lock) counts as age 0.
        const std::uint64_t tick = TickNow();
        displays_.RemoveIf(
            [&](const DisplayRecord& record) {
                return tick > record.lastUpdateTick && tick - record.lastUpdateTick > StaleAfterMs;
            },
            [&](std::shared_ptr<DisplayRecord>& record) { purged.push_back(std::move(record)); });
        if (!purged.empty()) {
            AdvanceVersion();
            purgeCount_ += static_cast<std::uint32_t>(purged.size());
        }
    }
    for (const auto& r : purged) {
        const DisplayKey key(r->displayId);
        LOG_INFO("Purged - %s %s %x %d (curTime = %llu  lastUpdateTime = %llu)", key.text,
                 r->displayName.c_str(), r->address, r->port, static_cast<unsigned long long>(now),
                 static_cast<unsigned long long>(r->lastUpdateTime));
    }
}

void CorvaneDirectoryService::WriteStatistics() {
    std::size_t displayCount = 0;
    Counters counters;
    {
        // Read and zeroed in one hold, so that no update between the two is lost.
        MutexGuard lock(*tableLock_);
        displayCount = displays_.Size();
        counters = {enumerationCount_, updateCount_, purgeCount_};
        enumerationCount_ = 0;
        updateCount_ = 0;
        purgeCount_ = 0;
    }
    std::uint32_t callbackConnections = 0;
    std::uint32_t queuedCallbacks = 0;
    GetCallbackStats(&callbackConnections, &queuedCallbacks);
    const int cpu = cpuMeter_.Sample();
    const int threads = ReadProcessThreadCount().value_or(-1);
    const int descriptors = ReadOpenFileDescriptorCount().value_or(-1);
    const std::optional<std::uint64_t> resident = ReadResidentSetBytes();
    LOG_INFO("CDS_STATS, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d,", ForPrint(displayCount),
             ForPrint(counters.enumerationCount), ForPrint(counters.updateCount),
             ForPrint(counters.purgeCount), ForPrint(callbackConnections),
             ForPrint(queuedCallbacks), cpu, threads, descriptors,
             resident ? ForPrint(*resident) : -1);
    if (occupancyListener_) occupancyListener_(GetOccupancy());
}

CorvaneDirectoryService::Occupancy CorvaneDirectoryService::GetOccupancy() {
    Occupancy occupancy;
    {
        MutexGuard lock(*tableLock_);
        occupancy.displays = displays_.Size();
        occupancy.subscribers = subscribers_.size();
    }
    // The transports are set before the maintenance thread starts and released after it
    // stopped; asked outside the lock, since they are other components.
    for (ITransport* transport : {transport_.Get(), callbackTransport_.Get()}) {
        std::uint32_t connections = 0;
        if (transport && Succeeded(transport->GetStatistics(&connections))) {
            occupancy.connections += connections;
        }
    }
    return occupancy;
}

std::size_t CorvaneDirectoryService::GetDisplayCount() {
    MutexGuard lock(*tableLock_);
    return displays_.Size();
}

std::optional<DisplayRecord> CorvaneDirectoryService::GetDisplay(const UUID& displayId) {
    MutexGuard lock(*tableLock_);
    const DisplayRecord* found = displays_.Find(displayId);
    if (found == nullptr) return std::nullopt;
    return *found;
}

CorvaneDirectoryService::Counters CorvaneDirectoryService::GetCounters() {
    MutexGuard lock(*tableLock_);
    return {enumerationCount_, updateCount_, purgeCount_};
}

std::optional<UUID> CorvaneDirectoryService::GetSubscription(const UUID& requestConnection) {
    MutexGuard lock(*tableLock_);
    const auto found = subscribers_.find(requestConnection);
    if (found == subscribers_.end()) return std::nullopt;
    return found->second;
}

void CorvaneDirectoryService::GetCallbackStats(std::uint32_t* connections, std::uint32_t* queued) {
    // The callback thread is set before the maintenance thread starts and released after
    // it stopped, so its readers need no lock.
    *connections = 0;
    *queued = 0;
    if (callbackThread_) (void)callbackThread_->GetStats(connections, queued);
}

}  // namespace brondal::corvane::server
