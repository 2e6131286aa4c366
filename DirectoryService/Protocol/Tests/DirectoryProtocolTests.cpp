// The directory's wire layouts, checked against streams built value by value here rather
// than by the code under test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DirectoryProtocol.h"
#include "DisplayBatchWriter.h"
#include "RefPtr.h"
#include "UuidStream.h"

namespace brondal::corvane {
namespace {

RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    return stream;
}

std::string Bytes(IDataStream* stream) {
    std::uint32_t size = 0;
    stream->GetSize(&size);
    std::string bytes(size, '\0');
    stream->SetPosition(0);
    stream->ReadBytes(bytes.data(), size);
    return bytes;
}

const UUID FirstId("00112233-4455-6677-8899-aabbccddeeff");
const UUID SecondId("10000000-0000-0000-0000-000000000002");

// The 16-byte serial form of FirstId, written out: Data1..3 little-endian, Data4 in order.
const std::string FirstIdBytes("\x33\x22\x11\x00\x55\x44\x77\x66\x88\x99\xaa\xbb\xcc\xdd\xee\xff",
                               16);

void WriteEntry(IDataStream* s, const std::string& id, const std::string& secondary,
                const std::string& name, std::uint32_t address, std::uint16_t port,
                std::uint32_t tag, const std::string* extra) {
    s->WriteBytes(id.data(), 16);
    s->WriteString(secondary);
    s->WriteString(name);
    s->WriteUInt32(address);
    s->WriteUInt16(port);
    s->WriteUInt32(tag);
    if (extra) s->WriteString(*extra);
}

std::string SerialForm(const UUID& id) {
    RefPtr<IDataStream> s = NewStream();
    SerializeUuid(s.Get(), id);
    return Bytes(s.Get());
}

TEST(DisplayBatchWriterTest, EncodesAsTheStreamWritesWould) {
    const std::vector<DisplayRecord> records = {
        {UUID(0x01020304, 0x0506, 0x0708, 0x090a0b0c0d0e0f10), "", "", 0, 0, 0, "", 0},
        {UUID(0xa0a14dd0, 0xdaad, 0x11e3, 0x9c1a0800200c9a66), "Lobby screen",
         "A display name longer than the small-string buffer", 0xc0a80102, 0xfffe, 0xdeadbeef,
         "extra text", 0}};
    for (const bool extended : {false, true}) {
        for (const bool last : {false, true}) {
            RefPtr<IDataStream> expected = NewStream();
            if (extended) {
                expected->WriteBytes("70c61d80-58b3-4b56-822a-35ed79be5840", 36);
                expected->WriteUInt16(1);
            }
            expected->WriteUInt32(2);
            for (const DisplayRecord& r : records) {
                SerializeUuid(expected.Get(), r.displayId);
                expected->WriteString(r.secondaryName);
                expected->WriteString(r.displayName);
                expected->WriteUInt32(r.address);
                expected->WriteUInt16(r.port);
                expected->WriteUInt32(r.tag);
                if (extended) expected->WriteString(r.extra);
            }
            expected->WriteBool(last);

            const DisplayBatchWriter writer(extended);
            RefPtr<IDataStream> batch;
            ASSERT_EQ(writer.Write(records.begin(), 2,
                                   writer.EntrySize(records[0]) + writer.EntrySize(records[1]),
                                   last, &batch),
                      ResultOk);
            EXPECT_EQ(Bytes(batch.Get()), Bytes(expected.Get())) << extended << last;
        }
        // The empty table: count 0 and the end flag, without the head in either form.
        RefPtr<IDataStream> empty;
        ASSERT_EQ(DisplayBatchWriter(extended).Write(records.begin(), 0, 0, true, &empty),
                  ResultOk);
        EXPECT_EQ(Bytes(empty.Get()), std::string("\0\0\0\0\x01", 5));
    }
}

TEST(DisplayBatchDecoding, PlainBatchPutsTheSecondaryNameFirst) {
    RefPtr<IDataStream> s = NewStream();
    s->WriteUInt32(2);
    WriteEntry(s.Get(), FirstIdBytes, "lobby-2", "Lobby", 0x0a000001, 8080, 7, nullptr);
    WriteEntry(s.Get(), SerialForm(SecondId), "", "Hall", 0xc0a80102, 1, 1, nullptr);
    s->WriteBool(false);

    DisplayBatch batch;
    ASSERT_EQ(DecodeDisplayBatch(s.Get(), &batch), ResultOk);
    EXPECT_FALSE(batch.extended);
    EXPECT_FALSE(batch.last);
    ASSERT_EQ(batch.entries.size(), 2u);
    const DisplayRecord& first = batch.entries[0];
    EXPECT_EQ(first.displayId, FirstId);
    EXPECT_EQ(first.displayName, "Lobby");
    EXPECT_EQ(first.secondaryName, "lobby-2");
    EXPECT_EQ(first.address, 0x0a000001u);
    EXPECT_EQ(first.port, 8080);
    EXPECT_EQ(first.tag, 7u);
    EXPECT_EQ(first.extra, "");
    EXPECT_EQ(batch.entries[1].displayId, SecondId);
    EXPECT_EQ(batch.entries[1].displayName, "Hall");
}

TEST(DisplayBatchDecoding, ExtendedBatchIsRecognisedByItsMarkerAndCarriesExtra) {
    RefPtr<IDataStream> s = NewStream();
    s->WriteBytes("70c61d80-58b3-4b56-822a-35ed79be5840", 36);
    s->WriteUInt16(1);
    s->WriteUInt32(1);
    const std::string extra = "room 4";
    WriteEntry(s.Get(), FirstIdBytes, "sec", "name", 1, 2, 3, &extra);
    s->WriteBool(true);

    DisplayBatch batch;
    ASSERT_EQ(DecodeDisplayBatch(s.Get(), &batch), ResultOk);
    EXPECT_TRUE(batch.extended);
    EXPECT_TRUE(batch.last);
    ASSERT_EQ(batch.entries.size(), 1u);
    EXPECT_EQ(batch.entries[0].extra, "room 4");
    EXPECT_EQ(batch.entries[0].tag, 3u);
}

TEST(DisplayBatchDecoding, EmptyTableBatchHasNoHeadEvenWhenExtendedWasAsked) {
    RefPtr<IDataStream> s = NewStream();
    s->WriteUInt32(0);
    s->WriteBool(true);
    DisplayBatch batch;
    ASSERT_EQ(DecodeDisplayBatch(s.Get(), &batch), ResultOk);
    EXPECT_TRUE(batch.entries.empty());
    EXPECT_TRUE(batch.last);
}

TEST(DisplayBatchDecoding, EveryTruncationFailsAndLeavesTheOutputAlone) {
    RefPtr<IDataStream> full = NewStream();
    full->WriteBytes("70c61d80-58b3-4b56-822a-35ed79be5840", 36);
    full->WriteUInt16(1);
    full->WriteUInt32(1);
    const std::string extra = "x";
    WriteEntry(full.Get(), FirstIdBytes, "s", "n", 1, 2, 3, &extra);
    full->WriteBool(true);
    const std::string bytes = Bytes(full.Get());

    // Cutting inside the marker makes a "plain" batch whose count is huge: still a failure.
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        RefPtr<IDataStream> s = NewStream();
        s->WriteBytes(bytes.data(), static_cast<std::uint32_t>(cut));
        DisplayBatch batch;
        batch.last = true;
        EXPECT_EQ(DecodeDisplayBatch(s.Get(), &batch), ResultFail) << "cut at " << cut;
        EXPECT_TRUE(batch.last && batch.entries.empty()) << "cut at " << cut;
    }
}

