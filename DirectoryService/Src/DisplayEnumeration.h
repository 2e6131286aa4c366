#pragma once

#include <cstddef>
#include <cstdint>

#include "DisplayBatchWriter.h"
#include "DisplayTable.h"
#include "ICallbackSequence.h"
#include "IRefCountImpl.h"

namespace brondal::corvane::server {

// One enumeration of the table for one subscriber: the batches of a snapshot, made one at a
// time as the callback thread asks for them (see RpcCallbackThread), so that the table lock
// is held only to take the snapshot and a slow subscriber holds the snapshot and at most
// one batch. The batches are exactly those the table would have given when the snapshot was
// taken: at most BatchSize entries, ending early before maxBatchBytes, in identifier order,
// the end flag on the last; an empty table gives one batch with no entries and no head.
class DisplayEnumeration final : public ICallbackSequence, public IRefCountImpl {
public:
    DisplayEnumeration(DisplayTable::Snapshot snapshot, bool extended, std::uint32_t batchSize,
                       std::size_t maxBatchBytes);

    Result Next(RefPtr<IDataStream>* arguments, bool* last) override;

private:
    const DisplayTable::Snapshot snapshot_;
    DisplayTable::Snapshot::Cursor cursor_;
    const DisplayBatchWriter writer_;
    const std::uint32_t batchSize_;
    const std::size_t maxBatchBytes_;
    std::size_t remaining_;
    // The record read past the end of the previous batch, which opens the next.
    const DisplayRecord* carried_ = nullptr;
    bool done_ = false;
};

}  // namespace brondal::corvane::server
