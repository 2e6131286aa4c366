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
//
// The entries a thread created are forgotten when that thread ends: a service that runs a
// reader thread per connection would otherwise fill the table with the sites of threads
// long gone, and from then on suppress nothing new. A live thread's entries stay as long as
// it runs.
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

    struct RepeatEntry {
        std::deque<std::int64_t> shortWindow;
        std::deque<std::int64_t> longWindow;
        std::int64_t suppressedUntil = 0;
    };
    // The repeat table, shared with the threads that added entries to it, so that a thread
    // ending after the logger has gone finds nothing left to forget.
    struct RepeatTable {
        // Guards the look-up, insertion and removal of keys. Each entry is then touched
        // only by the thread that created it (the thread its key names), so the windows
        // need no lock.
        std::unique_ptr<Scheduler::Mutex> lock;
        std::map<std::string, RepeatEntry, std::less<>> entries;
    };
    // The entries one thread created, in every logger; defined with the logger.
    class ThreadEntries;

private:
    // The entry of a call site, created when the table has room and recorded in owner (the
    // calling thread's list of its entries, null while the thread ends); nullptr for a
    // first occurrence (which is never suppressed) and for sites beyond the table's limit.
    RepeatEntry* FindOrAddEntry(std::string_view key, ThreadEntries* owner);
    // Records an occurrence at now; returns the warning to add, or nullptr.
    static const char* RecordOccurrence(RepeatEntry& entry, std::int64_t now);
    void WriteToStores(std::uint32_t level, std::string_view file, std::string_view function,
                       std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                       std::string_view message);

    const std::shared_ptr<RepeatTable> repeats_;

    // Stores are written under a shared lock, so that records of many threads reach them
    // concurrently (each store serialises its own writes) while a store cannot be removed
    // in the middle of a write.
    std::shared_mutex storesLock_;
    std::vector<RefPtr<ILogStore>> stores_;

    std::atomic<std::uint32_t> levelMask_{LogAll};
    std::atomic<std::uint32_t> detailLimit_{0};
};

}  // namespace brondal
