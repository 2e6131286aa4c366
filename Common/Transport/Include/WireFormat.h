#pragma once

#include <cstddef>
#include <cstdint>

#include "Uuid.h"

namespace brondal {

// The fixed bytes and limits of what a transport connection carries. Integers on the wire
// are little-endian; identifiers inside frames use the 16-byte serial form of UUID.

// Binary frame: marker (the six letters and a zero byte), payload length, channel
// identifier, payload.
inline constexpr std::uint8_t FrameMarker[7] = {'B', 'R', 'D', 'M', 'S', 'G', 0};
inline constexpr std::size_t FrameMarkerLength = sizeof(FrameMarker);
inline constexpr std::size_t FrameLengthOffset = 7;
inline constexpr std::size_t FrameChannelOffset = 11;
inline constexpr std::size_t ChannelIdLength = 16;
inline constexpr std::size_t FrameHeaderLength = 27;
// The largest payload either end accepts (100 MiB); the length field counts the payload only.
inline constexpr std::uint32_t MaxFramePayload = 104857600;

// Text frame prefix; the text after it runs up to and including the first ';'.
inline constexpr std::uint8_t TextFramePrefix[7] = {'B', 'R', 'D', 'M', 'S', 'G', ':'};
inline constexpr std::size_t TextFramePrefixLength = sizeof(TextFramePrefix);

// Carries the peer's keep-alive settings: send interval and timeout, UInt32 milliseconds each.
inline constexpr UUID KeepAliveSettingsId(0x2783ffd0, 0x7ec7, 0x11e2, 0x9e960800200c9a66);
// A ping: an empty payload.
inline constexpr UUID KeepAlivePingId(0x2783ffd1, 0x7ec7, 0x11e2, 0x9e960800200c9a66);
// Text frames and raw chunks reach listeners under the nil channel.
inline constexpr UUID NilChannelId{};

// The serial form of an identifier to and from raw bytes, for headers built without a stream.
void EncodeChannelId(const UUID& id, std::uint8_t* out);
UUID DecodeChannelId(const std::uint8_t* in);

inline void EncodeUInt32(std::uint32_t value, std::uint8_t* out) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint32_t DecodeUInt32(const std::uint8_t* in) {
    return std::uint32_t{in[0]} | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[2]} << 16) |
           (std::uint32_t{in[3]} << 24);
}

}  // namespace brondal
