#pragma once

#include <cstdint>

#include "IByteSource.h"
#include "IDataStream.h"
#include "ResultCodes.h"

namespace brondal {

// Connections without framing hand their bytes to listeners as raw chunks: peer IPv4
// address, local IPv4 address (both host-order numbers, first octet most significant),
// byte count, then the bytes.
inline constexpr std::uint32_t MaxRawChunk = 10240;

[[nodiscard]] Result BuildRawChunk(std::uint32_t peerAddress, std::uint32_t localAddress,
                                   const std::uint8_t* bytes, std::uint32_t count,
                                   IDataStream** chunk);

// One pass: receives up to MaxRawChunk bytes and, when at least one came, builds the chunk.
// Returns the source's result (a byte count or its status); *chunk is set only for a count.
std::int32_t ReceiveRawChunk(IByteSource& source, std::uint32_t peerAddress,
                             std::uint32_t localAddress, IDataStream** chunk);

}  // namespace brondal
