#include "FileStore.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>
#include <tuple>

#include "LockGuard.h"
#include "LogTimeText.h"
#include "StringFormat.h"

namespace brondal {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view Extension = ".log";

// The date as names carry it, "2017_07_11"; byte order is date order for four-digit years.
std::string DateText(const TimeParts& date) {
    return StringPrintf("%d_%02d_%02d", date.year, date.month, date.day);
}

std::uint64_t FileSize(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

// Lines show numbers as signed decimals, as they always have.
void AppendDecimal(std::string& out, std::uint32_t value) {
    char digits[16];
    const auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, static_cast<std::int32_t>(value));
    out.append(digits, end);
}

}  // namespace

std::optional<FileStore::NameParts> FileStore::ParseFileName(std::string_view name) {
    if (!name.ends_with(Extension)) return std::nullopt;
    const std::string_view stem = name.substr(0, name.size() - Extension.size());

    // The last four "_", from the end: the last precedes the index, the fourth-last
    // follows the prefix.
    std::size_t separators[4];
    std::size_t end = stem.size();
    for (std::size_t& at : separators) {
        if (end == 0) return std::nullopt;
        at = stem.rfind('_', end - 1);
        if (at == std::string_view::npos) return std::nullopt;
        end = at;
    }

    const std::string_view indexText = stem.substr(separators[0] + 1);
    NameParts parts;
    const char* last = indexText.data() + indexText.size();
    const auto [stop, ec] = std::from_chars(indexText.data(), last, parts.index);
    if (indexText.empty() || ec != std::errc() || stop != last) return std::nullopt;
    parts.prefix = stem.substr(0, separators[3]);
    parts.date = stem.substr(separators[3] + 1, separators[0] - separators[3] - 1);
    return parts;
}

std::string FileStore::FilePath(std::string_view folder, std::string_view prefix,
                                const TimeParts& date, std::uint32_t index) {
    const std::string base = WithSeparator(std::string(folder));
    return StringPrintf("%s%.*s_%d_%02d_%02d_%02d.log", base.c_str(),
                        static_cast<int>(prefix.size()), prefix.data(), date.year, date.month,
                        date.day, static_cast<int>(index));
}

std::string FileStore::WithSeparator(std::string folder) {
    // Either separator counts as one: folders written for other platforms arrive
    // ending in "\" and must not gain a second separator.
    if (!folder.ends_with('/') && !folder.ends_with('\\')) folder += '/';
    return folder;
}

FileStore::FileStore(std::string folder, std::string prefix, std::uint64_t maxSize)
    : prefix_(std::move(prefix)),
      folder_(WithSeparator(std::move(folder))),
      maxSize_(maxSize),
      lock_(GetScheduler().CreateMutex()) {
    // A store started several times a day continues in the day's highest-numbered file
    // (which the first write moves past if it is already full).
    TimeParts today;
    GetScheduler().GetLocalTimeParts(&today);
    const std::string stem = prefix_ + "_" + DateText(today);
    for (const LogFile& file : ListLogFiles()) {
        if (file.name.starts_with(stem)) fileIndex_ = std::max(fileIndex_, file.parts.index);
    }
}

std::vector<FileStore::LogFile> FileStore::ListLogFiles() const {
    std::vector<LogFile> files;
    std::error_code error;
    for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        std::string name = it->path().filename().string();
        if (std::optional<NameParts> parts = ParseFileName(name)) {
            files.push_back({std::move(name), std::move(*parts)});
        }
    }
    return files;
}

std::string FileStore::OpenFile(const TimeParts& today) {
    for (int attempt = 0; attempt < MaxOpenAttempts; ++attempt) {
        const std::string path = FilePath(folder_, prefix_, today, fileIndex_);
        file_.open(path, std::ios::out | std::ios::app | std::ios::binary);
        if (file_.is_open()) {
            fileSize_ = FileSize(path);
            if (maxSize_ >= UnlimitedSize || fileSize_ <= maxSize_) {
                return path.substr(folder_.size());
            }
            file_.close();
        }
        file_.clear();
        ++fileIndex_;
    }
    return {};
}

