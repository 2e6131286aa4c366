#pragma once

#include <cstdint>

#include "IRefCount.h"

namespace brondal {

// The receiving half of a connection as the wire format sees it: a plain socket, a TLS
// session, or bytes in memory. The wire format code reads only through this interface, so
// every parser runs unchanged over a test's bytes.
//
// Reads return the number of bytes (at least 1) or one of the status values below. How long
// a read may wait for its first byte is the source's own choice: a blocking socket may wait
// without limit, a reader that must notice a stop request waits briefly. A read that found
// nothing within that wait returns Pending, never 0, so that "nothing yet" and "the peer
// closed" stay apart and a parser can keep its partial state for the next pass.
class IByteSource : public virtual IRefCount {
public:
    static constexpr std::int32_t Closed = 0;
    static constexpr std::int32_t Failed = -1;
    static constexpr std::int32_t Pending = -2;

    // Copies up to count bytes from the front of the stream without consuming them.
    virtual std::int32_t Peek(std::uint8_t* buffer, std::uint32_t count) = 0;
    // Consumes up to count bytes; returns as soon as at least one has arrived.
    virtual std::int32_t Receive(std::uint8_t* buffer, std::uint32_t count) = 0;
    // Consumes bytes until count have arrived and returns count. When the source stops
    // short (closed, failed or nothing more within its wait) the bytes that did arrive are
    // consumed and stored, *received says how many, and the result is the status.
    // *received is count on success.
    virtual std::int32_t ReceiveExact(std::uint8_t* buffer, std::uint32_t count,
                                      std::uint32_t* received) = 0;
    // Waits up to timeoutMs until a read would not wait: 1 then (also for a closed source,
    // whose read then reports Closed), Pending when the time passed, Closed or Failed when
    // the source knows without reading that nothing more will come.
    virtual std::int32_t WaitReadable(std::uint32_t timeoutMs) = 0;
    // The bytes that have arrived and are not consumed, where the source already holds them
    // in one run: *bytes and their count, without reading or waiting (0 when it holds none,
    // or keeps none of its own, as a TLS session). Valid until the next call on the source.
    // A parser takes a frame that is whole among them in one step instead of a read per
    // field, then Consume()s it.
    virtual std::uint32_t PeekHeld(const std::uint8_t** bytes) {
        *bytes = nullptr;
        return 0;
    }
    // Consumes count bytes of what PeekHeld handed out (no more than it reported).
    virtual void Consume(std::uint32_t count) { (void)count; }
};

}  // namespace brondal
