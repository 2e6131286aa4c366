// Entries of the crash log, written by catch frames as exceptions pass outward.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>

#include "CatchFrame.h"
#include "LogFolderPath.h"
#include "LogTimeText.h"
#include "Scheduler.h"
#include "StringFormat.h"

namespace brondal {

namespace {

constexpr const char* CrashLogName = "/CrashLog.txt";
constexpr std::size_t MaxDateText = 512;
constexpr std::size_t FallbackEntryCapacity = 2048;
constexpr std::int64_t MsPerDay = 86400000;

// Each entry is one write of a file opened for appending and closed right afterwards:
// entries of several threads never interleave and need no lock, and a crash loses none.
class EntryFile {
public:
    EntryFile() : path_(CrashFolder(true) + CrashLogName) { Open(); }
    ~EntryFile() { Close(); }
    EntryFile(const EntryFile&) = delete;
    EntryFile& operator=(const EntryFile&) = delete;

    bool IsOpen() const { return file_ != nullptr; }
    void Reopen() {
        Close();
        Open();
    }
    void Write(const char* entry, std::size_t length) {
        if (file_) std::fwrite(entry, 1, length, file_);
    }
    void Write(const std::string& entry) { Write(entry.data(), entry.size()); }

private:
    void Open() {
        // Binary: the entries carry their own "\r\n", which a Windows text stream would
        // turn into "\r\r\n".
        file_ = std::fopen(path_.c_str(), "ab");
        // Unbuffered, so that the whole entry goes out in one write.
        if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);
    }
    void Close() {
        if (file_) std::fclose(file_);
        file_ = nullptr;
    }

    std::string path_;
    std::FILE* file_ = nullptr;
};

TimeParts LocalNow() {
    TimeParts now;
    GetScheduler().GetLocalTimeParts(&now);
    return now;
}

// The local time in the C library's own form ("%c"), from the scheduler's clock.
std::string DateText() {
    const TimeParts now = LocalNow();
    std::tm local{};
    local.tm_year = now.year - 1900;
    local.tm_mon = now.month - 1;
    local.tm_mday = now.day;
    local.tm_hour = now.hour;
    local.tm_min = now.minute;
    local.tm_sec = now.second;
    // 1970-01-01 was a Thursday.
    local.tm_wday = static_cast<int>((TimePartsToMs(now) / MsPerDay + 4) % 7);
    local.tm_isdst = -1;
    char text[MaxDateText];
    const std::size_t length = std::strftime(text, sizeof text, "%c", &local);
    return std::string(text, length);
}

void RecordStandard(bool runtimeError, const char* what, const char* file, int line) {
    EntryFile log;
    if (!log.IsOpen()) return;
    const std::string date = DateText();
    log.Write(runtimeError ? StringPrintf("%s: Std runtime error: %s, File: %s Line#:%d\r\n",
                                          date.c_str(), what, file, line)
                           : StringPrintf("%s: Std Exception: %s, File: %s Line#:%d\r\n",
                                          date.c_str(), what, file, line));
}

void RecordOther(const char* function, const char* file, int line) {
    EntryFile log;
    if (!log.IsOpen()) return;
    const int thread = static_cast<int>(GetScheduler().GetCurrentThreadId());
    try {
        log.Write(StringPrintf("%s\t%d\tCRASH DUMP\t%s\t%s\t%s\t%d\r\n", LogTimeNow().c_str(),
                               thread, function, "CATCH", file, line));
    } catch (...) {
        // Nothing here may allocate: the failure may well have been memory.
        char time[LogTimeCapacity];
        FormatLogTime(LocalNow(), time);
        log.Reopen();
        if (!log.IsOpen()) return;
        char entry[FallbackEntryCapacity];
        const int n = std::snprintf(
            entry, sizeof entry,
            "%s\t%d\tCRASH DUMP\t%s\t<bad user message - please check the caller>\t%s\t%d\r\n",
            time, thread, function, file, line);
        if (n > 0) log.Write(entry, std::min(static_cast<std::size_t>(n), sizeof entry - 1));
    }
}

}  // namespace

void RecordEscapingException(const char* function, const char* file, int line) noexcept {
    const std::exception_ptr current = std::current_exception();
    if (!current) return;
    try {
        std::rethrow_exception(current);
    } catch (const std::runtime_error& e) {
        try {
            RecordStandard(true, e.what(), file, line);
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            RecordStandard(false, e.what(), file, line);
        } catch (...) {
        }
    } catch (...) {
        try {
            RecordOther(function, file, line);
        } catch (...) {
        }
    }
}

}  // namespace brondal
