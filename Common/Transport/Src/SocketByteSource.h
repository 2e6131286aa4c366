#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "IByteSource.h"
#include "IRefCountImpl.h"
#include "Scheduler.h"

struct ssl_st;
struct ssl_ctx_st;

namespace brondal {

// The bytes of one connected TCP socket, as the frame receivers read them. The socket is
// owned by the connection; this object only reads it (and sends for the connection through
// brondal_send, so that every byte in either direction passes one place).
//
// With TLS every byte passes the session instead. The socket is then non-blocking, so no
// TLS call waits inside the library: reads that need more bytes report Pending and writes
// that need buffer space send 0, and the caller waits on the socket outside any lock. The
// session is not safe for concurrent use, so the TLS lock serialises the reader and the
// writers around each library call.
//
// Reads wait at most ReadWaitMs for their first byte and then report Pending, so a reader
// blocked here notices a stop request within that time; a partly received frame stays with
// the receiver for the next pass.
//
// Plain sockets are read through a small buffer: a frame's marker, header, identifier and
// body otherwise cost a wait and a receive call each, and a reader that finds several small
// frames waiting takes them all from one call. Reads of at least half the buffer with
// nothing buffered go straight into the caller's memory. With TLS the session buffers.
//
// Embedded in its connection and never released: the reference count exists only because
// IByteSource is an interface object.
class SocketByteSource final : public IByteSource, public IRefCountImpl {
public:
    static constexpr std::uint32_t ReadWaitMs = 100;
    // How many consecutive empty results brondal_recv_exact accepts before it gives up:
    // a source that keeps returning nothing must not keep the reader spinning.
    static constexpr std::uint32_t MaxEmptyReads = 100;
    static constexpr std::uint32_t BufferSize = 8192;

    SocketByteSource();
    ~SocketByteSource() override;

    void SetSocket(int socket) { socket_.store(socket, std::memory_order_release); }
    // How long reads wait for their first byte (ReadWaitMs unless set). A reader that serves
    // many connections from one thread sets 0 on a non-blocking socket: a read never waits
    // there, it reports Pending and the frame carries on when the socket is readable again.
    void SetReadWaitMs(std::uint32_t waitMs) { readWaitMs_ = waitMs; }
    // Bytes received into the buffer and not read yet: whole frames may wait there while
    // the socket itself has nothing more to report.
    bool HasBuffered() const { return Buffered() != 0; }
    int GetSocket() const { return socket_.load(std::memory_order_acquire); }
    // Takes over a session whose handshake is complete; freed with this object.
    void SetTls(ssl_st* ssl);
    bool IsTls() const { return ssl_ != nullptr; }

    // Runs the TLS handshake on the socket (non-blocking from then on), for the accepting
    // side (Server) or the connecting side (Client), within timeoutMs. Logs and returns
    // ResultFail.
    enum class TlsRole { Client, Server };
    [[nodiscard]] Result NegotiateTls(ssl_ctx_st* context, TlsRole role, std::uint32_t timeoutMs);

    // The connection's only calls that touch the socket's data. Each clears the socket
    // error first and returns a byte count, 0 (closed) or -1 (failed); failures are logged.
    // brondal_send never waits for buffer space: with none it returns 0 (error EAGAIN,
    // not logged) and the caller waits for writability itself.
    std::int32_t brondal_send(const std::uint8_t* buffer, std::uint32_t count);
    std::int32_t brondal_recv(std::uint8_t* buffer, std::uint32_t count);
    std::int32_t brondal_peek(std::uint8_t* buffer, std::uint32_t count);
    std::int32_t brondal_recv_exact(std::uint8_t* buffer, std::uint32_t count);

    std::int32_t Peek(std::uint8_t* buffer, std::uint32_t count) override;
    std::int32_t Receive(std::uint8_t* buffer, std::uint32_t count) override;
    std::int32_t ReceiveExact(std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t* received) override;
    std::int32_t WaitReadable(std::uint32_t timeoutMs) override;
    std::uint32_t PeekHeld(const std::uint8_t** bytes) override;
    void Consume(std::uint32_t count) override;

private:
    // 1 when a read would not wait, Pending, or Failed.
    std::int32_t WaitFirstByte(std::uint32_t timeoutMs);
    // One TLS read or peek: a count, 0 (closed cleanly), Failed, or Pending.
    std::int32_t TlsRead(std::uint8_t* buffer, std::uint32_t count, bool peek);
    std::uint32_t Buffered() const { return end_ - begin_; }
    // Hands out up to count buffered bytes; consume removes them.
    std::int32_t TakeBuffered(std::uint8_t* buffer, std::uint32_t count, bool consume);
    // One receive call that appends to the buffer: a count, 0 (closed) or -1.
    std::int32_t Fill();

    std::atomic<int> socket_{-1};
    ssl_st* ssl_ = nullptr;
    std::unique_ptr<Scheduler::FastMutex> tlsLock_;
    // Received and not yet read: buffer_[begin_, end_). Touched only by the reading thread.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint32_t begin_ = 0;
    std::uint32_t end_ = 0;
    std::uint32_t readWaitMs_ = ReadWaitMs;
};

}  // namespace brondal
