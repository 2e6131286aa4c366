// The protocol's display-batch decoder and the client's table assembler.
//
// Even mode: the remaining bytes as a batch, split into chunks. What the decoder accepts,
// the batch writer must encode back into exactly the bytes the decoder consumed
// (the end flag reads true for any non-zero byte, and an extended head may come with no
// entries, which the writer never sends).
//
// Odd mode: batches of entries from the fuzzer, written by the batch writer, must
// decode to the same entries, and the assembler must hand out each table exactly when its
// last batch arrives, holding the entries of its batches in order.
#include "DirectoryProtocol.h"
#include "DisplayBatchWriter.h"
#include "FuzzStreams.h"
#include "FuzzSupport.h"
#include "TableAssembler.h"

namespace brondal::fuzz {
namespace {

using corvane::DecodeDisplayBatch;
using corvane::DisplayBatch;
using corvane::DisplayBatchWriter;
using corvane::DisplayRecord;
using corvane::client::TableAssembler;

Bytes Written(const std::vector<DisplayRecord>& records, bool extended, bool last) {
    const DisplayBatchWriter writer(extended);
    std::size_t bytes = 0;
    for (const DisplayRecord& record : records)
        bytes += writer.EntrySize(record);
    RefPtr<IDataStream> batch;
    FUZZ_CHECK(writer.Write(records.begin(), static_cast<std::uint32_t>(records.size()), bytes,
                            last, &batch) == ResultOk);
    const Bytes written = RestOf(batch.Get());
    FUZZ_CHECK(written.size() ==
               writer.BatchSize(static_cast<std::uint32_t>(records.size()), bytes));
    return written;
}

void CheckDecoded(const Bytes& bytes, std::size_t piece) {
    RefPtr<IDataStream> stream = StreamOf(bytes, piece);
    DisplayBatch batch;
    if (Failed(DecodeDisplayBatch(stream.Get(), &batch))) return;
    std::uint32_t consumed = 0;
    stream->GetPosition(&consumed);
    FUZZ_CHECK(consumed >= 5 && consumed <= bytes.size());

    const std::size_t head = corvane::ExtendedBatchMarker.size() + 2;
    Bytes expected = Written(batch.entries, batch.extended, batch.last);
    if (batch.extended && batch.entries.empty()) {
        expected.insert(expected.begin(), bytes.begin(), bytes.begin() + head);
    }
    FUZZ_CHECK(expected.size() == consumed);
    FUZZ_CHECK(std::equal(expected.begin(), expected.end() - 1, bytes.begin()));
    FUZZ_CHECK((bytes[consumed - 1] != 0) == batch.last);
}

void CheckWritten(FuzzInput& input) {
    TableAssembler assembler;
    std::vector<DisplayRecord> table;
    while (!input.Empty()) {
        const bool extended = input.Bool();
        const bool last = input.Bool();
        std::vector<DisplayRecord> entries(input.Byte() % 6);
        for (DisplayRecord& entry : entries) {
            entry.displayId.Data1 = input.Take<std::uint32_t>();
            entry.displayId.Data4[7] = input.Byte();
            entry.displayName = input.Text(input.Byte());
            entry.secondaryName = input.Text(input.Byte());
            entry.address = input.Take<std::uint32_t>();
            entry.port = input.Take<std::uint16_t>();
            entry.tag = input.Take<std::uint32_t>();
            // The plain form carries no extra text.
            if (extended) entry.extra = input.Text(input.Byte());
        }
        const Bytes bytes = Written(entries, extended, last);
        DisplayBatch batch;
        RefPtr<IDataStream> stream = StreamOf(bytes, input.Byte() % 16);
        FUZZ_CHECK(DecodeDisplayBatch(stream.Get(), &batch) == ResultOk);
        FUZZ_CHECK(RestOf(stream.Get()).empty());
        FUZZ_CHECK(batch.entries == entries && batch.last == last);
        // The empty table's batch goes without the head.
        FUZZ_CHECK(batch.extended == (extended && !entries.empty()));

        table.insert(table.end(), entries.begin(), entries.end());
        FUZZ_CHECK(assembler.Add(std::move(batch)) == last);
        if (last) {
            FUZZ_CHECK(assembler.Take() == table);
            table.clear();
        }
    }
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    const DisplayRecord lobby{UUID(0x6f1c0e2a, 0x3b4d, 0x4e5f, 0x8a9b0c1d2e3f4a5b),
                              "lobby-2",
                              "Lobby",
                              0x0a000011,
                              8080,
                              1,
                              "first floor"};
    DisplayRecord plain = lobby;
    plain.extra.clear();
    auto decode = [](const Bytes& bytes, std::uint8_t piece = 0) {
        return SeedWriter().Byte(0).Byte(piece).Append(bytes).Get();
    };
    Bytes extendedEmpty(corvane::ExtendedBatchMarker.begin(), corvane::ExtendedBatchMarker.end());
    extendedEmpty.insert(extendedEmpty.end(), {1, 0, 0, 0, 0, 0, 2});
    Bytes badForm = Written({lobby}, true, true);
    badForm[36] = 2;
    const Bytes two = Written({plain, plain}, false, false);
    Bytes trailing = Written({plain}, false, true);
    trailing.insert(trailing.end(), {9, 9, 9});

    SeedWriter batches;
    batches.Byte(1);
    for (const bool last : {false, true}) {
        batches.Byte(1).Byte(last ? 1 : 0).Byte(1);
        batches.Put(lobby.displayId.Data1)
            .Byte(lobby.displayId.Data4[7])
            .Sized(Bytes{'L', 'o', 'b', 'b', 'y'});
        batches.Sized(Bytes{'l', '2'}).Put(lobby.address).Put(lobby.port).Put(lobby.tag);
        batches.Sized(Bytes{'x'}).Byte(3);
    }
    batches.Byte(1).Byte(1).Byte(0).Byte(0);
    return {
        {"plain", decode(Written({plain}, false, true))},
        {"extended-in-pieces", decode(Written({lobby, lobby}, true, false), 7)},
        {"empty-table", decode(Written({}, true, true))},
        {"extended-head-no-entries", decode(extendedEmpty)},
        {"unknown-form", decode(badForm)},
        {"count-beyond-bytes", decode({0xff, 0xff, 0xff, 0x7f, 1})},
        {"cut-in-entry", decode(Bytes(two.begin(), two.begin() + 40))},
        {"trailing-bytes", decode(trailing, 3)},
        {"batches", batches.Get()},
    };
}

void FuzzOne(FuzzInput& input) {
    if ((input.Byte() & 1) != 0) {
        CheckWritten(input);
    } else {
        const std::size_t piece = input.Byte() % 64;
        CheckDecoded(input.Rest(), piece);
    }
}

}  // namespace brondal::fuzz
