// The translation between the system's socket codes and the values the kernel takes.
#include <gtest/gtest.h>

#include "SocketCodes.h"

namespace brondal::platform {
namespace {

// The kernel's numbers, spelled out so that the tables are checked against them rather
// than against the same headers the code uses.
constexpr int Inet = 2, Datagram = 2, Stream = 1, Raw = 3, Tcp = 6, Udp = 17;

TEST(SocketCodes, CodesTranslateToSystemValues) {
    EXPECT_EQ(FamilyValue(SocketFamily::Ipv4), Inet);
    EXPECT_EQ(TypeValue(SocketType::Datagram), Datagram);
    EXPECT_EQ(TypeValue(SocketType::Stream), Stream);
    EXPECT_EQ(ProtocolValue(SocketProtocol::Tcp), Tcp);
    EXPECT_EQ(ProtocolValue(SocketProtocol::Udp), Udp);
}

TEST(SocketCodes, CodesWithoutCounterpartBecomeAValueTheSystemRefuses) {
    EXPECT_EQ(FamilyValue(SocketFamily::Unsupported), 1000);
    EXPECT_EQ(ProtocolValue(SocketProtocol::Unsupported), 1000);
    EXPECT_EQ(FamilyValue(static_cast<SocketFamily>(7)), 1000);
    EXPECT_EQ(TypeValue(static_cast<SocketType>(2)), 1000);
    EXPECT_EQ(ProtocolValue(static_cast<SocketProtocol>(-1)), 1000);
}

TEST(SocketCodes, SystemValuesTranslateBackWithDefaults) {
    EXPECT_EQ(FamilyCode(1000), SocketFamily::Unsupported);
    EXPECT_EQ(FamilyCode(Inet), SocketFamily::Ipv4);
    EXPECT_EQ(FamilyCode(10), SocketFamily::Ipv4);

    EXPECT_EQ(TypeCode(Datagram), SocketType::Datagram);
    EXPECT_EQ(TypeCode(Stream), SocketType::Stream);
    EXPECT_EQ(TypeCode(Raw), SocketType::Stream);

    EXPECT_EQ(ProtocolCode(Tcp), SocketProtocol::Tcp);
    EXPECT_EQ(ProtocolCode(Udp), SocketProtocol::Udp);
    EXPECT_EQ(ProtocolCode(1000), SocketProtocol::Unsupported);
    EXPECT_EQ(ProtocolCode(0), SocketProtocol::Tcp);
}

}  // namespace
}  // namespace brondal::platform
