#include "MiniBsonDocument.h"

#include "IDataStream.h"

namespace brondal::minibson {

Result document::Serialize(IDataStream* out) const {
    if (out == nullptr) return ResultNullPointer;
    Result result = out->WriteInt32(static_cast<std::int32_t>(GetSize()));
    if (Succeeded(result)) result = SerializeElements(out);
    if (Succeeded(result)) result = out->WriteUInt8(0);
    return result;
}

void document::Print(std::string* text, int indent) const {
    if (Count() == 0) {
        text->append("{ }");
        return;
    }
    text->append("{");
    if (indent < 0) text->append(" ");
    PrintElements(text, indent);
    if (indent < 0) {
        text->append(" }");
    } else {
        text->append("\n").append(static_cast<std::size_t>(indent), '\t').append("}");
    }
}

}  // namespace brondal::minibson
