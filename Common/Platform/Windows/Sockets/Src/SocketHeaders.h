#pragma once

// The system's socket headers, for the code both systems share (SocketCodes.cpp).
#include "Winsock.h"
