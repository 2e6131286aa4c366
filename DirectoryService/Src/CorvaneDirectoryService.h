#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "CpuUsageMeter.h"
#include "DirectoryProtocol.h"
#include "DisplayRecord.h"
#include "DisplayTable.h"
#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "IRpc.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "RegistryLink.h"
#include "ResultCodes.h"
#include "RpcCallbackThread.h"
#include "Scheduler.h"
#include "Thread.h"
#include "Uuid.h"

namespace brondal::corvane::server {

// The directory: the in-memory table of displays that registered themselves. Displays call
// UpdateDisplay periodically to register or refresh; the object's own thread purges the ones
// that stopped refreshing and writes a statistics line once a minute. directoryVersion
// changes whenever the table's content does, so that clients can tell whether their copy
// is current.
//
// On the network it listens for requests on its port and for callback connections on the
// next one. Clients subscribe by naming their callback connection (AddNotify), then poll
// RequestDisplayEnumeration; the table goes to the callback connection in batches queued on
// the callback thread.
//
// Created with count 1 for its creator; releasing the last reference stops the maintenance
// thread and ends everything. Nothing else holds a reference to it (see RegistryLink), so
// the teardown runs on the thread that releases it.
class CorvaneDirectoryService : public Thread, public virtual IRefCountImpl {
public:
    // The directory's object on the request engine, and the object of every callback.
    static constexpr UUID DirectoryObjectId = corvane::DirectoryObjectId;
    static constexpr std::uint32_t EnumerationBatchSize = 1000;
    // A batch also ends before it would grow past this, so that no callback message comes
    // near the transport's frame limit when displays send long texts.
    static constexpr std::size_t EnumerationBatchMaxBytes = 16u << 20;
    static constexpr std::uint32_t CallbackWriteTimeoutMs = 10000;

    static constexpr std::uint32_t PurgePassCount = 300;
    static constexpr std::uint64_t StaleAfterMs = 300000;
    static constexpr std::uint64_t StatisticsIntervalMs = 60000;
    static constexpr std::uint32_t PassSleepMs = 100;

    // The three counters of the statistics line, as a consistent snapshot.
    struct Counters {
        std::uint32_t enumerationCount = 0;
        std::uint32_t updateCount = 0;
        std::uint32_t purgeCount = 0;
    };

    // What the service is serving, for the service manager's status line.
    struct Occupancy {
        std::size_t displays = 0;
        std::size_t subscribers = 0;
        // Open connections on both ports.
        std::uint32_t connections = 0;
    };
    // Called on the maintenance thread with every statistics line, without any lock held.
    using OccupancyListener = std::function<void(const Occupancy&)>;

    // port: the request port; callbacks use the next one. bindAddress: the IPv4 address
    // (host byte order) both listen on, 0 for every interface.
    explicit CorvaneDirectoryService(std::uint16_t port, std::uint32_t bindAddress = 0);

    // Brings the service up and starts the maintenance thread. ResultAlreadyInitialized for
    // a second call.
    [[nodiscard]] Result Initialize();
    // Why the last Initialize failed, in words ("Unable to initialize transport on port
    // 53200 (result 0x80000000)"); empty when it did not.
    std::string GetInitializeFailure();
    // Set before Initialize (the maintenance thread reads it without a lock).
    void SetOccupancyListener(OccupancyListener listener) {
        occupancyListener_ = std::move(listener);
    }
    // Takes tableLock, then asks both transports for their connections outside it.
    Occupancy GetOccupancy();

    // Registers the display or refreshes it. ResultNotInitialized before Initialize.
    [[nodiscard]] Result UpdateDisplay(const UUID& displayId, std::string displayName,
                                       std::string secondaryName, std::uint32_t address,
                                       std::uint16_t port, std::uint32_t tag, std::string extra);

    // Subscribes the client calling on requestConnection: its tables go to
    // callbackConnection. A request connection keeps its first subscription; objectId is
    // not used. ResultNotInitialized before Initialize.
    [[nodiscard]] Result AddNotify(UUID requestConnection, UUID callbackConnection,
                                   const UUID& objectId);
    // Ends the subscription of requestConnection, if any.
    [[nodiscard]] Result RemoveNotify(UUID requestConnection);
    // Queues the table for the caller's callback connection unless knownVersion (not 0) is
    // the current version; *version receives the version of what is sent. ResultFail when
    // the caller has not subscribed.
    [[nodiscard]] Result RequestDisplayEnumeration(UUID requestConnection, bool extended,
                                                   std::uint64_t knownVersion,
                                                   std::uint64_t* version);
    // From either transport: a closed connection ends the subscription it belongs to.
    [[nodiscard]] Result OnEvent(UUID connectionId, std::int32_t event);
    // Data is the engines' business.
    [[nodiscard]] Result OnDataReady(UUID, UUID, IDataStream*) { return ResultOk; }

