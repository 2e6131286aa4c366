#pragma once

#include <cstdint>
#include <string>

#include "MiniBsonElementList.h"

namespace brondal::minibson {

// A BSON document: int32 total size, the elements, a zero byte. Also usable as an embedded
// document value.
class document final : public node, public element_list {
public:
    std::uint8_t GetType() const override { return TypeDocument; }
    std::uint32_t GetSize() const override { return 4 + GetElementsSize() + 1; }
    [[nodiscard]] Result Serialize(IDataStream* out) const override;
    void Print(std::string* text, int indent) const override;
};

}  // namespace brondal::minibson
