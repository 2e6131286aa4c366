// The connecting side's handshake reader over bytes that arrive as the fuzzer scripts them,
// checked against the record's rules written out here, and the accepting side's builder
// read back by that reader.
//
// Input: a mode byte; odd: identifier (16 bytes) and encryption flag for the builder, then
// the arrival script; even: the scripted source (ScriptedByteSource::Take).
#include <cctype>
#include <cstring>
#include <string_view>

#include "FuzzSupport.h"
#include "Handshake.h"
#include "ScriptedByteSource.h"

namespace brondal::fuzz {
namespace {

constexpr std::string_view Magic = "BRDTRPT";

// Whether the first bytes of the record as the reader saw them (what arrived, then its
// filling) pass: the magic, optional white space, then the version.
bool VersionAccepted(const Bytes& wire, std::size_t received) {
    std::string text(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(received));
    // The filling ends one byte short of the identity, with a zero byte.
    if (text.size() < HandshakeIdentityLength - 1) text.resize(HandshakeIdentityLength - 1, '-');
    text = text.c_str();  // the reader's text ends at the first zero byte
    if (text.compare(0, Magic.size(), Magic) != 0) return false;
    std::size_t at = Magic.size();
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    return text.compare(at, 4, TransportProtocolVersion) == 0;
}

void CheckRead(ScriptedByteSource& source) {
    HandshakeInfo info;
    info.encryptionRequested = true;
    const Result result = ReadHandshake(source, &info);
    const Bytes& wire = source.Wire();
    const std::size_t consumed = source.Consumed();
    const std::size_t received = std::min(consumed, HandshakeIdentityLength);

    if (!VersionAccepted(wire, received)) {
        FUZZ_CHECK(result == ResultVersionMismatch);
    } else if (received < HandshakeIdentityLength) {
        FUZZ_CHECK(result == ResultFail);
    } else {
        FUZZ_CHECK(result == ResultOk);
    }
    // Nothing beyond the record is taken, and the flags only after the identity.
    FUZZ_CHECK(consumed <= HandshakeLength);
    FUZZ_CHECK(result == ResultOk || consumed <= HandshakeIdentityLength);
    if (result != ResultOk) return;

    const std::string_view text(reinterpret_cast<const char*>(wire.data()) + HandshakeIdOffset,
                                UUID::TextLength);
    FUZZ_CHECK(info.connectionId == UUID(text));
    const bool marker = consumed > HandshakeIdentityLength && wire[HandshakeIdentityLength] != 0;
    // The flag is read only after a non-zero marker.
    FUZZ_CHECK(marker || consumed <= HandshakeIdentityLength + 1);
    const bool flag = consumed == HandshakeLength && (wire[HandshakeLength - 1] & 1) != 0;
    FUZZ_CHECK(info.encryptionRequested == (marker && flag));
}

void CheckBuilder(FuzzInput& input) {
    const UUID id = input.Uuid();
    const bool encrypted = input.Bool();
    const HandshakeRecord record = BuildHandshake(id, encrypted);
    const Bytes wire(record.begin(), record.end());
    FUZZ_CHECK(std::memcmp(wire.data(), "BRDTRPT0002", 11) == 0);
    FUZZ_CHECK(wire[HandshakeIdentityLength] == 0x01);
    FUZZ_CHECK(wire[HandshakeLength - 1] == (encrypted ? 0x01 : 0x00));

    // All at once, the reader gets back exactly what was built.
    RefPtr<ScriptedByteSource> whole = ScriptedByteSource::Create(wire);
    HandshakeInfo info;
    FUZZ_CHECK(ReadHandshake(*whole, &info) == ResultOk);
    FUZZ_CHECK(info.connectionId == id);
    FUZZ_CHECK(info.encryptionRequested == encrypted);

    // Arriving as scripted, it still follows the rules.
    const std::uint8_t end = input.Byte() % 3;
    RefPtr<ScriptedByteSource> scripted = ScriptedByteSource::Create(wire, input.Rest(), end);
    CheckRead(*scripted);
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    const UUID id(0x01234567, 0x89ab, 0xcdef, 0x0011223344556677);
    auto record = [&](bool encrypted) {
        const HandshakeRecord built = BuildHandshake(id, encrypted);
        return Bytes(built.begin(), built.end());
    };
    auto read = [](const Bytes& wire, const Bytes& script = {}, std::uint8_t end = 0) {
        return SeedWriter().Byte(0).Append(ScriptedByteSource::Layout(wire, script, end)).Get();
    };
    auto cut = [](Bytes wire, std::size_t length) {
        wire.resize(length);
        return wire;
    };
    Bytes otherVersion = record(false);
    std::memcpy(otherVersion.data() + HandshakeVersionOffset, "0003", 4);
    Bytes spaced = record(false);
    spaced[HandshakeVersionOffset] = ' ';
    Bytes noMarker = record(true);
    noMarker[HandshakeIdentityLength] = 0;

    SeedWriter builder;
    builder.Byte(1).Put(id.Data1).Put(id.Data2).Put(id.Data3);
    for (std::uint8_t byte : id.Data4)
        builder.Byte(byte);
    builder.Byte(1).Byte(0).Append(Bytes{11, 0, 36, 1, 0, 1});

    return {
        {"plain", read(record(false))},
        {"encrypted", read(record(true), {}, 1)},
        {"split-in-bytes", read(record(true), Bytes(49, 1))},
        {"flags-late", read(record(true), {47, 0, 0, 1})},
        {"identity-only", read(cut(record(true), 47), {}, 1)},
        {"cut-in-identifier", read(cut(record(false), 30), {}, 1)},
        {"cut-in-version", read(cut(record(false), 9), {}, 2)},
        {"version-0003", read(otherVersion)},
        {"version-after-space", read(spaced)},
        {"marker-zero", read(noMarker)},
        {"builder", builder.Get()},
    };
}

void FuzzOne(FuzzInput& input) {
    if ((input.Byte() & 1) != 0) {
        CheckBuilder(input);
    } else {
        CheckRead(*ScriptedByteSource::Take(input));
    }
}

}  // namespace brondal::fuzz
