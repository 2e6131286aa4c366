#include "Handshake.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "LogCall.h"
#include "Scheduler.h"

namespace brondal {

HandshakeRecord BuildHandshake(const UUID& connectionId, bool encrypted) {
    HandshakeRecord record{};
    std::memcpy(record.data(), HandshakeMagic, HandshakeVersionOffset);
    std::memcpy(record.data() + HandshakeVersionOffset, TransportProtocolVersion,
                HandshakeIdOffset - HandshakeVersionOffset);
    connectionId.ToChars(reinterpret_cast<char*>(record.data() + HandshakeIdOffset));
    record[HandshakeIdentityLength] = 0x01;
    record[HandshakeIdentityLength + 1] = encrypted ? 0x01 : 0x00;
    return record;
}

namespace {

// One byte, waited for at most HandshakeFlagWaitMs; false when it did not come.
bool ReceiveFlagByte(IByteSource& source, std::uint8_t* value) {
    return source.WaitReadable(HandshakeFlagWaitMs) == 1 && source.Receive(value, 1) == 1;
}

}  // namespace

Result ReadHandshake(IByteSource& source, HandshakeInfo* info, std::uint32_t timeoutMs) {
    if (info == nullptr) return ResultNullPointer;

    // Bytes that never arrive keep this filling, which fails the version check. One byte
    // more than the record keeps the text terminated even when all 47 arrive.
    char buffer[HandshakeIdentityLength + 1];
    std::memcpy(buffer, "INVALID", 7);
    std::fill(buffer + 7, buffer + HandshakeIdentityLength - 1, '-');
    buffer[HandshakeIdentityLength - 1] = '\0';
    buffer[HandshakeIdentityLength] = '\0';

    // A source stops a read that waits too long for its next byte (Pending); the record may
    // still come within the caller's time-out.
    const std::int64_t deadline = GetScheduler().GetTickCount64() + timeoutMs;
    std::uint32_t received = 0;
    for (;;) {
        std::uint32_t piece = 0;
        const std::int32_t status = source.ReceiveExact(
            reinterpret_cast<std::uint8_t*>(buffer) + received,
            static_cast<std::uint32_t>(HandshakeIdentityLength) - received, &piece);
        received += piece;
        if (received == HandshakeIdentityLength || status != IByteSource::Pending ||
            GetScheduler().GetTickCount64() >= deadline) {
            break;
        }
    }

    char version[5] = "";
    int scanned = std::sscanf(buffer, "BRDTRPT%4s", version);
    if (scanned < 1 || std::strcmp(version, TransportProtocolVersion) != 0) {
        LOG_SEVERE(
            "The server protocol version (%s) does not match client protocol version (%s). "
            "scancount: %d",
            version, TransportProtocolVersion, std::max(scanned, 0));
        return ResultVersionMismatch;
    }
    // The filling protects only the magic and the version; a record cut short after them
    // would otherwise yield an identifier made of dashes.
    if (received != HandshakeIdentityLength) {
        return LOG_REPORT_ERROR(ResultFail, "Incomplete handshake (%u of %u bytes)", received,
                                static_cast<unsigned>(HandshakeIdentityLength));
    }

    HandshakeInfo result;
    result.connectionId = UUID(
        std::string_view(buffer + HandshakeIdOffset, HandshakeIdentityLength - HandshakeIdOffset));
    // The flag is read only after a non-zero marker. Both come in the same send as the
    // record, so the wait before the flag costs a conforming peer nothing; it only keeps a
    // peer that stops after the marker from holding the connect forever.
    std::uint8_t marker = 0;
    std::uint8_t flag = 0;
    if (ReceiveFlagByte(source, &marker) && marker != 0 && ReceiveFlagByte(source, &flag)) {
        result.encryptionRequested = (flag & 0x01) != 0;
    }
    *info = result;
    return ResultOk;
}

}  // namespace brondal
