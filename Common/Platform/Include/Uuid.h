#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace brondal {

// Names RPC objects, calls, channels and transport connections. Text form: 36 lower-case
// characters; the 16-byte serial form is written and read with the data stream
// (UuidStream.h). The all-zero value (nil) means "none".
class UUID final {
public:
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    constexpr UUID() = default;
    // data4's big-endian bytes become Data4[0..7], so the last two groups of the text form
    // read as the hexadecimal value.
    constexpr UUID(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3,
                   std::uint64_t data4)
        : Data1(data1), Data2(data2), Data3(data3) {
        for (int i = 7; i >= 0; --i) {
            Data4[i] = static_cast<std::uint8_t>(data4);
            data4 >>= 8;
        }
    }
    // Parses the text form. The text is split at its first four '-'; a text without '-' is
    // nil, and a text with fewer than four keeps the members whose groups it has (the group
    // after the last '-' runs to the end). The fourth group and everything after the fourth
    // '-' together are Data4, read as one big-endian hexadecimal number. A group that is
    // empty, holds anything but hexadecimal digits (either case) or has more digits than
    // its member holds (8, 4, 4, 16) leaves that member zero; the other groups still count.
    explicit UUID(std::string_view text);

    UUID(const UUID&) = default;
    UUID& operator=(const UUID&) = default;

    static constexpr std::size_t TextLength = 36;

    std::string ToString() const;
    // Writes the TextLength characters of the text form to out, without a terminator.
    void ToChars(char* out) const;
    bool IsNil() const { return *this == UUID(); }

    // The 16 bytes compared as two words (the members leave no padding): comparing the
    // array member by member was a library call, on every look-up of a connection or channel.
    friend bool operator==(const UUID& a, const UUID& b) {
        std::uint64_t x[2];
        std::uint64_t y[2];
        std::memcpy(x, &a, sizeof x);
        std::memcpy(y, &b, sizeof y);
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    }
    // By Data1, Data2, Data3, then Data4 byte by byte, all unsigned.
    friend std::strong_ordering operator<=>(const UUID& a, const UUID& b) {
        if (auto c = a.Data1 <=> b.Data1; c != 0) return c;
        if (auto c = a.Data2 <=> b.Data2; c != 0) return c;
        if (auto c = a.Data3 <=> b.Data3; c != 0) return c;
        return a.Data4 <=> b.Data4;
    }
};
static_assert(sizeof(UUID) == 16, "an identifier is its 16 bytes, compared as two words");

std::ostream& operator<<(std::ostream& os, const UUID& uuid);

}  // namespace brondal

// Lets identifiers key unordered maps. Random identifiers would hash well on any member, but
// ones built from parts may differ in a few bits of one member only, so every bit is mixed in.
template <>
struct std::hash<brondal::UUID> {
    std::size_t operator()(const brondal::UUID& uuid) const noexcept {
        // The two words as they lie in memory, as operator== reads them: every connection
        // and channel look-up hashes, and assembling the members byte by byte cost more
        // than the look-up itself.
        std::uint64_t word[2];
        std::memcpy(word, &uuid, sizeof word);
        const std::uint64_t high = word[0];
        const std::uint64_t low = word[1];
        // The 64-bit finaliser of MurmurHash3 over a multiplicative combination of halves.
        std::uint64_t h = high * 0x9e3779b97f4a7c15u + low;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdu;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53u;
        h ^= h >> 33;
        return static_cast<std::size_t>(h);
    }
};
