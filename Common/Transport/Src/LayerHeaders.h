#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "Uuid.h"

namespace brondal {

// The headers of the reliable adapter's layer messages. Every message starts with a kind
// byte from one shared space; a user message is the only one with kind 0, which is how the
// bottom layer tells user traffic from layer traffic. Integers are little-endian, UUIDs in
// their 16-byte serial form.
//
// Writers append one header (or a whole header-only message) to a writable stream. Readers
// take the fields that follow the kind byte, which the layer has already read to decide the
// message is its own; out values are written only when every field could be read.

enum LayerKind : std::uint8_t {
    UserMessageKind = 0x00,
    FragmentKind = 0x01,
    PacedDataKind = 0x02,
    PacedAckKind = 0x03,
    HelloKind = 0x04,
    SequencedDataKind = 0x05,
    SequenceAckKind = 0x06,
};

// Bytes of each header, kind included.
inline constexpr std::uint32_t UserMessageHeaderSize = 17;
inline constexpr std::uint32_t FragmentHeaderSize = 2;
inline constexpr std::uint32_t PacedDataHeaderSize = 9;
inline constexpr std::uint32_t PacedAckSize = 17;
inline constexpr std::uint32_t HelloSize = 34;
inline constexpr std::uint32_t SequencedDataHeaderSize = 9;
inline constexpr std::uint32_t SequenceAckSize = 9;

// The most message bytes one fragment carries.
inline constexpr std::uint32_t MaxFragmentBody = 4096;

struct PacedAck {
    // Receiver's clock on acknowledging minus the packet's timestamp, in ms.
    std::int64_t delay = 0;
    // The whole paced packet, its header included.
    std::int64_t bytes = 0;
};

struct Hello {
    // Nil when the sender closes the connection.
    UUID connectionId;
    UUID sessionId;
    bool reconnect = false;
};

// User message: kind, the caller's channel; the payload follows.
[[nodiscard]] Result WriteUserMessageHeader(IDataStream* out, const UUID& channel);
[[nodiscard]] Result ReadUserMessageHeader(IDataStream* in, UUID* channel);

// Fragment: kind, whether it is the message's last; up to MaxFragmentBody bytes follow.
[[nodiscard]] Result WriteFragmentHeader(IDataStream* out, bool last);
[[nodiscard]] Result ReadFragmentHeader(IDataStream* in, bool* last);

// Paced data: kind, the sender's clock in ms; the packet follows.
[[nodiscard]] Result WritePacedDataHeader(IDataStream* out, std::int64_t sentMs);
[[nodiscard]] Result ReadPacedDataHeader(IDataStream* in, std::int64_t* sentMs);

// Acknowledgement of one paced packet.
[[nodiscard]] Result WritePacedAck(IDataStream* out, const PacedAck& ack);
[[nodiscard]] Result ReadPacedAck(IDataStream* in, PacedAck* ack);

[[nodiscard]] Result WriteHello(IDataStream* out, const Hello& hello);
[[nodiscard]] Result ReadHello(IDataStream* in, Hello* hello);

// Sequenced data: kind, sequence number; the user message follows.
[[nodiscard]] Result WriteSequencedDataHeader(IDataStream* out, std::uint64_t sequence);
[[nodiscard]] Result ReadSequencedDataHeader(IDataStream* in, std::uint64_t* sequence);

// Acknowledges the sequence number and every lower one.
[[nodiscard]] Result WriteSequenceAck(IDataStream* out, std::uint64_t sequence);
[[nodiscard]] Result ReadSequenceAck(IDataStream* in, std::uint64_t* sequence);

}  // namespace brondal
