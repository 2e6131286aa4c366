#include "SocketByteSource.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "LockGuard.h"
#include "LogCall.h"
#include "TcpSocket.h"

namespace brondal {

using namespace platform;

namespace {

constexpr std::uint32_t TlsRetryPauseMs = 10;

// After a TLS call failed with SSL_ERROR_SYSCALL: the system's error, then every error the
// library has queued.
void LogSslSyscallErrors() {
    const int error = errno;
    LOG_SEVERE("SSL_ERROR_SYSCALL detected, errno: %d, GET_ERROR_CODE: %d. Error stack:", error,
               LastSocketError());
    while (unsigned long code = ERR_get_error()) {
        LOG_SEVERE("      sub error: %d --- %s --- %s ", static_cast<int>(code),
                   ERR_lib_error_string(code), ERR_reason_error_string(code));
    }
}

}  // namespace

SocketByteSource::SocketByteSource() : tlsLock_(GetScheduler().CreateFastMutex()) {}

SocketByteSource::~SocketByteSource() { SSL_free(ssl_); }

void SocketByteSource::SetTls(ssl_st* ssl) {
    SSL_free(ssl_);
    ssl_ = ssl;
}

Result SocketByteSource::NegotiateTls(ssl_ctx_st* context, TlsRole role, std::uint32_t timeoutMs) {
    const int socket = GetSocket();
    if (Buffered() != 0) {
        // The peer sent more than its handshake before the session began: those bytes
        // would be lost to the session.
        LOG_SEVERE("Unexpected data before the TLS handshake: %u bytes", Buffered());
        return ResultFail;
    }
    ERR_clear_error();
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr || SSL_set_fd(ssl, socket) != 1) {
        SSL_free(ssl);
        LOG_SEVERE("%s", ERR_error_string(ERR_get_error(), nullptr));
        return ResultFail;
    }
    TcpSetBlocking(socket, false);
    const std::int64_t deadline = GetScheduler().GetTimeMs() + timeoutMs;
    for (;;) {
        ERR_clear_error();
        const int rc = role == TlsRole::Server ? SSL_accept(ssl) : SSL_connect(ssl);
        if (rc == 1) break;
        const int code = SSL_get_error(ssl, rc);
        const std::int64_t left = deadline - GetScheduler().GetTimeMs();
        int ready = 0;
        if (code == SSL_ERROR_WANT_READ && left > 0) {
            ready = TcpWaitReadable(socket, static_cast<std::int32_t>(left));
        } else if (code == SSL_ERROR_WANT_WRITE && left > 0) {
            ready = TcpWaitWritable(socket, static_cast<std::int32_t>(left));
        }
        if (ready == 1) continue;
        if (role == TlsRole::Server) {
            LOG_SEVERE("%s", ERR_error_string(ERR_get_error(), nullptr));
        } else {
            LOG_SEVERE("Unable to complete SSL handshake, closing socket. Error: %d.", code);
            if (code == SSL_ERROR_SYSCALL) LogSslSyscallErrors();
        }
        SSL_free(ssl);
        return ResultFail;
    }
    SetTls(ssl);
    return ResultOk;
}

std::int32_t SocketByteSource::TlsRead(std::uint8_t* buffer, std::uint32_t count, bool peek) {
    FastLockGuard guard(*tlsLock_);
    ERR_clear_error();
    const int rc = peek ? SSL_peek(ssl_, buffer, static_cast<int>(count))
                        : SSL_read(ssl_, buffer, static_cast<int>(count));
    if (rc > 0) return rc;
    const int code = SSL_get_error(ssl_, rc);
    guard.Unlock();
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return Pending;
    if (code == SSL_ERROR_ZERO_RETURN) {
        if (peek) {
            LOG_SPEW(0,
                     "SSL_peek failed attempting to peek %d bytes, connection was shutdown "
                     "cleanly. Error: %d",
                     count, code);
        } else {
            LOG_SEVERE(
                "SSL_read failed attempting to receive %d bytes, connection was shutdown "
                "cleanly. Error: %d",
                count, code);
        }
        return 0;
    }
    // A peer that drops the socket without a close_notify ends here too (syscall, EOF).
    if (peek) {
        LOG_SEVERE("SSL_peek error attempting to peek %d bytes. Error: %d", count, code);
    } else {
        LOG_SEVERE("SSL_read error attempting to receive %d bytes. Error: %d", count, code);
    }
    if (code == SSL_ERROR_SYSCALL) LogSslSyscallErrors();
    return Failed;
}

