#include "Logger.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <vector>

#include "LockGuard.h"
#include "LogCall.h"
#include "PlatformLog.h"
#include "ThreadSlot.h"

namespace brondal {

namespace {

constexpr const char* ShortSuspensionWarning =
    "WARNING -- The above log message has been detected 5 times in one second and will be "
    "suspended for 1 minute";
constexpr const char* LongSuspensionWarning =
    "WARNING -- The above log message has been detected 50 times in the last minute and will "
    "be suspended for 10 minutes";

void AppendNumber(std::string& out, std::uint32_t value) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

// Runtime messages (thread creation failures and the like) come through the platform's
// hook, since the platform cannot depend on the logger.
void LogPlatformMessage(std::uint32_t level, const char* file, std::uint32_t line,
                        const char* function, const char* message) {
    LogCall call(level, 0, file, line, function);
    if (call.Enabled()) call.Message("%s", message);
}

using RepeatIterator = decltype(Logger::RepeatTable::entries)::iterator;

}  // namespace

// The repeat entries the calling thread created, per logger, taken out of their tables when
// the thread ends. Only the owning thread touches this object.
class Logger::ThreadEntries {
public:
    ThreadEntries() = default;
    ThreadEntries(const ThreadEntries&) = delete;
    ThreadEntries& operator=(const ThreadEntries&) = delete;
    ~ThreadEntries();

    // With table's lock held: entry is this thread's, to be erased when it ends.
    void Add(const std::shared_ptr<Logger::RepeatTable>& table, RepeatIterator entry);

