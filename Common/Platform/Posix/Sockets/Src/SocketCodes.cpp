#include "SocketCodes.h"

// From the include path, not beside this file: each system's build puts its own first.
#include <SocketHeaders.h>

namespace brondal::platform {

int FamilyValue(SocketFamily family) {
    return family == SocketFamily::Ipv4 ? AF_INET : NoSuchSocketValue;
}

int TypeValue(SocketType type) {
    switch (type) {
        case SocketType::Datagram:
            return SOCK_DGRAM;
        case SocketType::Stream:
            return SOCK_STREAM;
    }
    return NoSuchSocketValue;
}

int ProtocolValue(SocketProtocol protocol) {
    switch (protocol) {
        case SocketProtocol::Tcp:
            return IPPROTO_TCP;
        case SocketProtocol::Udp:
            return IPPROTO_UDP;
        case SocketProtocol::Unsupported:
            return NoSuchSocketValue;
    }
    return NoSuchSocketValue;
}

SocketFamily FamilyCode(int family) {
    return family == NoSuchSocketValue ? SocketFamily::Unsupported : SocketFamily::Ipv4;
}

SocketType TypeCode(int type) {
    return type == SOCK_DGRAM ? SocketType::Datagram : SocketType::Stream;
}

SocketProtocol ProtocolCode(int protocol) {
    switch (protocol) {
        case IPPROTO_UDP:
            return SocketProtocol::Udp;
        case NoSuchSocketValue:
            return SocketProtocol::Unsupported;
        default:
            return SocketProtocol::Tcp;
    }
}

}  // namespace brondal::platform
