#pragma once

#include <cstdint>

namespace brondal::platform {

// Thin helpers over one IPv4 TCP descriptor, for code that keeps the descriptor itself
// (the transport's connections and listener). Addresses and ports are host byte order.
// Functions returning int give 0 (or a count) on success and -1 on failure with the
// reason left in LastSocketError.

// A new blocking IPv4 TCP socket, or -1.
int TcpCreate();
int TcpClose(int socket);
// Both directions. Safe while another thread waits in the descriptor: it wakes that thread
// without freeing the descriptor number.
int TcpShutdown(int socket);
int TcpSetNoDelay(int socket);
// Lets a restarted listener bind while its previous connections sit in TIME_WAIT.
int TcpSetReuseAddress(int socket);
int TcpSetBlocking(int socket, bool blocking);
int TcpSetSendBufferSize(int socket, std::int32_t bytes);
int TcpBind(int socket, std::uint32_t address, std::uint16_t port);
// The system's maximum backlog.
int TcpListen(int socket);
// The accepted descriptor, or -1.
int TcpAccept(int socket);
// Non-blocking connect bounded by timeoutMs: 0 when connected, -1 otherwise. The socket's
// blocking mode is restored before returning.
int TcpConnect(int socket, std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs);
// 1 when the descriptor becomes readable (or writable) within timeoutMs, 0 when the time
// passed, -1 when the wait itself failed. A negative timeout waits without limit.
int TcpWaitReadable(int socket, std::int32_t timeoutMs);
int TcpWaitWritable(int socket, std::int32_t timeoutMs);
// One send that never raises SIGPIPE and never waits for buffer space: bytes sent (0 when
// there was no room, with LastSocketError EAGAIN) or -1.
int TcpSend(int socket, const void* data, std::uint32_t length);
// Writes that are not ours (the TLS library writes with write(), which has no flag to keep a
// reset peer from raising SIGPIPE) must not end the process: from the first call on, SIGPIPE
// is ignored process-wide and such writes fail with EPIPE instead. Idempotent, thread-safe.
void TcpIgnoreBrokenPipes();
// One receive: bytes, 0 for an orderly close, -1.
int TcpRecv(int socket, void* buffer, std::uint32_t length);
int TcpPeek(int socket, void* buffer, std::uint32_t length);
// Waits for all length bytes unless the peer closes, an error occurs or a signal arrives.
int TcpRecvAll(int socket, void* buffer, std::uint32_t length);
int TcpGetLocal(int socket, std::uint32_t* address, std::uint16_t* port);
int TcpGetPeer(int socket, std::uint32_t* address, std::uint16_t* port);
// The error left by the last failed call on this thread (errno); ClearSocketError resets it.
int LastSocketError();
void ClearSocketError();
// The pending error of the socket itself (SO_ERROR); 0 when there is none.
int PendingSocketError(int socket);

}  // namespace brondal::platform
