#include "Logger.h"

#include <algorithm>
#include <charconv>
#include <mutex>

#include "LockGuard.h"
#include "LogCall.h"
#include "PlatformLog.h"

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

}  // namespace

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

Logger::Logger() : tableLock_(GetScheduler().CreateMutex()) {}

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
    MutexGuard guard(*tableLock_);
    return repeats_.size();
}

Logger::RepeatEntry* Logger::FindOrAddEntry(std::string_view key, bool* firstOccurrence) {
    MutexGuard guard(*tableLock_);
    auto it = repeats_.find(key);
    if (it != repeats_.end()) {
        *firstOccurrence = false;
        return &it->second;
    }
    *firstOccurrence = true;
    if (repeats_.size() < MaxRepeatKeys) repeats_.emplace(std::string(key), RepeatEntry{});
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
    // The key names one call site on one thread: "<thread>-<line><file><function>". The
    // buffer is reused per thread so that a look-up does not allocate.
    thread_local std::string key;
    key.clear();
    AppendNumber(key, threadId);
    key += '-';
    AppendNumber(key, line);
    key.append(file).append(function);

    bool first = false;
    RepeatEntry* entry = FindOrAddEntry(key, &first);
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
        store->Write(level, file, function, time, threadId, line, message);
    }
}

}  // namespace brondal
