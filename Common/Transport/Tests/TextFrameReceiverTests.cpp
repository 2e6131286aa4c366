// Text frames and raw chunks: the framings of connections without binary frames.
#include <gtest/gtest.h>

#include <string>

#include "MemoryByteSource.h"
#include "RawChunk.h"
#include "TextFrameReceiver.h"

namespace brondal {
namespace {

using testing::Bytes;
using Texts = std::vector<std::string>;

class TextFrameReceiverTest : public ::testing::Test {
protected:
    Texts Pass() {
        Texts texts;
        receiver.ReceivePass(*source, [&](IDataStream* stream) {
            EXPECT_EQ(stream->ReadString(&texts.emplace_back()), ResultOk);
        });
        return texts;
    }

    RefPtr<testing::MemoryByteSource> source = testing::MemoryByteSource::Create();
    TextFrameReceiver receiver;
};

TEST_F(TextFrameReceiverTest, PrefixInAnyCaseAndTextUpToTheFirstSemicolon) {
    source->Append("noise brdmsg:Hello There;BrDmSg:a;b;BRDMSG:c;");
    EXPECT_EQ(Pass(), (Texts{"Hello There;", "a;", "c;"}));
    EXPECT_EQ(source->Available(), 0u);
}

// A peer that stops inside the prefix must leave nothing readable behind: the reader would
// otherwise find the same bytes ready on every pass and spin.
TEST_F(TextFrameReceiverTest, PartialPrefixIsConsumedAndCompletedLater) {
    source->Append("xxbRd");
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(source->Available(), 0u);
    EXPECT_EQ(receiver.PrefixMatched(), 3u);
    source->Append("BRDmsg:late;");  // the partial match is given up where it breaks
    EXPECT_EQ(Pass(), Texts{"late;"});
    source->Append("BR");
    EXPECT_TRUE(Pass().empty());
    source->Append("DMSG:joined;");
    EXPECT_EQ(Pass(), Texts{"joined;"});
}

TEST_F(TextFrameReceiverTest, SemicolonMustComeWithin101Attempts) {
    source->Append("BRDMSG:" + std::string(100, 'x') + ";");
    EXPECT_EQ(Pass(), Texts{std::string(100, 'x') + ";"});
    // Without ';' in 101 bytes nothing is delivered; the next pass searches on from there.
    source->Append("BRDMSG:" + std::string(101, 'y') + "z;BRDMSG:next;");
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(Pass(), Texts{"next;"});

    // Reads that bring nothing count too.
    int waits = 0;
    source->Append("BRDMSG:ab");
    source->OnWait([&](std::uint32_t timeoutMs) {
        EXPECT_EQ(timeoutMs, TextFrameReceiver::ByteWaitMs);
        if (++waits == 50) source->Append("c;");
    });
    EXPECT_EQ(Pass(), Texts{"abc;"});
    waits = 0;
    source->Append("BRDMSG:de");
    source->OnWait([&](std::uint32_t) { ++waits; });
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(waits, 101);

    // A closed source ends the frame at once.
    source->Append("BRDMSG:unfinished");
    source->Close();
    waits = 0;
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(waits, 11);
}

TEST(RawChunkTest, ChunkIsAddressesCountAndAtMost10240Bytes) {
    auto source = testing::MemoryByteSource::Create();
    source->Append(Bytes(MaxRawChunk, 0x5a));
    source->Append(Bytes{0xde, 0xad});
    RefPtr<IDataStream> chunk;
    EXPECT_EQ(ReceiveRawChunk(*source, 1, 2, chunk.Receive()), std::int32_t{MaxRawChunk});
    EXPECT_EQ(ReceiveRawChunk(*source, 0xc0a80102, 0x7f000001, chunk.Receive()), 2);
    Bytes wire(14);
    ASSERT_EQ(chunk->ReadBytes(wire.data(), 14), ResultOk);
    EXPECT_EQ(wire, (Bytes{0x02, 0x01, 0xa8, 0xc0, 0x01, 0, 0, 0x7f, 2, 0, 0, 0, 0xde, 0xad}));
    chunk.Reset();
    EXPECT_EQ(ReceiveRawChunk(*source, 1, 2, chunk.Receive()), IByteSource::Pending);
    EXPECT_FALSE(chunk);
}

}  // namespace
}  // namespace brondal