std::int32_t SocketByteSource::brondal_send(const std::uint8_t* buffer, std::uint32_t count) {
    ClearSocketError();
    if (ssl_ != nullptr) {
        FastLockGuard guard(*tlsLock_);
        ERR_clear_error();
        const int rc = SSL_write(ssl_, buffer, static_cast<int>(count));
        if (rc > 0) return rc;
        const int code = SSL_get_error(ssl_, rc);
        guard.Unlock();
        if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ) {
            LOG_WARNING("SSL_write failed (WANT_WRITE), going to retry. %d bytes, Error: %d", count,
                        code);
            return 0;
        }
        if (code == SSL_ERROR_ZERO_RETURN) {
            LOG_SEVERE(
                "SSL_write failed attempting to receive %d bytes, connection was shutdown "
                "cleanly. Error: %d",
                count, code);
        } else {
            LOG_SEVERE("SSL_write error attempting to receive %d bytes. Error: %d", count, code);
            if (code == SSL_ERROR_SYSCALL) LogSslSyscallErrors();
        }
        return -1;
    }
    int sent = TcpSend(GetSocket(), buffer, count);
    if (sent < 0) {
        LOG_SEVERE("Socket send error attempting to send %d bytes. Error: %d", count,
                   LastSocketError());
    } else if (sent == 0 && count > 0 && !IsWouldBlock(LastSocketError())) {
        LOG_SEVERE("Socket send attempting to send %d bytes. Connection was shutdown. Error: %d",
                   count, LastSocketError());
    }
    return sent;
}

std::int32_t SocketByteSource::TakeBuffered(std::uint8_t* buffer, std::uint32_t count,
                                            bool consume) {
    const std::uint32_t n = std::min(count, Buffered());
    std::memcpy(buffer, buffer_.get() + begin_, n);
    if (consume) begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
    return static_cast<std::int32_t>(n);
}

std::int32_t SocketByteSource::Fill() {
    if (!buffer_) buffer_ = std::make_unique<std::uint8_t[]>(BufferSize);
    if (begin_ != 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, Buffered());
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == BufferSize) return static_cast<std::int32_t>(Buffered());
    const std::int32_t received = brondal_recv(buffer_.get() + end_, BufferSize - end_);
    if (received > 0) end_ += static_cast<std::uint32_t>(received);
    return received;
}

std::int32_t SocketByteSource::brondal_recv(std::uint8_t* buffer, std::uint32_t count) {
    ClearSocketError();
    if (ssl_ != nullptr) return TlsRead(buffer, count, false);
    int received = TcpRecv(GetSocket(), buffer, count);
    if (received < 0) {
        int error = LastSocketError();
        if (!IsWouldBlock(error)) {
            LOG_SEVERE("Socket recv error attempting to receive %d bytes. Error: %d", count, error);
        }
    } else if (received == 0) {
        LOG_SEVERE(
            "Socket error attempting to receive %d bytes. Connection was shutdown. "
            "Error: %d",
            count, LastSocketError());
    }
    return received;
}

std::int32_t SocketByteSource::brondal_peek(std::uint8_t* buffer, std::uint32_t count) {
    ClearSocketError();
    if (ssl_ != nullptr) return TlsRead(buffer, count, true);
    if (Buffered() != 0) return TakeBuffered(buffer, count, false);
    // The peek takes what has arrived into the buffer, where the frame's reads find it: one
    // system call instead of a peek followed by a wait and a receive. Whatever reads after
    // a peek reads through the buffer.
    if (!buffer_) buffer_ = std::make_unique<std::uint8_t[]>(BufferSize);
    int peeked = TcpRecv(GetSocket(), buffer_.get(), BufferSize);
    if (peeked > 0) {
        begin_ = 0;
        end_ = static_cast<std::uint32_t>(peeked);
        return TakeBuffered(buffer, count, false);
    }
    if (peeked < 0) {
        // A non-blocking socket with nothing yet is not an error; the caller sees -1 and
        // would-block.
        if (!IsWouldBlock(LastSocketError())) {
            LOG_SEVERE("Socket recv error attempting to peek %d bytes. Error: %d", count,
                       LastSocketError());
        }
    } else if (peeked == 0 && LastSocketError() != 0) {
        LOG_INFO("Socket connection was shutdown attempting to peek %d bytes. Error: %d", count,
                 LastSocketError());
    }
    return peeked;
}

