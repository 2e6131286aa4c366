#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "MiniBsonNode.h"

namespace brondal::minibson {

// The elements of a document: keys mapped to owned values, kept in byte-wise key order,
// which is the order they are encoded in.
class element_list {
public:
    // Replaces any value under the key. A key holding a zero byte could not be told apart
    // from its terminator when read back, so it is refused with ResultInvalidArgument (and the
    // value dropped).
    [[nodiscard]] Result Set(const std::string& key, std::unique_ptr<node> value);
    const node* Get(const std::string& key) const;
    std::size_t Count() const { return elements_.size(); }

protected:
    // Sum over the elements of type byte, key, terminating zero and value.
    std::uint32_t GetElementsSize() const;
    [[nodiscard]] Result SerializeElements(IDataStream* out) const;
    void PrintElements(std::string* text, int indent) const;

private:
    std::map<std::string, std::unique_ptr<node>> elements_;
};

}  // namespace brondal::minibson
