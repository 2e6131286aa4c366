#pragma once

#include "ISocket.h"

namespace brondal::platform {

// Stands for a code with no real counterpart; the system refuses it, so a socket asked
// for with such a code fails to be created instead of silently becoming something else.
constexpr int NoSuchSocketValue = 1000;

// Code → system value. Codes outside the table also give NoSuchSocketValue.
int FamilyValue(SocketFamily family);
int TypeValue(SocketType type);
int ProtocolValue(SocketProtocol protocol);

// System value → code, for sockets the system hands us (accepted connections).
SocketFamily FamilyCode(int family);
SocketType TypeCode(int type);
SocketProtocol ProtocolCode(int protocol);

}  // namespace brondal::platform
