#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "DisplayRecord.h"
#include "Uuid.h"

namespace brondal::corvane::server {

// The registry's displays in ascending order of their identifier (which is also the order
// of the identifiers' text), built so that a snapshot of the whole table costs next to
// nothing: an enumeration takes one under the table lock and walks it later, elsewhere,
// while updates go on.
//
// The records live in leaves of at most LeafCapacity each, in order; a snapshot shares the
// leaves (one reference per leaf, so a million displays take about five hundred). A leaf
// that a snapshot still holds is copied before it changes (copy on write: pointers only,
// the records are shared), so a snapshot always sees the table as it was when taken, and
// what it keeps alive is freed when it goes. A refresh that leaves a display's content
// unchanged only moves its times, which no snapshot reader looks at, so it copies nothing.
//
// Not thread safe: the registry's table lock guards it. Snapshots may be read on any thread
// without the lock.
class DisplayTable {
public:
    static constexpr std::size_t LeafCapacity = 2048;

    struct Leaf {
        std::vector<UUID> keys;
        std::vector<std::shared_ptr<DisplayRecord>> records;
        // Set, under the table lock, when a snapshot takes the leaf: the next change copies
        // it first. Only the table reads it (snapshot readers never do), so it needs no
        // atomics; a reference count would, and its relaxed read does not order a reader's
        // last look at the leaf before the change.
        mutable bool shared = false;
    };

    class Snapshot {
    public:
        Snapshot() = default;
        std::size_t Size() const { return size_; }

        // Walks the snapshot in order; Next is null after the last record.
        class Cursor {
        public:
            explicit Cursor(const Snapshot& snapshot) : snapshot_(&snapshot) {}
            const DisplayRecord* Next() {
                while (leaf_ < snapshot_->leaves_.size()) {
                    const Leaf& leaf = *snapshot_->leaves_[leaf_];
                    if (index_ < leaf.records.size()) return leaf.records[index_++].get();
                    ++leaf_;
                    index_ = 0;
                }
                return nullptr;
            }

        private:
            const Snapshot* snapshot_;
            std::size_t leaf_ = 0;
            std::size_t index_ = 0;
        };

    private:
        friend class DisplayTable;
        std::vector<std::shared_ptr<const Leaf>> leaves_;
        std::size_t size_ = 0;
    };

    // Registers or refreshes the display. True when the content of the table changed: a new
    // display, or one whose data differs (record equality leaves the times out). The record
    // is made by the caller before it takes the lock; on return `record` holds what the
    // caller is to release after letting the lock go: the record it displaced, or its own
    // when only the stored record's times moved (null when it was added).
    bool Update(std::shared_ptr<DisplayRecord>& record);
    // Null when absent. Valid until the table next changes.
    const DisplayRecord* Find(const UUID& displayId) const;
    std::size_t Size() const { return size_; }
    Snapshot TakeSnapshot() const;

    // Removes every record for which stale(record) holds, handing it to removed (as a
    // shared_ptr the callee may take, to free it later); returns how many went. Leaves
    // without a stale record are not touched (nor copied).
    template <class Stale, class Removed>
    std::size_t RemoveIf(Stale stale, Removed removed) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < leaves_.size();) {
            const Leaf& leaf = *leaves_[i];
            if (std::none_of(leaf.records.begin(), leaf.records.end(),
                             [&](const auto& record) { return stale(*record); })) {
                ++i;
                continue;
            }
            Leaf& writable = Writable(i);
            std::size_t kept = 0;
            for (std::size_t j = 0; j < writable.records.size(); ++j) {
                if (stale(*writable.records[j])) {
                    removed(writable.records[j]);
                    ++count;
                    continue;
                }
                writable.keys[kept] = writable.keys[j];
                writable.records[kept] = std::move(writable.records[j]);
                ++kept;
            }
            writable.keys.resize(kept);
            writable.records.resize(kept);
            if (kept == 0) {
                leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(i));
                firstKeys_.erase(firstKeys_.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            firstKeys_[i] = writable.keys.front();
            ++i;
        }
        size_ -= count;
        return count;
    }

private:
    // The leaf that holds, or would hold, key.
    std::size_t LeafFor(const UUID& key) const;
    // Leaf i, copied first when a snapshot shares it.
    Leaf& Writable(std::size_t i);

    std::vector<std::shared_ptr<Leaf>> leaves_;
    // firstKeys_[i] is the smallest key of leaves_[i]: the search runs over this contiguous
    // array instead of touching every leaf.
    std::vector<UUID> firstKeys_;
    std::size_t size_ = 0;
};

}  // namespace brondal::corvane::server
