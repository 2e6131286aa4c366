#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal {

// A call and its response as the engine puts them on the wire (under RpcChannelId), for a
// caller that keeps many calls in flight on many connections without a thread waiting on
// each (the load tool): it writes the call itself and reads the response where the
// transport delivers it. The engine's own calls and these are the same bytes.

// The call message: request header (object, method's low 16 bits, call identifier) and the
// argument bytes from the arguments' start.
[[nodiscard]] Result EncodeCallMessage(const UUID& objectId, std::int32_t method,
                                       const UUID& callId, IDataStream* arguments,
                                       IDataStream** message);
// The call identifier and result of a response message, read from its current position;
// ResultFail for anything that is not a response.
[[nodiscard]] Result DecodeCallResponse(IDataStream* message, UUID* callId, Result* result);

}  // namespace brondal
