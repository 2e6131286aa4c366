#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "IDataStream.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal::corvane::client {

// The directory object: requests go to it on the request connection, and the service sends
// the display batches to the client's callback stub under the same identifier.
inline constexpr UUID DirectoryObjectId(0xa0a14dd0, 0xdaad, 0x11e3, 0x9c1a0800200c9a66);

// Heads every extended batch (except the one of an empty table), without a length prefix.
inline constexpr std::string_view ExtendedBatchMarker = "70c61d80-58b3-4b56-822a-35ed79be5840";
inline constexpr std::uint16_t ExtendedFormVersion = 1;

enum DirectoryMethod : std::int32_t {
    MethodAddNotify = 0,
    MethodRemoveNotify = 1,
    MethodRequestEnumeration = 2,
    MethodUpdateDisplay = 4,
};

// The one method of the client's callback stub.
inline constexpr std::int32_t CallbackDisplayBatch = 0;

struct DisplayEntry {
    UUID id;
    std::string name;
    std::string secondaryName;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint32_t tag = 0;
    std::string extra;

    friend bool operator==(const DisplayEntry&, const DisplayEntry&) = default;
};

struct DisplayBatch {
    bool extended = false;
    std::vector<DisplayEntry> entries;
    bool last = false;
};

// A display's registration. Without tag and extra only the five leading values travel, as
// older displays send them (the service then stores tag 1 and an empty extra); extra
// without tag sends tag 1.
struct DisplayUpdate {
    UUID id;
    std::string name;
    std::string secondaryName;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::optional<std::uint32_t> tag;
    std::optional<std::string> extra;
};

[[nodiscard]] Result EncodeDisplayUpdate(const DisplayUpdate& update, IDataStream* arguments);
[[nodiscard]] Result EncodeSubscription(const UUID& callbackConnection, IDataStream* arguments);
[[nodiscard]] Result EncodeEnumerationRequest(bool extended, std::uint64_t knownVersion,
                                              IDataStream* arguments);

// Reads one display batch from the stream's position: the plain form, or the extended form
// recognised by its marker head. ResultFail for a truncated batch or an unknown form
// version; bytes after the end flag are left unread.
[[nodiscard]] Result DecodeDisplayBatch(IDataStream* stream, DisplayBatch* batch);

// Joins the batches of one enumeration into the table. Batches arrive in order on the
// callback connection; the one with the end flag completes the table.
class TableAssembler {
public:
    // True when this batch completed a table, which Take then hands out.
    bool Add(DisplayBatch&& batch);
    std::vector<DisplayEntry> Take();

private:
    std::vector<DisplayEntry> pending_;
    std::vector<DisplayEntry> complete_;
};

}  // namespace brondal::corvane::client
