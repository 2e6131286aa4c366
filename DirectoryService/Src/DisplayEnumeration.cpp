#include "DisplayEnumeration.h"

#include <utility>
#include <vector>

namespace brondal::corvane::server {

DisplayEnumeration::DisplayEnumeration(DisplayTable::Snapshot snapshot, bool extended,
                                       std::uint32_t batchSize, std::size_t maxBatchBytes)
    : snapshot_(std::move(snapshot)),
      cursor_(snapshot_),
      writer_(extended),
      batchSize_(batchSize),
      maxBatchBytes_(maxBatchBytes),
      remaining_(snapshot_.Size()) {}

Result DisplayEnumeration::Next(RefPtr<IDataStream>* arguments, bool* last) {
    if (done_) return ResultFail;
    std::vector<const DisplayRecord*> records;
    records.reserve(std::min<std::size_t>(batchSize_, remaining_));
    std::size_t entryBytes = 0;
    while (records.size() < batchSize_) {
        const DisplayRecord* record = carried_ != nullptr ? carried_ : cursor_.Next();
        carried_ = nullptr;
        if (record == nullptr) break;
        const std::size_t entry = writer_.EntrySize(*record);
        const auto count = static_cast<std::uint32_t>(records.size());
        if (count != 0 && writer_.BatchSize(count + 1, entryBytes + entry) > maxBatchBytes_) {
            carried_ = record;
            break;
        }
        entryBytes += entry;
        records.push_back(record);
    }
    remaining_ -= records.size();
    const bool end = remaining_ == 0;
    const Result result = writer_.Write(records.begin(), static_cast<std::uint32_t>(records.size()),
                                        entryBytes, end, arguments);
    if (Failed(result)) return result;
    done_ = end;
    *last = end;
    return ResultOk;
}

}  // namespace brondal::corvane::server
