#pragma once

#include <cstdint>
#include <vector>

#include "IDataStream.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal {

// Writes the 27-byte binary frame header for a payload of length bytes on channel.
void EncodeFrameHeader(const UUID& channel, std::uint32_t length, std::uint8_t* out);

// One binary frame, header and payload, in one contiguous buffer as a single send (or a
// single TLS write) wants it. A payload above MaxFramePayload is refused with ResultFail and
// the message "Message exceeded max message size."; wire is untouched then. The payload's
// position and seal are not touched.
[[nodiscard]] Result EncodeBinaryFrame(const UUID& channel, IDataStream* payload,
                                       std::vector<std::uint8_t>* wire);

// The same frame appended to what wire holds already (frames written together leave in one
// send); on failure wire is as it was.
[[nodiscard]] Result AppendBinaryFrame(const UUID& channel, IDataStream* payload,
                                       std::vector<std::uint8_t>* wire);
// One text frame: the prefix (only for connections that use the handshake) and the payload
// bytes as they are. The caller's text must end with ';' itself. Same size limit and message
// as binary frames.
[[nodiscard]] Result EncodeTextFrame(IDataStream* payload, bool withPrefix,
                                     std::vector<std::uint8_t>* wire);

}  // namespace brondal
