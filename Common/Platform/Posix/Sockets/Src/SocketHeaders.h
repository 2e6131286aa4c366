#pragma once

// The system's socket headers, for the code both systems share (SocketCodes.cpp); Windows
// has its own file of this name.
#include <netinet/in.h>
#include <sys/socket.h>