std::int32_t SocketByteSource::brondal_recv_exact(std::uint8_t* buffer, std::uint32_t count) {
    if (ssl_ == nullptr && Buffered() != 0) {
        const std::int32_t taken = TakeBuffered(buffer, count, true);
        if (static_cast<std::uint32_t>(taken) == count) return taken;
        const std::int32_t rest =
            brondal_recv_exact(buffer + taken, count - static_cast<std::uint32_t>(taken));
        return rest < 0 ? rest : taken + rest;
    }
    ClearSocketError();
    if (ssl_ != nullptr) {
        // Bounded: a session that keeps yielding nothing ends the call instead of spinning.
        std::uint32_t received = 0;
        std::uint32_t emptyReads = 0;
        while (received < count && emptyReads < MaxEmptyReads) {
            const std::int32_t rc = TlsRead(buffer + received, count - received, false);
            if (rc > 0) {
                received += static_cast<std::uint32_t>(rc);
                emptyReads = 0;
            } else if (rc == Pending) {
                ++emptyReads;
                LOG_WARNING(
                    "SSL_read in recv_exact failed (WANT_READ), going to retry. %d "
                    "bytes, Error: %d",
                    count - received, SSL_ERROR_WANT_READ);
                TcpWaitReadable(GetSocket(), TlsRetryPauseMs);
            } else {
                break;
            }
        }
        return static_cast<std::int32_t>(received);
    }
    int received = TcpRecvAll(GetSocket(), buffer, count);
    if (received < 0) {
        LOG_SEVERE("Socket error (recv_exact) attempting to receive %d bytes. Error: %d", count,
                   LastSocketError());
    } else if (received == 0 && count > 0) {
        LOG_SEVERE(
            "Socket error (recv_exact) attempting to receive %d bytes. Connection was "
            "shutdown. Error: %d",
            count, LastSocketError());
    }
    return received;
}

std::int32_t SocketByteSource::WaitFirstByte(std::uint32_t timeoutMs) {
    if (Buffered() != 0) return 1;
    if (ssl_ != nullptr) {
        // Bytes the session already decrypted are not visible to the socket.
        FastLockGuard guard(*tlsLock_);
        if (SSL_has_pending(ssl_) == 1) return 1;
    }
    int ready = TcpWaitReadable(GetSocket(), static_cast<std::int32_t>(timeoutMs));
    if (ready < 0) return Failed;
    return ready == 0 ? Pending : 1;
}

std::int32_t SocketByteSource::Peek(std::uint8_t* buffer, std::uint32_t count) {
    if (ssl_ != nullptr) {
        std::int32_t ready = WaitFirstByte(readWaitMs_);
        if (ready != 1) return ready;
        std::int32_t peeked = brondal_peek(buffer, count);
        return peeked == -1 ? Failed : peeked;
    }
    if (Buffered() == 0) {
        const std::int32_t ready = WaitFirstByte(readWaitMs_);
        if (ready != 1) return ready;
        const std::int32_t filled = Fill();
        if (filled <= 0) return filled == -1 ? Failed : filled;
    } else if (Buffered() < count && TcpWaitReadable(GetSocket(), 0) == 1) {
        // Tops the buffer up with what has already arrived, so that the peek sees as much
        // as a peek at the socket would. A close or failure shows on the next read.
        Fill();
    }
    return TakeBuffered(buffer, count, false);
}

std::int32_t SocketByteSource::Receive(std::uint8_t* buffer, std::uint32_t count) {
    if (ssl_ == nullptr && Buffered() != 0) return TakeBuffered(buffer, count, true);
    std::int32_t ready = WaitFirstByte(readWaitMs_);
    if (ready != 1) return ready;
    if (ssl_ == nullptr && count < BufferSize / 2) {
        const std::int32_t filled = Fill();
        if (filled <= 0) return filled == -1 ? Failed : filled;
        return TakeBuffered(buffer, count, true);
    }
    std::int32_t received = brondal_recv(buffer, count);
    return received == -1 ? Failed : received;
}

std::int32_t SocketByteSource::ReceiveExact(std::uint8_t* buffer, std::uint32_t count,
                                            std::uint32_t* received) {
    *received = 0;
    while (*received < count) {
        std::int32_t status = Receive(buffer + *received, count - *received);
        if (status <= 0) return status;
        *received += static_cast<std::uint32_t>(status);
    }
    return static_cast<std::int32_t>(count);
}

std::int32_t SocketByteSource::WaitReadable(std::uint32_t timeoutMs) {
    return WaitFirstByte(timeoutMs);
}

std::uint32_t SocketByteSource::PeekHeld(const std::uint8_t** bytes) {
    // A TLS session's bytes are the library's, never in this buffer.
    if (ssl_ != nullptr || Buffered() == 0) {
        *bytes = nullptr;
        return 0;
    }
    *bytes = buffer_.get() + begin_;
    return Buffered();
}

void SocketByteSource::Consume(std::uint32_t count) {
    if (ssl_ != nullptr) return;
    begin_ += std::min(count, Buffered());
    if (begin_ == end_) begin_ = end_ = 0;
}

}  // namespace brondal
