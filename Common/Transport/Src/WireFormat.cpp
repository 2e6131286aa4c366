#include "WireFormat.h"

namespace brondal {

void EncodeChannelId(const UUID& id, std::uint8_t* out) {
    EncodeUInt32(id.Data1, out);
    out[4] = static_cast<std::uint8_t>(id.Data2);
    out[5] = static_cast<std::uint8_t>(id.Data2 >> 8);
    out[6] = static_cast<std::uint8_t>(id.Data3);
    out[7] = static_cast<std::uint8_t>(id.Data3 >> 8);
    for (std::size_t i = 0; i < id.Data4.size(); ++i) {
        out[8 + i] = id.Data4[i];
    }
}

UUID DecodeChannelId(const std::uint8_t* in) {
    UUID id;
    id.Data1 = DecodeUInt32(in);
    id.Data2 = static_cast<std::uint16_t>(in[4] | (in[5] << 8));
    id.Data3 = static_cast<std::uint16_t>(in[6] | (in[7] << 8));
    for (std::size_t i = 0; i < id.Data4.size(); ++i) {
        id.Data4[i] = in[8 + i];
    }
    return id;
}

}  // namespace brondal
