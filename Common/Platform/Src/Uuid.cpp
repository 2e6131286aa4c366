#include "Uuid.h"

#include <array>
#include <cstdint>
#include <ostream>

namespace brondal {

namespace {

// Two characters per byte: formatting is on the logging path and builds map keys.
constexpr std::array<char, 512> MakeByteDigits() {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> table{};
    for (int b = 0; b < 256; ++b) {
        table[2 * b] = digits[b >> 4];
        table[2 * b + 1] = digits[b & 0xf];
    }
    return table;
}
constexpr std::array<char, 512> ByteDigits = MakeByteDigits();

// The value of each character as a hexadecimal digit, or -1.
constexpr std::array<std::int8_t, 256> MakeDigitValues() {
    std::array<std::int8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        int value = -1;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        }
        table[c] = static_cast<std::int8_t>(value);
    }
    return table;
}
constexpr std::array<std::int8_t, 256> DigitValues = MakeDigitValues();

// Appends the hexadecimal digits of text to value. False when a character is not a digit or
// the digits so far exceed maxDigits. Signs, spaces and "0x" are refused on purpose: the
// text form has none, and accepting them would let two different texts name one object.
bool AppendHex(std::string_view text, std::size_t maxDigits, std::uint64_t* value,
               std::size_t* digits) {
    if (*digits + text.size() > maxDigits) return false;
    for (char c : text) {
        const int v = DigitValues[static_cast<unsigned char>(c)];
        if (v < 0) return false;
        *value = (*value << 4) | static_cast<std::uint64_t>(v);
    }
    *digits += text.size();
    return true;
}

// The value of a one-part group, or 0 when the group is not hexadecimal.
std::uint64_t ParseGroup(std::string_view group, std::size_t maxDigits) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    if (!AppendHex(group, maxDigits, &value, &digits) || digits == 0) return 0;
    return value;
}

// Writes the Bytes low bytes of value, most significant first.
template <int Bytes>
char* WriteHex(char* out, std::uint64_t value) {
    for (int i = Bytes - 1; i >= 0; --i) {
        const char* pair = &ByteDigits[2 * (value & 0xff)];
        out[2 * i] = pair[0];
        out[2 * i + 1] = pair[1];
        value >>= 8;
    }
    return out + 2 * Bytes;
}

}  // namespace

UUID::UUID(std::string_view text) {
    constexpr std::size_t Separators = 4;
    std::size_t dash[Separators];
    std::size_t found = 0;
    for (std::size_t from = 0; found < Separators; ++found) {
        const std::size_t at = text.find('-', from);
        if (at == std::string_view::npos) break;
        dash[found] = at;
        from = at + 1;
    }
    if (found == 0) return;

    // Group i runs from after separator i-1 to separator i, or to the end of the text when
    // separator i is missing; groups beyond the last separator found do not exist.
    auto group = [&](std::size_t i) {
        const std::size_t begin = i == 0 ? 0 : dash[i - 1] + 1;
        const std::size_t end = i < found ? dash[i] : text.size();
        return text.substr(begin, end - begin);
    };
    Data1 = static_cast<std::uint32_t>(ParseGroup(group(0), 8));
    Data2 = static_cast<std::uint16_t>(ParseGroup(group(1), 4));
    if (found < 2) return;
    Data3 = static_cast<std::uint16_t>(ParseGroup(group(2), 4));
    if (found < 3) return;

    std::uint64_t data4 = 0;
    std::size_t digits = 0;
    bool valid = AppendHex(group(3), 16, &data4, &digits);
    if (valid && found == Separators) {
        valid = AppendHex(text.substr(dash[3] + 1), 16, &data4, &digits);
    }
    if (!valid || digits == 0) return;
    for (int i = 7; i >= 0; --i) {
        Data4[i] = static_cast<std::uint8_t>(data4);
        data4 >>= 8;
    }
}

void UUID::ToChars(char* out) const {
    out = WriteHex<4>(out, Data1);
    *out++ = '-';
    out = WriteHex<2>(out, Data2);
    *out++ = '-';
    out = WriteHex<2>(out, Data3);
    *out++ = '-';
    out = WriteHex<1>(out, Data4[0]);
    out = WriteHex<1>(out, Data4[1]);
    *out++ = '-';
    for (std::size_t i = 2; i < Data4.size(); ++i) {
        out = WriteHex<1>(out, Data4[i]);
    }
}

std::string UUID::ToString() const {
    std::string text(TextLength, '\0');
    ToChars(text.data());
    return text;
}

std::ostream& operator<<(std::ostream& os, const UUID& uuid) {
    char text[UUID::TextLength];
    uuid.ToChars(text);
    return os << std::string_view(text, UUID::TextLength);
}

}  // namespace brondal
