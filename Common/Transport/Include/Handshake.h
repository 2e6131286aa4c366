#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "IByteSource.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal {

// The record the accepting side sends once, right after accepting: magic, protocol version,
// the connection identifier it chose (text form), a marker byte and the encryption flag.
inline constexpr std::size_t HandshakeLength = 49;
// Magic, version and identifier: what the connecting side must receive in full.
inline constexpr std::size_t HandshakeIdentityLength = 47;
inline constexpr std::size_t HandshakeVersionOffset = 7;
inline constexpr std::size_t HandshakeIdOffset = 11;
inline constexpr char HandshakeMagic[] = "BRDTRPT";
inline constexpr char TransportProtocolVersion[] = "0002";
// How long the connecting side waits for the marker and the encryption flag. A peer whose
// flag bytes come later is treated as plain.
inline constexpr std::uint32_t HandshakeFlagWaitMs = 100;

using HandshakeRecord = std::array<std::uint8_t, HandshakeLength>;

// What the connecting side learnt from the handshake.
struct HandshakeInfo {
    UUID connectionId;
    // The peer announced that a TLS handshake follows. Whether one is run also depends on
    // this side having a TLS context.
    bool encryptionRequested = false;
};

HandshakeRecord BuildHandshake(const UUID& connectionId, bool encrypted);

// Reads the handshake on the connecting side once the source is readable (waiting for
// that with the connect timeout, and closing the socket after a failure, are the
// connection's part). Fails with ResultVersionMismatch when the magic or the version is
// wrong (which includes too few bytes to hold them) and with ResultFail when the peer stops
// before the identifier is complete. The marker and flag are optional: when they do not
// arrive within HandshakeFlagWaitMs each, the connection stays plain. The record itself may
// arrive in pieces as far apart as the source likes within timeoutMs (on the monotonic
// clock); 0 gives it only what the source's own reads wait.
Result ReadHandshake(IByteSource& source, HandshakeInfo* info, std::uint32_t timeoutMs = 0);

}  // namespace brondal
