#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "ILogger.h"
#include "IRefCountImpl.h"
#include "RefPtr.h"
#include "Scheduler.h"

namespace brondal {

// The logger. Besides filtering, it keeps per call site (one line of one file on one
// thread) two windows of recent timestamps and suspends a site that logs 5 times within a
// second (for a minute) or 50 times within a minute (for ten minutes).
class Logger final : public ILogger, public virtual IRefCountImpl {
public:
    static constexpr std::size_t MaxRepeatKeys = 10000;
    static constexpr std::int64_t ShortWindowMs = 1000;
    static constexpr std::int64_t LongWindowMs = 60000;
    static constexpr std::size_t ShortWindowLimit = 5;
    static constexpr std::size_t LongWindowLimit = 50;
    static constexpr std::int64_t ShortSuspensionMs = 60000;
    static constexpr std::int64_t LongSuspensionMs = 600000;

    Logger();

    Result AddStore(ILogStore* store) override;
    Result RemoveStore(ILogStore* store) override;
    Result IsEnabled(std::uint32_t level, std::uint32_t detail, bool* enabled) override;
    Result SetLevelMask(std::uint32_t mask) override;
    Result GetLevelMask(std::uint32_t* mask) override;
    Result SetDetailLimit(std::uint32_t limit) override;
    Result GetDetailLimit(std::uint32_t* limit) override;
    Result Log(std::uint32_t level, std::string_view file, std::string_view function,
               std::int64_t time, std::uint32_t threadId, std::uint32_t line,
               std::string_view message) override;

    std::size_t RepeatKeyCount();

private:
    struct RepeatEntry {
        std::deque<std::int64_t> shortWindow;
        std::deque<std::int64_t> longWindow;
        std::int64_t suppressedUntil = 0;
    };

    // The entry of a call site, created when the table has room; nullptr for a first
    // occurrence (which is never suppressed) and for sites beyond the table's limit.
    RepeatEntry* FindOrAddEntry(std::string_view key, bool* firstOccurrence);
    // Records an occurrence at now; returns the warning to add, or nullptr.
    static const char* RecordOccurrence(RepeatEntry& entry, std::int64_t now);
    void WriteToStores(std::uint32_t level, std::string_view file, std::string_view function,
                       std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                       std::string_view message);

    // Guards the look-up and insertion of keys. Each entry is then touched only by the
    // thread its key names, so the windows need no lock.
    std::unique_ptr<Scheduler::Mutex> tableLock_;
    std::map<std::string, RepeatEntry, std::less<>> repeats_;

    // Stores are written under a shared lock, so that records of many threads reach them
    // concurrently (each store serialises its own writes) while a store cannot be removed
    // in the middle of a write.
    std::shared_mutex storesLock_;
    std::vector<RefPtr<ILogStore>> stores_;

    std::atomic<std::uint32_t> levelMask_{LogAll};
    std::atomic<std::uint32_t> detailLimit_{0};
};

}  // namespace brondal
