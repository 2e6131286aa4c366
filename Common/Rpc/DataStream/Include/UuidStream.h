#pragma once

#include "IDataStream.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal {

// The serial form of an identifier in a data stream: 16 bytes, Data1 as UInt32, Data2 and
// Data3 as UInt16, then Data4 byte by byte. It lives with the value encoding rather than
// with UUID, so that the platform runtime does not depend on data streams.

// One write of the 16 bytes: all of them or, on failure (reported), none; ResultNullPointer
// without a stream.
[[nodiscard]] Result SerializeUuid(IDataStream* stream, const UUID& id);
// Reads the members in order and succeeds on a short stream: a member that could not be
// read keeps its value. ResultNullPointer without a stream or an identifier.
[[nodiscard]] Result DeserializeUuid(IDataStream* stream, UUID* id);
// The strict read, for identifiers a peer sends: one read of the 16 bytes, which fails
// (ResultFail) and reads nothing and leaves *id alone when they are not all there.
[[nodiscard]] Result DeserializeWholeUuid(IDataStream* stream, UUID* id);

}  // namespace brondal
