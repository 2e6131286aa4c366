// The event log's records, read back by an independent BSON library.
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FastLog.h"
#include "IDataStream.h"
#include "ManualClockScheduler.h"
#include "MiniBsonDocument.h"
#include "MiniBsonScalar.h"
#include "RefPtr.h"

namespace brondal {
namespace {

std::vector<std::uint8_t> Encode(const auto& record) {
    RefPtr<IDataStream> out;
    NewDataStream(out.Receive());
    EXPECT_EQ(record.Serialize(out.Get()), ResultOk);
    std::uint32_t size = 0;
    out->GetSize(&size);
    std::vector<std::uint8_t> bytes(size);
    EXPECT_EQ(out->ReadBytes(bytes.data(), size), ResultOk);
    return bytes;
}

TEST(FastLogTests, SendRecordIsAValidBsonDocumentWithTheLoggedFields) {
    testing::ManualClockScheduler clock;
    const std::int64_t ms = static_cast<std::int64_t>(FastLog::CounterFrequency() / 1000);
    // 100 bytes to 192.168.0.1:53200, 2.5 ms waiting for the window, 0.25 ms sending.
    FastLog::Send record(0xC0A80001, 53200, 100, 7 * ms, 7 * ms + 5 * ms / 2,
                         7 * ms + 5 * ms / 2 + ms / 4);
    const std::vector<std::uint8_t> bytes = Encode(record);

    bson_t doc;
    ASSERT_TRUE(bson_init_static(&doc, bytes.data(), bytes.size()));
    ASSERT_TRUE(bson_validate(&doc, BSON_VALIDATE_NONE, nullptr));
    std::vector<std::pair<std::string, bson_type_t>> elements;
    bson_iter_t it;
    for (bson_iter_init(&it, &doc); bson_iter_next(&it);) {
        elements.emplace_back(bson_iter_key(&it), bson_iter_type(&it));
    }
    EXPECT_EQ(elements, (decltype(elements){{"bytes", BSON_TYPE_INT32},
                                            {"epoch", BSON_TYPE_INT64},
                                            {"fc-delay", BSON_TYPE_DOUBLE},
                                            {"ip", BSON_TYPE_INT32},
                                            {"net-delay", BSON_TYPE_DOUBLE},
                                            {"port", BSON_TYPE_INT32},
                                            {"type", BSON_TYPE_UTF8}}));
    auto find = [&](const char* key) {
        EXPECT_TRUE(bson_iter_init_find(&it, &doc, key)) << key;
        return &it;
    };
    EXPECT_EQ(bson_iter_int32(find("bytes")), 100);
    EXPECT_EQ(bson_iter_int64(find("epoch")), testing::ManualClockScheduler::DefaultStartMs);
    EXPECT_EQ(bson_iter_double(find("fc-delay")), 2.5);
    EXPECT_EQ(static_cast<std::uint32_t>(bson_iter_int32(find("ip"))), 0xC0A80001u);
    EXPECT_EQ(bson_iter_double(find("net-delay")), 0.25);
    EXPECT_EQ(bson_iter_int32(find("port")), 53200);
    EXPECT_STREQ(bson_iter_utf8(find("type"), nullptr), "send");
}

TEST(FastLogTests, DocumentsNestAndRefuseKeysTheyCouldNotEncode) {
    using namespace minibson;
    document outer;
    auto inner = std::make_unique<document>();
    ASSERT_EQ(inner->Set("", std::make_unique<minibson::string>("")), ResultOk);
    ASSERT_EQ(outer.Set("z", std::make_unique<int64>(-2)), ResultOk);
    ASSERT_EQ(outer.Set("a", std::move(inner)), ResultOk);
    // Replaced, not duplicated.
    ASSERT_EQ(outer.Set("z", std::make_unique<int64>(-3)), ResultOk);
    EXPECT_EQ(outer.Set(std::string("b\0c", 3), std::make_unique<int32>(1)), ResultInvalidArgument);

    const std::vector<std::uint8_t> bytes = Encode(outer);
    // { "a": { "": "" }, "z": int64 -3 }
    // clang-format off
    const std::vector<std::uint8_t> expected = {
        31, 0, 0, 0,                                                  // total size
        0x03, 'a', 0, 12, 0, 0, 0, 0x02, 0, 1, 0, 0, 0, 0, 0,         // embedded document
        0x12, 'z', 0, 0xfd, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, // int64
        0};
    // clang-format on
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(outer.GetSize(), bytes.size());

    bson_t doc;
    ASSERT_TRUE(bson_init_static(&doc, bytes.data(), bytes.size()));
    EXPECT_TRUE(bson_validate(&doc, BSON_VALIDATE_NONE, nullptr));

    std::string oneLine, indented;
    outer.Print(&oneLine, -1);
    outer.Print(&indented, 0);
    EXPECT_EQ(oneLine, R"({ "a": { "": "" }, "z": -3 })");
    EXPECT_EQ(indented, "{\n\t\"a\": {\n\t\t\"\": \"\"\n\t},\n\t\"z\": -3\n}");
}

class ProbeRecord final : public FastLog::Message {
public:
    explicit ProbeRecord(bool* destroyed) : destroyed_(destroyed) {}
    ~ProbeRecord() override { *destroyed_ = true; }
    Result Serialize(IDataStream*) const override { return ResultOk; }

private:
    bool* destroyed_;
};

class OneSlotSink final : public FastLog::Sink {
public:
    Result Post(std::unique_ptr<FastLog::Message> record) override {
        if (queued) return ResultFail;
        queued = std::move(record);
        return ResultOk;
    }
    std::unique_ptr<FastLog::Message> queued;
};

TEST(FastLogTests, LogDropsTheRecordUnlessASinkQueuesIt) {
    bool destroyed[3] = {};
    EXPECT_EQ(FastLog::Log(std::make_unique<ProbeRecord>(&destroyed[0])), ResultFail);
    EXPECT_TRUE(destroyed[0]);

    OneSlotSink sink;
    ASSERT_EQ(FastLog::ExchangeSink(&sink), nullptr);
    EXPECT_EQ(FastLog::Log(std::make_unique<ProbeRecord>(&destroyed[1])), ResultOk);
    EXPECT_EQ(FastLog::Log(std::make_unique<ProbeRecord>(&destroyed[2])), ResultFail);
    EXPECT_EQ(FastLog::ExchangeSink(nullptr), &sink);
    EXPECT_FALSE(destroyed[1]);
    EXPECT_TRUE(destroyed[2]);
}

}  // namespace
}  // namespace brondal
