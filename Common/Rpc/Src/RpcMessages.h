#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal::rpc {

// The first byte of every RPC message.
enum MessageKind : std::uint8_t {
    KindRequest = 0,        // a request that expects a response
    KindOneWayRequest = 1,  // a request without response
    KindResponse = 2,
};

// What follows the kind byte of a request; the argument bytes follow it unframed.
struct RequestHeader {
    UUID objectId;
    std::uint16_t method = 0;
    UUID callId;
};

// What follows the kind byte of a response, up to the reply bytes.
struct ResponseHeader {
    UUID callId;
    Result result = ResultOk;
    std::uint32_t replyLength = 0;
};

// Appends kind, object, method and call identifier (35 bytes).
[[nodiscard]] Result WriteRequestHeader(IDataStream* out, MessageKind kind,
                                        const RequestHeader& header);
// Appends kind 2, call identifier, result and reply length (25 bytes).
[[nodiscard]] Result WriteResponseHeader(IDataStream* out, const ResponseHeader& header);

// Read the fields after the kind byte; ResultFail when the message is too short.
[[nodiscard]] Result ReadRequestHeader(IDataStream* in, RequestHeader* header);
[[nodiscard]] Result ReadCallId(IDataStream* in, UUID* callId);

// Appends the reply bytes of a response to reply. The length comes from the wire, so it is
// checked against what the message really holds before anything is allocated: a message
// shorter than it announces appends nothing (ResultFail).
[[nodiscard]] Result AppendReplyBytes(IDataStream* in, std::uint32_t length, IDataStream* reply);

}  // namespace brondal::rpc
