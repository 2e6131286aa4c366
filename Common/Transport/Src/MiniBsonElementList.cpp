#include "MiniBsonElementList.h"

#include "IDataStream.h"

namespace brondal::minibson {

Result element_list::Set(const std::string& key, std::unique_ptr<node> value) {
    if (value == nullptr) return ResultNullPointer;
    if (key.find('\0') != std::string::npos) return ResultInvalidArgument;
    elements_[key] = std::move(value);
    return ResultOk;
}

const node* element_list::Get(const std::string& key) const {
    auto found = elements_.find(key);
    return found == elements_.end() ? nullptr : found->second.get();
}

std::uint32_t element_list::GetElementsSize() const {
    std::uint32_t size = 0;
    for (const auto& [key, value] : elements_) {
        size += 1 + static_cast<std::uint32_t>(key.size()) + 1 + value->GetSize();
    }
    return size;
}

Result element_list::SerializeElements(IDataStream* out) const {
    for (const auto& [key, value] : elements_) {
        Result result = out->WriteUInt8(value->GetType());
        // The key with its terminating zero.
        if (Succeeded(result)) {
            result = out->WriteBytes(key.c_str(), static_cast<std::uint32_t>(key.size() + 1));
        }
        if (Succeeded(result)) result = value->Serialize(out);
        if (Failed(result)) return result;
    }
    return ResultOk;
}

void element_list::PrintElements(std::string* text, int indent) const {
    bool first = true;
    for (const auto& [key, value] : elements_) {
        if (indent < 0) {
            if (!first) text->append(", ");
        } else {
            if (!first) text->append(",");
            text->append("\n").append(static_cast<std::size_t>(indent) + 1, '\t');
        }
        first = false;
        text->append("\"").append(key).append("\": ");
        value->Print(text, indent < 0 ? indent : indent + 1);
    }
}

}  // namespace brondal::minibson
