#pragma once

#include <cstdint>

namespace brondal {

// Every operation of the system returns a Result: 0 is success, any negative value a
// failure. Out parameters are written only on success.
using Result = std::int32_t;

constexpr Result MakeFailure(std::uint32_t code) { return static_cast<Result>(code); }

constexpr Result ResultOk = 0;
constexpr Result ResultFail = MakeFailure(0x80000000u);
constexpr Result ResultNullPointer = MakeFailure(0x80000001u);
// Invalid argument, range or connection.
constexpr Result ResultInvalidArgument = MakeFailure(0x80000003u);
constexpr Result ResultRpcTimeout = MakeFailure(0x80000007u);
constexpr Result ResultNotInitialized = MakeFailure(0x8000000bu);
// Already initialised or already started.
constexpr Result ResultAlreadyInitialized = MakeFailure(0x8000000cu);
constexpr Result ResultNotImplemented = MakeFailure(0x8000000du);
constexpr Result ResultVersionMismatch = MakeFailure(0x80000037u);
constexpr Result ResultConnectionNotFound = MakeFailure(0x80000039u);
constexpr Result ResultWriteTimeout = MakeFailure(0x8000003au);
constexpr Result ResultUnregisteredObject = MakeFailure(0x8000003bu);
constexpr Result ResultSocketWriteFailed = MakeFailure(0x8000003du);

constexpr bool Succeeded(Result r) { return r >= 0; }
constexpr bool Failed(Result r) { return r < 0; }

}  // namespace brondal