void FileStore::ApplyRetention(const TimeParts& today, const std::string& current) {
    std::vector<LogFile> files = ListLogFiles();
    // Deliberately a plain prefix test: "Dir" also claims "DirectoryService_..." files,
    // which folders written by earlier versions rely on.
    std::erase_if(files, [this](const LogFile& f) { return !f.name.starts_with(prefix_); });
    if (files.size() <= MaxFilesPerPrefix) return;

    // The file being written is never a candidate: deleting it would send every line that
    // follows into a file nobody can find.
    std::erase_if(files, [&current](const LogFile& f) { return f.name == current; });
    std::size_t keep = MaxFilesPerPrefix - (current.empty() ? 0 : 1);
    std::error_code error;
    // Files dated after today (a clock that was set wrong for a while) go first: they would
    // otherwise count as the latest and push today's out, and stay forever.
    const std::string todayText = DateText(today);
    std::erase_if(files, [&](const LogFile& f) {
        if (f.parts.date <= todayText) return false;
        fs::remove(folder_ + f.name, error);
        return true;
    });
    if (files.size() <= keep) return;
    std::sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) {
        return std::tie(a.parts.prefix, a.parts.date, a.parts.index, a.name) <
               std::tie(b.parts.prefix, b.parts.date, b.parts.index, b.name);
    });
    for (std::size_t i = 0; i < files.size() - keep; ++i)
        fs::remove(folder_ + files[i].name, error);
}

bool FileStore::CurrentFileFull() const { return maxSize_ < UnlimitedSize && fileSize_ > maxSize_; }

void FileStore::ComposeLine(const TimeParts& now, std::uint32_t level, std::string_view file,
                            std::string_view function, std::uint32_t threadId, std::uint32_t line,
                            std::string_view message) {
    char time[LogTimeCapacity];
    line_.clear();
    line_.append(time, FormatLogTime(now, time));
    line_ += '\t';
    AppendDecimal(line_, threadId);
    line_ += '\t';
    line_ += LogLevelName(level);
    line_ += '\t';
    line_ += function;
    line_ += '\t';
    line_ += message;
    line_ += '\t';
    line_ += file;
    line_ += '\t';
    AppendDecimal(line_, line);
    line_ += "\r\n";
}

Result FileStore::Write(std::uint32_t level, std::string_view file, std::string_view function,
                        std::int64_t, std::uint32_t threadId, std::uint32_t line,
                        std::string_view message) {
    try {
        MutexGuard guard(*lock_);
        // Read under the lock, so that the lines of a file are in time order.
        TimeParts now;
        GetScheduler().GetLocalTimeParts(&now);

        if (!file_.is_open()) {
            ApplyRetention(now, OpenFile(now));
        } else if (CurrentFileFull()) {
            file_.close();
            ++fileIndex_;
            ApplyRetention(now, OpenFile(now));
        }
        if (!file_.is_open()) return ResultFail;

        ComposeLine(now, level, file, function, threadId, line, message);
        file_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
        file_.flush();
        // Appends go to the end of the file whoever else writes to it, so the position
        // after a write is the file's size: no need to ask the file system every time.
        const std::streamoff end = file_ ? static_cast<std::streamoff>(file_.tellp()) : -1;
        if (end < 0) {
            // A failed stream stays failed: reopen (the same index) on the next write.
            file_.close();
            file_.clear();
            return ResultFail;
        }
        fileSize_ = static_cast<std::uint64_t>(end);
        return ResultOk;
    } catch (...) {
        // Logging must never throw into the code that logs.
        return ResultFail;
    }
}

Result CreateFileStore(const std::string& folder, const std::string& prefix, std::uint64_t maxSize,
                       ILogStore** store) {
    if (!store) return ResultNullPointer;
    try {
        *store = new FileStore(folder, prefix, maxSize);
        return ResultOk;
    } catch (...) {
        return ResultFail;
    }
}

}  // namespace brondal