TEST(DisplayBatchDecoding, AHugeCountWithoutTheBytesFailsWithoutReservingForIt) {
    RefPtr<IDataStream> s = NewStream();
    s->WriteUInt32(0xfffffff0u);
    s->WriteBool(true);
    DisplayBatch batch;
    EXPECT_EQ(DecodeDisplayBatch(s.Get(), &batch), ResultFail);
}

TEST(RequestEncoding, UpdateWithoutTagOrExtraSendsOnlyTheFiveValuesNameFirst) {
    DisplayUpdate update;
    update.displayId = FirstId;
    update.displayName = "Lobby";
    update.secondaryName = "lobby-2";
    update.address = 0x0a000001;
    update.port = 0x1f90;
    RefPtr<IDataStream> s = NewStream();
    ASSERT_EQ(EncodeDisplayUpdate(update, s.Get()), ResultOk);
    const std::string expected = FirstIdBytes + std::string("\x05\0\0\0Lobby", 9) +
                                 std::string("\x07\0\0\0lobby-2", 11) +
                                 std::string("\x01\0\0\x0a", 4) + std::string("\x90\x1f", 2);
    EXPECT_EQ(Bytes(s.Get()), expected);
}

TEST(RequestEncoding, ExtraWithoutTagSendsTagOne) {
    DisplayUpdate update;
    update.extra = "e";
    RefPtr<IDataStream> s = NewStream();
    ASSERT_EQ(EncodeDisplayUpdate(update, s.Get()), ResultOk);
    const std::string bytes = Bytes(s.Get());
    // id, two empty strings, address, port, then the tag and the extra.
    EXPECT_EQ(bytes.substr(16 + 4 + 4 + 4 + 2), std::string("\x01\0\0\0\x01\0\0\0e", 9));
}

TEST(RequestEncoding, EnumerationRequestIsTheFlagThenTheVersion) {
    RefPtr<IDataStream> s = NewStream();
    ASSERT_EQ(EncodeEnumerationRequest(true, 0x0102030405060708ull, s.Get()), ResultOk);
    EXPECT_EQ(Bytes(s.Get()), std::string("\x01\x08\x07\x06\x05\x04\x03\x02\x01", 9));
}

}  // namespace
}  // namespace brondal::corvane
