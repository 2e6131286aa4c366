#pragma once

namespace brondal::platform {

// The IPv4 type-of-service byte of a socket's outgoing packets (DSCP in its upper six
// bits). On Windows the marking goes through the qWave library, loaded at run time: a
// socket joins a flow of the traffic type its DSCP class calls for, and the exact value is
// set on the flow when the process may; a tos of 0 takes the socket out of its flow. Both return 0
// or the system's error number, so callers can tell a socket that cannot be marked (EBADF,
// ENOTSOCK) from one they may not mark (EPERM, EACCES).
int SetSocketTos(int socket, int tos);
int GetSocketTos(int socket, int* tos);

// Whether an error of the two above means the caller lacks the right to set that value
// (EPERM, EACCES; access denied on Windows), rather than that the socket cannot be marked.
bool IsMarkingNotPermitted(int error);

// Whether sockets can be marked at all here (Windows: qWave loaded and working), and
// whether GetSocketTos shows a marking SetSocketTos made (not through qWave's flows).
bool SocketMarkingAvailable();
bool SocketMarkingReadsBack();

}  // namespace brondal::platform
