// The table of displays against an ordered map as its model, its snapshots, and the batches
// an enumeration makes of a snapshot.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DirectoryTestSupport.h"
#include "DisplayEnumeration.h"
#include "DisplayTable.h"

namespace brondal::corvane::server {
namespace {

std::shared_ptr<DisplayRecord> Record(const UUID& id, std::string name, std::uint64_t time = 0) {
    auto record = std::make_shared<DisplayRecord>();
    record->displayId = id;
    record->displayName = std::move(name);
    record->lastUpdateTime = time;
    return record;
}

std::vector<DisplayRecord> Contents(const DisplayTable::Snapshot& snapshot) {
    std::vector<DisplayRecord> records;
    DisplayTable::Snapshot::Cursor cursor(snapshot);
    while (const DisplayRecord* record = cursor.Next())
        records.push_back(*record);
    return records;
}

std::vector<DisplayRecord> Contents(const std::map<UUID, DisplayRecord>& model) {
    std::vector<DisplayRecord> records;
    for (const auto& entry : model)
        records.push_back(entry.second);
    return records;
}

// Random adds, refreshes, changes and purges over enough displays to split and empty many
// leaves: the table always matches the model, and a snapshot keeps showing the table as it
// was when taken, whatever happens afterwards.
TEST(DisplayTableTest, MatchesAnOrderedMapAndSnapshotsStayAsTaken) {
    DisplayTable table;
    std::map<UUID, DisplayRecord> model;
    std::mt19937 random(99);
    std::vector<std::pair<DisplayTable::Snapshot, std::vector<DisplayRecord>>> snapshots;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 6000; ++i) {
            const UUID id(random() % 9000, 0, 0, 0);
            const bool change = random() % 4 == 0;
            std::string name = change ? "v" + std::to_string(random() % 3) : "v0";
            auto record = Record(id, name, static_cast<std::uint64_t>(round * 10000 + i));
            auto found = model.find(id);
            const bool changes = found == model.end() || found->second.displayName != name;
            EXPECT_EQ(table.Update(record), changes);
            model[id] = *Record(id, name, static_cast<std::uint64_t>(round * 10000 + i));
        }
        snapshots.emplace_back(table.TakeSnapshot(), Contents(model));
        // Purge one residue class, as a stale test would.
        const std::uint32_t residue = random() % 3;
        std::size_t removed = 0;
        const std::size_t count =
            table.RemoveIf([&](const DisplayRecord& r) { return r.displayId.Data1 % 3 == residue; },
                           [&](std::shared_ptr<DisplayRecord>&) { ++removed; });
        EXPECT_EQ(count, removed);
        std::erase_if(model, [&](const auto& e) { return e.first.Data1 % 3 == residue; });
        ASSERT_EQ(table.Size(), model.size());
        EXPECT_EQ(Contents(table.TakeSnapshot()), Contents(model));
    }
    for (const auto& [snapshot, expected] : snapshots) {
        EXPECT_EQ(snapshot.Size(), expected.size());
        EXPECT_EQ(Contents(snapshot), expected);
    }
    const UUID probe = model.begin()->first;
    ASSERT_NE(table.Find(probe), nullptr);
    EXPECT_EQ(table.Find(probe)->displayName, model.begin()->second.displayName);
    EXPECT_EQ(table.Find(UUID(123456, 1, 1, 1)), nullptr);
}

// A refresh with unchanged content moves the times only; what the caller gets back to free
// is its own record then, the displaced one after a change, and nothing after an add.
TEST(DisplayTableTest, UpdateHandsBackWhatToFree) {
    DisplayTable table;
    auto first = Record(UUID(1, 0, 0, 0), "a", 10);
    EXPECT_TRUE(table.Update(first));
    EXPECT_EQ(first, nullptr);
    auto refresh = Record(UUID(1, 0, 0, 0), "a", 20);
    DisplayRecord* mine = refresh.get();
    EXPECT_FALSE(table.Update(refresh));
    EXPECT_EQ(refresh.get(), mine);
    EXPECT_EQ(table.Find(UUID(1, 0, 0, 0))->lastUpdateTime, 20u);
    auto changed = Record(UUID(1, 0, 0, 0), "b", 30);
    EXPECT_TRUE(table.Update(changed));
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(changed->displayName, "a");
}

struct BatchCase {
    std::uint32_t displays;
    std::size_t nameLength;
    bool extended;
    std::vector<std::uint32_t> counts;
};

class DisplayEnumerationTest : public ::testing::TestWithParam<BatchCase> {};

// Batches of at most 1000 entries, ending early before 16 MiB, in identifier order, the
// end flag on the last only; the empty table is one batch without entries or head.
TEST_P(DisplayEnumerationTest, BatchesOfTheSnapshot) {
    const BatchCase& c = GetParam();
    DisplayTable table;
    for (std::uint32_t i = c.displays; i-- > 0;) {
        auto record = Record(UUID(i, 0, 0, 0), std::string(c.nameLength, 'n'));
        table.Update(record);
    }
    auto enumeration = RefPtr<DisplayEnumeration>::Adopt(
        new DisplayEnumeration(table.TakeSnapshot(), c.extended, 1000, 16u << 20));
    table.RemoveIf([](const DisplayRecord&) { return true; },
                   [](std::shared_ptr<DisplayRecord>&) {});  // the snapshot is unaffected
    std::vector<std::uint32_t> counts;
    std::uint32_t next = 0;
    bool last = false;
    while (!last) {
        RefPtr<IDataStream> arguments;
        ASSERT_EQ(enumeration->Next(&arguments, &last), ResultOk);
        std::uint32_t size = 0;
        arguments->GetSize(&size);
        EXPECT_LE(size, 16u << 20);
        const testing::Batch batch = testing::ReadBatch(arguments.Get(), c.extended);
        EXPECT_TRUE(batch.fullyRead);
        EXPECT_EQ(batch.last, last);
        EXPECT_EQ(batch.extended, c.extended && !batch.entries.empty());
        for (const DisplayRecord& entry : batch.entries)
            EXPECT_EQ(entry.displayId, UUID(next++, 0, 0, 0));
        counts.push_back(static_cast<std::uint32_t>(batch.entries.size()));
    }
    EXPECT_EQ(counts, c.counts);
    EXPECT_EQ(next, c.displays);
    RefPtr<IDataStream> after;
    EXPECT_EQ(enumeration->Next(&after, &last), ResultFail);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DisplayEnumerationTest,
    ::testing::Values(BatchCase{0, 1, true, {0}}, BatchCase{2500, 8, false, {1000, 1000, 500}},
                      BatchCase{2500, 8, true, {1000, 1000, 500}},
                      BatchCase{1000, 20000, false, {837, 163}},
                      BatchCase{150000, 4, true, std::vector<std::uint32_t>(150, 1000)}));

}  // namespace
}  // namespace brondal::corvane::server