    // The key of the call site being logged, reused so that a look-up does not allocate.
    std::string key;

private:
    struct Owned {
        std::weak_ptr<Logger::RepeatTable> table;
        // Which table, compared only while table has not expired.
        const Logger::RepeatTable* identity;
        std::vector<RepeatIterator> entries;
    };
    std::vector<Owned> owned_;
};

namespace {

void ReleaseThreadEntries(void* entries) { delete static_cast<Logger::ThreadEntries*>(entries); }

// Made on the thread's first statement and released by the platform when the thread ends,
// after its thread_local objects (which may still log); on Windows kept until the process
// ends, with the repeat table's own bound on its entries (see ThreadSlot). Null when the system
// keeps no slot for it: the thread's sites are then not tracked.
Logger::ThreadEntries* CurrentThreadEntries() {
    // Never destroyed: threads log until the process ends.
    static platform::ThreadSlot* const slot = new platform::ThreadSlot(&ReleaseThreadEntries);
    if (void* entries = slot->Get()) return static_cast<Logger::ThreadEntries*>(entries);
    auto* entries = new Logger::ThreadEntries();
    if (slot->Set(entries)) return entries;
    delete entries;
    return nullptr;
}

}  // namespace

Logger::ThreadEntries::~ThreadEntries() {
    for (Owned& owned : owned_) {
        const std::shared_ptr<Logger::RepeatTable> table = owned.table.lock();
        if (!table) continue;
        // The iterators stay valid: nobody but this thread erases its entries.
        MutexGuard guard(*table->lock);
        for (const RepeatIterator& entry : owned.entries)
            table->entries.erase(entry);
    }
}

void Logger::ThreadEntries::Add(const std::shared_ptr<Logger::RepeatTable>& table,
                                RepeatIterator entry) {
    for (Owned& owned : owned_) {
        if (owned.identity == table.get() && !owned.table.expired()) {
            owned.entries.push_back(entry);
            return;
        }
    }
    // Loggers of tests come and go; their records are dropped here.
    std::erase_if(owned_, [](const Owned& owned) { return owned.table.expired(); });
    owned_.push_back({table, table.get(), {entry}});
}

std::string_view LogLevelName(std::uint32_t level) {
    switch (level) {
        case LogAll:
            return "* All         *";
        case LogConfig:
            return "* Config      *";
        case LogInformation:
            return "* Information *";
        case LogWarning:
            return "* Warning     *";
        case LogSevere:
            return "* Severe      *";
        case LogSpew:
            return "* Spew        *";
        default:
            return "";
    }
}

ILogger* ProcessLogger() {
    // Created once, under the static-initialisation guard, and never destroyed: threads may
    // log until the process ends.
    static Logger* const logger = [] {
        auto* created = new Logger();
        platform::SetLogHandler(&LogPlatformMessage);
        return created;
    }();
    return logger;
}

Result GetLogger(ILogger** logger) {
    if (!logger) return ResultNullPointer;
    ILogger* process = ProcessLogger();
    process->AddRef();
    *logger = process;
    return ResultOk;
}

Logger::Logger()
    : repeats_(std::make_shared<RepeatTable>(RepeatTable{GetScheduler().CreateMutex(), {}})) {}

Result Logger::AddStore(ILogStore* store) {
    if (!store) return ResultNullPointer;
    std::unique_lock lock(storesLock_);
    stores_.emplace_back(store);
    return ResultOk;
}

Result Logger::RemoveStore(ILogStore* store) {
    std::unique_lock lock(storesLock_);
    auto it = std::find_if(stores_.begin(), stores_.end(),
                           [store](const RefPtr<ILogStore>& s) { return s.Get() == store; });
    if (it != stores_.end()) stores_.erase(it);
    return ResultOk;
}

Result Logger::IsEnabled(std::uint32_t level, std::uint32_t detail, bool* enabled) {
    if (!enabled) return ResultNullPointer;
    *enabled = (level & levelMask_.load(std::memory_order_relaxed)) == level &&
               detail <= detailLimit_.load(std::memory_order_relaxed);
    return ResultOk;
}

Result Logger::SetLevelMask(std::uint32_t mask) {
    levelMask_.store(mask, std::memory_order_relaxed);
    return ResultOk;
}

Result Logger::GetLevelMask(std::uint32_t* mask) {
    if (!mask) return ResultNullPointer;
    *mask = levelMask_.load(std::memory_order_relaxed);
    return ResultOk;
}

Result Logger::SetDetailLimit(std::uint32_t limit) {
    detailLimit_.store(limit, std::memory_order_relaxed);
    return ResultOk;
}

Result Logger::GetDetailLimit(std::uint32_t* limit) {
    if (!limit) return ResultNullPointer;
    *limit = detailLimit_.load(std::memory_order_relaxed);
    return ResultOk;
}

std::size_t Logger::RepeatKeyCount() {
    MutexGuard guard(*repeats_->lock);
    return repeats_->entries.size();
}

Logger::RepeatEntry* Logger::FindOrAddEntry(std::string_view key, ThreadEntries* owner) {
    MutexGuard guard(*repeats_->lock);
    auto& entries = repeats_->entries;
    auto it = entries.find(key);
    if (it != entries.end()) return &it->second;
    // A thread that is ending adds nothing: nobody would take its entry out again.
    if (owner != nullptr && entries.size() < MaxRepeatKeys) {
        it = entries.emplace(std::string(key), RepeatEntry{}).first;
        owner->Add(repeats_, it);
    }
    return nullptr;
}

const char* Logger::RecordOccurrence(RepeatEntry& entry, std::int64_t now) {
    auto age = [](std::deque<std::int64_t>& window, std::int64_t now, std::int64_t span) {
        window.push_back(now);
        while (!window.empty() && now - window.front() >= span)
            window.pop_front();
    };
    age(entry.shortWindow, now, ShortWindowMs);
    age(entry.longWindow, now, LongWindowMs);
    if (entry.shortWindow.size() >= ShortWindowLimit) {
        entry.suppressedUntil = now + ShortSuspensionMs;
        return ShortSuspensionWarning;
    }
    if (entry.longWindow.size() >= LongWindowLimit) {
        entry.suppressedUntil = now + LongSuspensionMs;
        return LongSuspensionWarning;
    }
    return nullptr;
}

Result Logger::Log(std::uint32_t level, std::string_view file, std::string_view function,
                   std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                   std::string_view message) {
    // The key names one call site on one thread: "<thread>-<line><file><function>".
    ThreadEntries* const owner = CurrentThreadEntries();
    std::string ending;
    std::string& key = owner ? owner->key : ending;
    key.clear();
    AppendNumber(key, threadId);
    key += '-';
    AppendNumber(key, line);
    key.append(file).append(function);

    RepeatEntry* entry = FindOrAddEntry(key, owner);
    const char* warning = nullptr;
    if (entry) {
        const std::int64_t now = GetScheduler().GetTimeMs();
        if (now < entry->suppressedUntil) return ResultOk;
        warning = RecordOccurrence(*entry, now);
    }

    WriteToStores(level, file, function, time, threadId, line, message);
    if (warning) WriteToStores(level, file, function, time, threadId, line, warning);
    return ResultOk;
}

void Logger::WriteToStores(std::uint32_t level, std::string_view file, std::string_view function,
                           std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                           std::string_view message) {
    std::shared_lock lock(storesLock_);
    for (const RefPtr<ILogStore>& store : stores_) {
        (void)store->Write(level, file, function, time, threadId, line, message);
    }
}

}  // namespace brondal
