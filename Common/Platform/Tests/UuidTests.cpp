#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <unordered_set>

#include "Scheduler.h"
#include "Uuid.h"

namespace brondal {
namespace {

constexpr char SampleText[] = "7a49fb65-09ab-11de-8c30-0800200c9a66";
const UUID Sample(0x7a49fb65, 0x09ab, 0x11de, 0x8c300800200c9a66);

TEST(UuidText, PrintsAndParsesLowerCaseText) {
    EXPECT_EQ(UUID().ToString(), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(UUID(0xa0a14dd0, 0xdaad, 0x11e3, 0x9c1a0800200c9a66).ToString(),
              "a0a14dd0-daad-11e3-9c1a-0800200c9a66");

    EXPECT_EQ(UUID(SampleText), Sample);
    EXPECT_EQ(UUID("7A49FB65-09AB-11DE-8C30-0800200C9A66"), Sample);
    EXPECT_EQ(Sample.ToString(), SampleText);
    std::ostringstream os;
    os << Sample;
    EXPECT_EQ(os.str(), SampleText);
}

struct ParseCase {
    const char* text;
    UUID expected;
};

TEST(UuidText, MalformedTextKeepsWhatCouldBeParsed) {
    const ParseCase cases[] = {
        {"", UUID()},
        {"7a49fb6509ab11de8c300800200c9a66", UUID()},
        // Fewer separators: the group after the last one runs to the end of the text.
        {"12345678-abcd", UUID(0x12345678, 0xabcd, 0, 0)},
        {"12345678-", UUID(0x12345678, 0, 0, 0)},
        {"12345678-abcd-11de", UUID(0x12345678, 0xabcd, 0x11de, 0)},
        {"12345678-abcd-11de-8c30", UUID(0x12345678, 0xabcd, 0x11de, 0x8c30)},
        {"12345678-abcd-11de-8c300800200c9a66",
         UUID(0x12345678, 0xabcd, 0x11de, 0x8c300800200c9a66)},
        // Data4 is the fourth group joined with the rest, taken as one number.
        {"12345678-abcd-11de-8c30-0800200c9a6",
         UUID(0x12345678, 0xabcd, 0x11de, 0x8c300800200c9a6)},
        {"12345678-abcd-11de-8c30-", UUID(0x12345678, 0xabcd, 0x11de, 0x8c30)},
        {"12345678-abcd-11de--8c300800200c9a66",
         UUID(0x12345678, 0xabcd, 0x11de, 0x8c300800200c9a66)},
        // A group that is not hexadecimal is zero; the others still count.
        {"zz-abcd-11de-8c30-0800200c9a66", UUID(0, 0xabcd, 0x11de, 0x8c300800200c9a66)},
        {"-abcd-11de-8c30-0800200c9a66", UUID(0, 0xabcd, 0x11de, 0x8c300800200c9a66)},
        {"12345678--11de-8c30-0800200c9a66", UUID(0x12345678, 0, 0x11de, 0x8c300800200c9a66)},
        {"+1234567-abcd", UUID(0, 0xabcd, 0, 0)},
        {"0x123456-abcd", UUID(0, 0xabcd, 0, 0)},
        {" 2345678-abcd ", UUID()},
        {"12345678-abcd-11de-8c30-0800200c9a66-", UUID(0x12345678, 0xabcd, 0x11de, 0)},
        {"12345678-abcd-11de-8c30-0800-200c9a66", UUID(0x12345678, 0xabcd, 0x11de, 0)},
        // Too many digits for the member, even when the value would fit.
        {"123456789-abcd", UUID(0, 0xabcd, 0, 0)},
        {"012345678-abcd", UUID(0, 0xabcd, 0, 0)},
        {"12345678-0abcd-11de", UUID(0x12345678, 0, 0x11de, 0)},
        {"12345678-abcd-11de-8c30-0800200c9a6600", UUID(0x12345678, 0xabcd, 0x11de, 0)},
        // Short groups are plain numbers.
        {"1-2-3-4-5", UUID(1, 2, 3, 0x45)},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(UUID(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(UuidOrder, MembersCompareUnsignedInDeclarationOrder) {
    EXPECT_LT(UUID(0, 0, 0, 0x0100000000000000), UUID(0, 0, 0, 0x8000000000000000));
    EXPECT_LT(UUID(0x7fffffff, 0, 0, 0), UUID(0x80000000, 0, 0, 0));
    EXPECT_LT(UUID(0, 0x7fff, 0, 0), UUID(0, 0x8000, 0, 0));
    EXPECT_LT(UUID(0, 0, 0x7fff, 0), UUID(0, 0, 0x8000, 0));
    // Each member outranks every later one.
    EXPECT_LT(UUID(1, 0xffff, 0xffff, ~0ull), UUID(2, 0, 0, 0));
    EXPECT_LT(UUID(1, 1, 0xffff, ~0ull), UUID(1, 2, 0, 0));
    EXPECT_LT(UUID(1, 1, 1, ~0ull), UUID(1, 1, 2, 0));
    EXPECT_LT(UUID(1, 1, 1, 0x00ffffffffffffff), UUID(1, 1, 1, 0x0100000000000000));
    EXPECT_NE(UUID(1, 1, 1, 1), UUID(1, 1, 1, 2));
}

TEST(UuidOrder, IdentifiersDifferingInOneMemberHashApart) {
    // Identifiers built from counters differ in a few low bits of one member only.
    std::unordered_set<std::size_t> hashes;
    const std::hash<UUID> hash;
    hashes.insert(hash(UUID()));
    for (std::uint32_t i = 1; i < 256; ++i) {
        const auto i16 = static_cast<std::uint16_t>(i);
        hashes.insert(hash(UUID(i, 0, 0, 0)));
        hashes.insert(hash(UUID(0, i16, 0, 0)));
        hashes.insert(hash(UUID(0, 0, i16, 0)));
        hashes.insert(hash(UUID(0, 0, 0, i)));
        hashes.insert(hash(UUID(0, 0, 0, std::uint64_t{i} << 56)));
    }
    EXPECT_EQ(hashes.size(), 1u + 5u * 255u);
    EXPECT_EQ(hash(UUID(SampleText)), hash(Sample));
}

TEST(UuidRandom, DistinctVersionFourIdentifiersThatSurviveTheTextForm) {
    constexpr int Count = 10000;
    std::unordered_set<UUID> seen;
    // Every bit outside the version and variant must come out both set and clear.
    UUID anySet;
    UUID allSet(~0u, 0xffff, 0xffff, ~0ull);
    for (int i = 0; i < Count; ++i) {
        UUID uuid;
        GetScheduler().NewUuid(&uuid);
        ASSERT_EQ(uuid.Data3 >> 12, 4) << uuid;
        ASSERT_EQ(uuid.Data4[0] & 0xc0, 0x80) << uuid;
        ASSERT_EQ(UUID(uuid.ToString()), uuid) << uuid;
        seen.insert(uuid);
        anySet.Data1 |= uuid.Data1;
        anySet.Data2 |= uuid.Data2;
        anySet.Data3 |= uuid.Data3;
        allSet.Data1 &= uuid.Data1;
        allSet.Data2 &= uuid.Data2;
        allSet.Data3 &= uuid.Data3;
        for (std::size_t b = 0; b < 8; ++b) {
            anySet.Data4[b] |= uuid.Data4[b];
            allSet.Data4[b] &= uuid.Data4[b];
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(Count));
    EXPECT_EQ(anySet, UUID(0xffffffff, 0xffff, 0x4fff, 0xbfffffffffffffff));
    EXPECT_EQ(allSet, UUID(0, 0, 0x4000, 0x8000000000000000));
}

}  // namespace
}  // namespace brondal
