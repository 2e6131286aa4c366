#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DisplayRecord.h"
#include "IDataStream.h"
#include "ResultCodes.h"
#include "Uuid.h"

// The directory's protocol, shared by the service and its clients: the object and its
// methods, their arguments and replies, and the display batches of an enumeration (written
// by DisplayBatchWriter). Values use the data stream's encoding.
namespace brondal::corvane {

// The directory object: requests go to it on the request connection, and the service sends
// the display batches to the client's callback stub under the same identifier.
inline constexpr UUID DirectoryObjectId{0xa0a14dd0, 0xdaad, 0x11e3, 0x9c1a0800200c9a66};

// The request methods of the directory object:
//
//   0  subscribe: callback connection (UUID)                    -> nothing
//   1  unsubscribe                                              -> nothing, always 0
//   2  enumerate: extended (bool), knownVersion (UInt64)        -> version (UInt64)
//   3  nothing                                                  -> 0
//   4  update: id, displayName, secondaryName, address, port,
//      tag (optional, 1), extra (optional, empty)               -> nothing
//   other method numbers succeed with an empty reply.
//
// Trailing arguments that are missing take their defaults, so older peers that send fewer
// values keep working; a value cut short is refused.
enum DirectoryMethod : std::int32_t {
    MethodAddNotify = 0,
    MethodRemoveNotify = 1,
    MethodRequestEnumeration = 2,
    MethodNone = 3,
    MethodUpdateDisplay = 4,
};

// The one method of a subscriber's callback object: a batch of the table.
inline constexpr std::int32_t DisplayBatchMethod = 0;

// Heads every extended batch (except the one of an empty table), without a length prefix,
// followed by the form's version.
inline constexpr std::string_view ExtendedBatchMarker = "70c61d80-58b3-4b56-822a-35ed79be5840";
inline constexpr std::uint16_t ExtendedFormVersion = 1;
// A batch entry without its texts: identifier, the two text lengths, address, port, tag.
inline constexpr std::size_t DisplayEntryFixedBytes = 16 + 4 + 4 + 4 + 2 + 4;

// A display's registration (method 4). Without tag and extra only the five leading values
// travel, as older displays send them (the service then stores tag 1 and an empty extra);
// extra without tag sends tag 1.
struct DisplayUpdate {
    UUID displayId;
    std::string displayName;
    std::string secondaryName;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::optional<std::uint32_t> tag;
    std::optional<std::string> extra;
};

// One batch of an enumeration: in the extended form when it came with the marker head.
struct DisplayBatch {
    bool extended = false;
    std::vector<DisplayRecord> entries;
    bool last = false;
};

// Method 0: the caller's callback connection.
[[nodiscard]] Result EncodeSubscription(const UUID& callbackConnection, IDataStream* arguments);
// ResultFail when fewer than the identifier's 16 bytes remain: a subscription cut short
// would otherwise name a connection that does not exist.
[[nodiscard]] Result DecodeSubscription(IDataStream* arguments, UUID* callbackConnection);

// Method 2: the form asked for and the version the caller holds (0: none).
[[nodiscard]] Result EncodeEnumerationRequest(bool extended, std::uint64_t knownVersion,
                                              IDataStream* arguments);
// Missing values request the full table in the plain form (false, 0); a value cut short
// counts as missing. Never fails.
void DecodeEnumerationRequest(IDataStream* arguments, bool* extended, std::uint64_t* knownVersion);
[[nodiscard]] inline Result EncodeEnumerationReply(std::uint64_t version, IDataStream* reply) {
    return reply->WriteUInt64(version);
}
[[nodiscard]] inline Result DecodeEnumerationReply(IDataStream* reply, std::uint64_t* version) {
    return reply->ReadUInt64(version);
}

// Method 4.
[[nodiscard]] Result EncodeDisplayUpdate(const DisplayUpdate& update, IDataStream* arguments);
// Reads the five leading values into the record, failing with ResultFail when one is
// missing or cut short; then tag and extra, which are 1 and empty when missing. The
// record's times are left alone.
[[nodiscard]] Result DecodeDisplayUpdate(IDataStream* arguments, DisplayRecord* record);

// Reads one display batch from the stream's position: the plain form, or the extended form
// recognised by its marker head. ResultFail for a truncated batch or an unknown form
// version, with *batch left alone; bytes after the end flag are left unread.
[[nodiscard]] Result DecodeDisplayBatch(IDataStream* stream, DisplayBatch* batch);

}  // namespace brondal::corvane
