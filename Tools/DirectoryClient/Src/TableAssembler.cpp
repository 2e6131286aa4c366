#include "TableAssembler.h"

#include <iterator>
#include <utility>

namespace brondal::corvane::client {

bool TableAssembler::Add(DisplayBatch&& batch) {
    if (pending_.empty()) {
        pending_ = std::move(batch.entries);
    } else {
        pending_.insert(pending_.end(), std::make_move_iterator(batch.entries.begin()),
                        std::make_move_iterator(batch.entries.end()));
    }
    if (!batch.last) return false;
    complete_ = std::move(pending_);
    pending_.clear();
    return true;
}

std::vector<DisplayRecord> TableAssembler::Take() { return std::move(complete_); }

}  // namespace brondal::corvane::client