    // One maintenance pass: purge on every (PurgePassCount + 1)th pass, the statistics line
    // when StatisticsIntervalMs have passed, then a PassSleepMs sleep. Always true.
    bool ThreadFunc() override;

    // Readers for tests and the network side. The version is read without the lock, as a
    // client's poll is answered; the others take tableLock.
    std::uint64_t GetDirectoryVersion() const { return directoryVersion_.load(); }
    std::size_t GetDisplayCount();
    std::optional<DisplayRecord> GetDisplay(const UUID& displayId);
    Counters GetCounters();
    std::uint16_t GetPort() const { return port_; }
    // The callback connection the request connection subscribed with.
    std::optional<UUID> GetSubscription(const UUID& requestConnection);
    // The callback thread's connections and queued callbacks (0, 0 off the network).
    void GetCallbackStats(std::uint32_t* connections, std::uint32_t* queued);
    // How the stub and the transport listener reach this object.
    RegistryLink* GetLink() const { return link_.Get(); }

protected:
    // Through Release only.
    ~CorvaneDirectoryService() override;

private:
    // Records a change of the table; with tableLock held.
    void AdvanceVersion();
    void PurgeStaleDisplays();
    void WriteStatistics();
    // Keeps the reason of a failing network step for GetInitializeFailure; with tableLock
    // held. port: the port the step concerns, 0 for none.
    void RecordInitializeFailure(Result result, const char* message, std::uint16_t port);
    // Queues the whole table for callbackConnection; with tableLock held.
    [[nodiscard]] Result QueueTable(const UUID& callbackConnection, bool extended);

    // The network side (request and callback transports, an RPC engine on each, the
    // callback thread, the directory stub and the client subscriptions) joins the registry
    // here. InitializeNetwork runs with tableLock held between "Initialization started" and
    // the start of the maintenance thread; a failure leaves the service uninitialised.
    // ShutdownNetwork runs in destruction after the maintenance thread has stopped and
    // before the table goes away.
    [[nodiscard]] Result InitializeNetwork();
    void ShutdownNetwork();

    // Set under tableLock at the end of Initialize; atomic because UpdateDisplay checks it
    // without the lock.
    std::atomic<bool> initialized_{false};
    const std::uint16_t port_;
    const std::uint32_t bindAddress_;
    // Scheduler-clock ms of the last change of the table (strictly increasing, see
    // AdvanceVersion); 0 until the first. Written under tableLock, read without it.
    std::atomic<std::uint64_t> directoryVersion_{0};

    // The network side. Set in Initialize (under tableLock, before the maintenance thread
    // starts) and released in destruction after it stopped; in between they do not change.
    RefPtr<IRpc> rpc_;
    RefPtr<ITransport> transport_;
    RefPtr<IRpc> callbackRpc_;
    RefPtr<RpcCallbackThread> callbackThread_;
    RefPtr<ITransport> callbackTransport_;
    // Request connection -> the callback connection it subscribed with, and back. Under
    // tableLock. The reverse map holds only the pairing that owns the callback connection's
    // place on the callback thread.
    std::map<UUID, UUID> subscribers_;
    std::map<UUID, UUID> subscribersByCallback_;

    // In identifier order, which is that of the identifiers' text; enumerations take
    // snapshots of it (see DisplayTable).
    DisplayTable displays_;
    std::uint32_t enumerationCount_ = 0;
    std::uint32_t updateCount_ = 0;
    std::uint32_t purgeCount_ = 0;
    CpuUsageMeter cpuMeter_;
    // Re-entrant: the network side's connection events end subscriptions through operations
    // that take it again. Guards initialized during Initialize, the maps and the counters.
    std::unique_ptr<Scheduler::Mutex> tableLock_;
    // Closed first in destruction; see RegistryLink.
    const RefPtr<RegistryLink> link_;
    // This object's listener on both transports, through link_.
    RefPtr<ITransport::ITransportNotify> transportListener_;

    // Under tableLock.
    std::string initializeFailure_;
    OccupancyListener occupancyListener_;

    // Maintenance-pass state. Members rather than function statics, so that each registry
    // (and each test) starts its own count; only the maintenance thread touches them.
    std::uint32_t passCounter_ = 0;
    bool statisticsTimeSet_ = false;
    std::uint64_t lastStatisticsTime_ = 0;
};

}  // namespace brondal::corvane::server
