#pragma once

#include <cstdint>
#include <string>

#include "ResultCodes.h"

namespace brondal {

class IDataStream;

namespace minibson {

// BSON element types this encoder produces.
inline constexpr std::uint8_t TypeDouble = 0x01;
inline constexpr std::uint8_t TypeString = 0x02;
inline constexpr std::uint8_t TypeDocument = 0x03;
inline constexpr std::uint8_t TypeInt32 = 0x10;
inline constexpr std::uint8_t TypeInt64 = 0x12;

// One value of a BSON document tree. Its key and type byte are written by the enclosing
// document; the node writes only its value.
class node {
public:
    virtual ~node() = default;

    virtual std::uint8_t GetType() const = 0;
    // Bytes Serialize writes.
    virtual std::uint32_t GetSize() const = 0;
    [[nodiscard]] virtual Result Serialize(IDataStream* out) const = 0;
    // Appends the value as text; indent < 0 keeps a document on one line, otherwise its
    // elements go on lines of their own, indented by that many tabs plus one.
    virtual void Print(std::string* text, int indent) const = 0;
};

}  // namespace minibson
}  // namespace brondal
