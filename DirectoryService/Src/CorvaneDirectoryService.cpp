#include "CorvaneDirectoryService.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "CatchFrame.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "ProcessStatistics.h"

namespace brondal::corvane::server {

namespace {

// The scheduler clock the table's times and the version are taken from.
std::uint64_t ClockNow() { return static_cast<std::uint64_t>(GetScheduler().GetTimeMs()); }

// The statistics line prints every value with %d; a value beyond its range shows as the
// largest one rather than wrapping to a negative number.
int ForPrint(std::uint64_t value) {
    return static_cast<int>(std::min<std::uint64_t>(
        value, static_cast<std::uint64_t>(std::numeric_limits<int>::max())));
}

}  // namespace

CorvaneDirectoryService::CorvaneDirectoryService(std::uint16_t port) : port_(port) {
    CATCH_FRAME_BEGIN
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
        ShutdownNetwork();
        tableLock_.reset();
        displays_.clear();
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
    if (const Result result = InitializeNetwork(); Failed(result)) return result;
    // Start only waits until the thread runs, not for a pass, so holding tableLock here
    // cannot deadlock with a pass that wants it.
    Start(Scheduler::Infinite);
    initialized_.store(true);
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

Result CorvaneDirectoryService::InitializeNetwork() { return ResultOk; }

void CorvaneDirectoryService::ShutdownNetwork() {}

Result CorvaneDirectoryService::UpdateDisplay(const UUID& displayId, std::string displayName,
                                              std::string secondaryName, std::uint32_t address,
                                              std::uint16_t port, std::uint32_t tag,
                                              std::string extra) {
    CATCH_FRAME_BEGIN
    if (!initialized_.load()) return ResultNotInitialized;

    // The record and its key are built, and the line formatted, before taking tableLock:
    // every display calls here periodically and the lock serialises them all.
    DisplayRecord record{.displayId = displayId,
                         .secondaryName = std::move(secondaryName),
                         .displayName = std::move(displayName),
                         .address = address,
                         .port = port,
                         .tag = tag,
                         .extra = std::move(extra),
                         .lastUpdateTime = ClockNow()};
    std::string key = displayId.ToString();
    LOG_SPEW(2, "Display Updated - %s %s %x %d", key.c_str(), record.displayName.c_str(), address,
             port);
    {
        MutexGuard lock(*tableLock_);
        auto found = displays_.lower_bound(key);
        if (found == displays_.end() || found->first != key) {
            displays_.emplace_hint(found, std::move(key), std::move(record));
            AdvanceVersion();
        } else {
            if (!(found->second == record)) AdvanceVersion();
            // Swapped rather than assigned: the old record's strings are freed after the
            // lock is released. Either way lastUpdateTime advances.
            std::swap(found->second, record);
        }
        ++updateCount_;
    }
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
    std::vector<decltype(displays_)::node_type> purged;
    std::uint64_t now = 0;
    {
        MutexGuard lock(*tableLock_);
        now = ClockNow();
        for (auto it = displays_.begin(); it != displays_.end();) {
            // Unsigned on purpose: a record stamped ahead of the clock (the clock was set
            // back) has a huge age and goes too, rather than living until the clock
            // catches up.
            if (now - it->second.lastUpdateTime > StaleAfterMs) {
                purged.push_back(displays_.extract(it++));
            } else {
                ++it;
            }
        }
        if (!purged.empty()) {
            AdvanceVersion();
            purgeCount_ += static_cast<std::uint32_t>(purged.size());
        }
    }
    for (const auto& node : purged) {
        const DisplayRecord& r = node.mapped();
        LOG_INFO("Purged - %s %s %x %d (curTime = %llu  lastUpdateTime = %llu)", node.key().c_str(),
                 r.displayName.c_str(), r.address, r.port, static_cast<unsigned long long>(now),
                 static_cast<unsigned long long>(r.lastUpdateTime));
    }
}

void CorvaneDirectoryService::WriteStatistics() {
    std::size_t displayCount = 0;
    Counters counters;
    {
        // Read and zeroed in one hold, so that no update between the two is lost.
        MutexGuard lock(*tableLock_);
        displayCount = displays_.size();
        counters = {enumerationCount_, updateCount_, purgeCount_};
        enumerationCount_ = 0;
        updateCount_ = 0;
        purgeCount_ = 0;
    }
    // Connections and queued calls of the callback thread; there is none until the
    // directory is on the network.
    const int callbackConnections = 0;
    const int queuedCallbacks = 0;
    const int cpu = cpuMeter_.Sample();
    const int threads = ReadProcessThreadCount().value_or(-1);
    const int descriptors = ReadOpenFileDescriptorCount().value_or(-1);
    const std::optional<std::uint64_t> resident = ReadResidentSetBytes();
    LOG_INFO("CDS_STATS, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d,", ForPrint(displayCount),
             ForPrint(counters.enumerationCount), ForPrint(counters.updateCount),
             ForPrint(counters.purgeCount), callbackConnections, queuedCallbacks, cpu, threads,
             descriptors, resident ? ForPrint(*resident) : -1);
}

std::size_t CorvaneDirectoryService::GetDisplayCount() {
    MutexGuard lock(*tableLock_);
    return displays_.size();
}

std::optional<DisplayRecord> CorvaneDirectoryService::GetDisplay(const UUID& displayId) {
    const std::string key = displayId.ToString();
    MutexGuard lock(*tableLock_);
    const auto found = displays_.find(key);
    if (found == displays_.end()) return std::nullopt;
    return found->second;
}

CorvaneDirectoryService::Counters CorvaneDirectoryService::GetCounters() {
    MutexGuard lock(*tableLock_);
    return {enumerationCount_, updateCount_, purgeCount_};
}

}  // namespace brondal::corvane::server
