#pragma once

#include <cstdint>

#include "ResultCodes.h"

namespace brondal {

// DSCP marking of one connection's outgoing packets. On this platform a socket is marked
// through its IPv4 type-of-service byte (DSCP << 2); there is no optional marking library
// to load, so Initialize always succeeds.
//
// Initialize and SetDSCP serialise on one process-wide lock. CleanupQos takes no lock: it
// touches only its own socket, which the owning connection serialises.
class QOSWrapper {
public:
    // What a connection keeps for its socket: both 0 while the socket is unmarked.
    struct State {
        std::uintptr_t handle = 0;
        std::uint32_t flow = 0;
    };

    // ResultOk, on the first call and on every later one.
    [[nodiscard]] static Result Initialize();

    // Marks the socket with dscp and stores a non-zero state: ResultOk. When the socket
    // refuses the marking (closed, not a socket): ResultSocketWriteFailed with a zero state.
    // When the exact value may not be set but its class (dscp >> 3) may, the class alone is
    // marked, a warning is logged, and the result is ResultOk. A dscp above 63 has no exact
    // encoding: its class is marked without a warning. A socket that already had a state
    // gets a new one; the old state holds nothing that needs giving back.
    [[nodiscard]] static Result SetDSCP(int socket, State* state, std::uint32_t dscp);

    // Clears the socket's marking when the state says it has one: ResultOk, or ResultFail
    // when the socket refuses. A zero state does not touch the socket. The caller clears
    // its state afterwards.
    [[nodiscard]] static Result CleanupQos(int socket, const State& state);

    QOSWrapper() = delete;
};

}  // namespace brondal
