#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The factory's declaration, under the same file name: found either way round, whichever of
// the two folders an includer searches first.
#include "../Include/FileStore.h"
#include "ILogger.h"
#include "IRefCountImpl.h"
#include "Scheduler.h"
#include "TimeParts.h"

namespace brondal {

// Log records as lines in dated, numbered files. Writes of all threads are serialised by
// the store's mutex; the line's time is the local clock when it is written (the record's
// own time is not used). A file stays open across midnight: the date in a name is the day
// the file was opened. Write never throws: a record that cannot be written is dropped and
// Write answers ResultFail.
class FileStore final : public ILogStore, public virtual IRefCountImpl {
public:
    // Files of one prefix left in the folder after each opening.
    static constexpr std::size_t MaxFilesPerPrefix = 7;
    // File names tried per opening before the record is dropped.
    static constexpr int MaxOpenAttempts = 5;
    // Maximum sizes from here on mean "never move to the next file".
    static constexpr std::uint64_t UnlimitedSize = std::uint64_t{4} << 30;

    // The parts of a log file's name, "<prefix>_<date>_<index>.log" read from the end, so
    // that a prefix may itself contain "_".
    struct NameParts {
        std::string prefix;
        std::string date;  // "2017_07_11"
        std::uint32_t index = 0;
    };
    // nullopt for a name that is not a log file's: no ".log" ending, fewer than four "_",
    // or an index that is not a decimal number.
    static std::optional<NameParts> ParseFileName(std::string_view name);
    // The full path of the file of prefix for date and index.
    static std::string FilePath(std::string_view folder, std::string_view prefix,
                                const TimeParts& date, std::uint32_t index);
    // folder with a separator at its end ("/" added unless it ends in "/" or "\").
    static std::string WithSeparator(std::string folder);

    // Continues in the highest-numbered file of today's date already in the folder.
    FileStore(std::string folder, std::string prefix, std::uint64_t maxSize);

    Result Write(std::uint32_t level, std::string_view file, std::string_view function,
                 std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                 std::string_view message) override;

private:
    struct LogFile {
        std::string name;
        NameParts parts;
    };

    // The folder's regular files whose names parse as log files.
    std::vector<LogFile> ListLogFiles() const;
    // Opens the file of the current index, moving past files that cannot be opened or are
    // already full; the opened file's name, empty when none of MaxOpenAttempts names
    // served.
    std::string OpenFile(const TimeParts& today);
    // With more than MaxFilesPerPrefix files of the prefix: deletes those dated after
    // today, then the oldest until MaxFilesPerPrefix remain. current, the file being
    // written (empty: none), is never deleted and counts among those kept.
    void ApplyRetention(const TimeParts& today, const std::string& current);
    bool CurrentFileFull() const;
    void ComposeLine(const TimeParts& now, std::uint32_t level, std::string_view file,
                     std::string_view function, std::uint32_t threadId, std::uint32_t line,
                     std::string_view message);

    std::uint32_t fileIndex_ = 0;
    const std::string prefix_;
    const std::string folder_;
    const std::uint64_t maxSize_;
    std::ofstream file_;
    // The open file's size: read when it is opened, then the position after each write.
    std::uint64_t fileSize_ = 0;
    // Reused for every line, so that a write does not allocate once it has grown.
    std::string line_;
    std::unique_ptr<Scheduler::Mutex> lock_;
};

}  // namespace brondal
