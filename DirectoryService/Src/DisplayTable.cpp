#include "DisplayTable.h"

namespace brondal::corvane::server {

std::size_t DisplayTable::LeafFor(const UUID& key) const {
    const auto after = std::upper_bound(firstKeys_.begin(), firstKeys_.end(), key);
    return after == firstKeys_.begin() ? 0
                                       : static_cast<std::size_t>(after - firstKeys_.begin()) - 1;
}

DisplayTable::Leaf& DisplayTable::Writable(std::size_t i) {
    // A leaf a snapshot has taken is copied before its first change, whether or not that
    // snapshot is still read: one copy per leaf and snapshot.
    if (leaves_[i]->shared) {
        leaves_[i] = std::make_shared<Leaf>(*leaves_[i]);
        leaves_[i]->shared = false;
    }
    return *leaves_[i];
}

bool DisplayTable::Update(std::shared_ptr<DisplayRecord>& record) {
    const UUID key = record->displayId;
    if (leaves_.empty()) {
        auto leaf = std::make_shared<Leaf>();
        leaf->keys.push_back(key);
        leaf->records.push_back(std::move(record));
        leaves_.push_back(std::move(leaf));
        firstKeys_.push_back(key);
        size_ = 1;
        return true;
    }
    const std::size_t i = LeafFor(key);
    const Leaf& leaf = *leaves_[i];
    const auto at = std::lower_bound(leaf.keys.begin(), leaf.keys.end(), key);
    const auto position = static_cast<std::size_t>(at - leaf.keys.begin());
    if (at != leaf.keys.end() && *at == key) {
        DisplayRecord& stored = *leaf.records[position];
        if (stored == *record) {
            // Snapshot readers look only at the content, never at the times.
            stored.lastUpdateTime = record->lastUpdateTime;
            stored.lastUpdateTick = record->lastUpdateTick;
            return false;
        }
        std::swap(Writable(i).records[position], record);
        return true;
    }
    Leaf& writable = Writable(i);
    writable.keys.insert(writable.keys.begin() + static_cast<std::ptrdiff_t>(position), key);
    writable.records.insert(writable.records.begin() + static_cast<std::ptrdiff_t>(position),
                            std::move(record));
    record.reset();
    if (position == 0) firstKeys_[i] = key;
    ++size_;
    if (writable.keys.size() > LeafCapacity) {
        const std::size_t half = writable.keys.size() / 2;
        auto upper = std::make_shared<Leaf>();
        upper->keys.assign(writable.keys.begin() + static_cast<std::ptrdiff_t>(half),
                           writable.keys.end());
        upper->records.assign(writable.records.begin() + static_cast<std::ptrdiff_t>(half),
                              writable.records.end());
        writable.keys.resize(half);
        writable.records.resize(half);
        firstKeys_.insert(firstKeys_.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                          upper->keys.front());
        leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(upper));
    }
    return true;
}

const DisplayRecord* DisplayTable::Find(const UUID& displayId) const {
    if (leaves_.empty()) return nullptr;
    const Leaf& leaf = *leaves_[LeafFor(displayId)];
    const auto at = std::lower_bound(leaf.keys.begin(), leaf.keys.end(), displayId);
    if (at == leaf.keys.end() || *at != displayId) return nullptr;
    return leaf.records[static_cast<std::size_t>(at - leaf.keys.begin())].get();
}

DisplayTable::Snapshot DisplayTable::TakeSnapshot() const {
    Snapshot snapshot;
    for (const auto& leaf : leaves_)
        leaf->shared = true;
    snapshot.leaves_.assign(leaves_.begin(), leaves_.end());
    snapshot.size_ = size_;
    return snapshot;
}

}  // namespace brondal::corvane::server
