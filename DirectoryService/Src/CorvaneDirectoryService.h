#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "CpuUsageMeter.h"
#include "DisplayRecord.h"
#include "IRefCountImpl.h"
#include "ResultCodes.h"
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
// Created with count 1 for its creator; releasing the last reference stops the maintenance
// thread and ends everything.
class CorvaneDirectoryService : public Thread, public virtual IRefCountImpl {
public:
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

    // port: the request port; callbacks use the next one.
    explicit CorvaneDirectoryService(std::uint16_t port);

    // Brings the service up and starts the maintenance thread. ResultAlreadyInitialized for
    // a second call.
    Result Initialize();

    // Registers the display or refreshes it. ResultNotInitialized before Initialize.
    Result UpdateDisplay(const UUID& displayId, std::string displayName, std::string secondaryName,
                         std::uint32_t address, std::uint16_t port, std::uint32_t tag,
                         std::string extra);

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

protected:
    // Through Release only.
    ~CorvaneDirectoryService() override;

private:
    // Records a change of the table; with tableLock held.
    void AdvanceVersion();
    void PurgeStaleDisplays();
    void WriteStatistics();

    // The network side (request and callback transports, an RPC engine on each, the
    // callback thread, the directory stub and the client subscriptions) joins the registry
    // here. InitializeNetwork runs with tableLock held between "Initialization started" and
    // the start of the maintenance thread; a failure leaves the service uninitialised.
    // ShutdownNetwork runs in destruction after the maintenance thread has stopped and
    // before the table goes away.
    Result InitializeNetwork();
    void ShutdownNetwork();

    // Set under tableLock at the end of Initialize; atomic because UpdateDisplay checks it
    // without the lock.
    std::atomic<bool> initialized_{false};
    const std::uint16_t port_;
    // Scheduler-clock ms of the last change of the table (strictly increasing, see
    // AdvanceVersion); 0 until the first. Written under tableLock, read without it.
    std::atomic<std::uint64_t> directoryVersion_{0};
    // Network fields (rpc, transport, callbackRpc, callbackThread, callbackTransport,
    // subscribers, subscribersByCallback) belong here.

    // Keyed by the display's UUID text, so that the enumeration order is that of the text.
    std::map<std::string, DisplayRecord> displays_;
    std::uint32_t enumerationCount_ = 0;
    std::uint32_t updateCount_ = 0;
    std::uint32_t purgeCount_ = 0;
    CpuUsageMeter cpuMeter_;
    // Re-entrant: the network side's connection events end subscriptions through operations
    // that take it again. Guards initialized during Initialize, the maps and the counters.
    std::unique_ptr<Scheduler::Mutex> tableLock_;

    // Maintenance-pass state. Members rather than function statics, so that each registry
    // (and each test) starts its own count; only the maintenance thread touches them.
    std::uint32_t passCounter_ = 0;
    bool statisticsTimeSet_ = false;
    std::uint64_t lastStatisticsTime_ = 0;
};

}  // namespace brondal::corvane::server
