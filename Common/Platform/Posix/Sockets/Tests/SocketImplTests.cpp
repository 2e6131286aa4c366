// The socket wrapper over real sockets. Everything binds 127.0.0.1 on ports the system
// chooses; nothing leaves the machine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ISocket.h"
#include "RefPtr.h"
#include "SocketImpl.h"
#include "WaitFor.h"

namespace brondal::platform {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t Loopback = 0x7F000001;
constexpr Result NotReadable = 1;

RefPtr<ISocket> NewSocket(SocketType type, SocketProtocol protocol) {
    RefPtr<ISocket> socket;
    EXPECT_EQ(CreateSocket(socket.Receive(), SocketFamily::Ipv4, type, protocol), ResultOk);
    return socket;
}

RefPtr<ISocket> NewUdp() {
    RefPtr<ISocket> socket = NewSocket(SocketType::Datagram, SocketProtocol::Udp);
    EXPECT_EQ(socket->Bind(IPEndPoint(Loopback, 0)), ResultOk);
    return socket;
}

IPEndPoint LocalOf(ISocket* socket) {
    IPEndPoint endPoint;
    EXPECT_EQ(socket->GetLocalEndPoint(&endPoint), ResultOk);
    return endPoint;
}

// A listener, a client connected to it, and the accepted end.
struct TcpPair {
    TcpPair() {
        listener = NewSocket(SocketType::Stream, SocketProtocol::Tcp);
        EXPECT_EQ(listener->Bind(IPEndPoint(Loopback, 0)), ResultOk);
        EXPECT_EQ(listener->Listen(4), ResultOk);
        client = NewSocket(SocketType::Stream, SocketProtocol::Tcp);
        EXPECT_EQ(client->Connect(LocalOf(listener.Get())), ResultOk);
        EXPECT_EQ(listener->Accept(server.Receive()), ResultOk);
    }
    RefPtr<ISocket> listener, client, server;
};

TEST(SocketCreation, TcpAndUdpSocketsOpen) {
    EXPECT_GE(NewSocket(SocketType::Stream, SocketProtocol::Tcp)->GetNativeSocket(), 0);
    EXPECT_GE(NewSocket(SocketType::Datagram, SocketProtocol::Udp)->GetNativeSocket(), 0);
}

TEST(SocketCreation, CodesWithoutRealCounterpartFailAndHandOutNothing) {
    ISocket* socket = nullptr;
    EXPECT_EQ(
        CreateSocket(&socket, SocketFamily::Unsupported, SocketType::Stream, SocketProtocol::Tcp),
        ResultFail);
    EXPECT_EQ(
        CreateSocket(&socket, SocketFamily::Ipv4, SocketType::Stream, SocketProtocol::Unsupported),
        ResultFail);
    EXPECT_EQ(CreateSocket(&socket, SocketFamily::Ipv4, SocketType::Datagram, SocketProtocol::Tcp),
              ResultFail);
    EXPECT_EQ(socket, nullptr);
    EXPECT_EQ(CreateSocket(nullptr, SocketFamily::Ipv4, SocketType::Stream, SocketProtocol::Tcp),
              ResultNullPointer);
}

TEST(SocketCreation, CreatingAnOpenSocketAgainFailsAndKeepsIt) {
    RefPtr<ISocket> socket = NewSocket(SocketType::Stream, SocketProtocol::Tcp);
    const int descriptor = socket->GetNativeSocket();
    EXPECT_EQ(socket->Create(), ResultFail);
    EXPECT_EQ(socket->GetNativeSocket(), descriptor);
}

TEST(TcpSocket, AcceptConnectSendReceiveRoundTrip) {
    TcpPair pair;
    auto* accepted = dynamic_cast<SocketImpl*>(pair.server.Get());
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->Family(), SocketFamily::Ipv4);
    EXPECT_EQ(accepted->Type(), SocketType::Stream);
    EXPECT_EQ(accepted->Protocol(), SocketProtocol::Tcp);

    IPEndPoint peer;
    ASSERT_EQ(pair.server->GetRemoteEndPoint(&peer), ResultOk);
    EXPECT_EQ(peer.address, Loopback);
    EXPECT_EQ(peer.port, LocalOf(pair.client.Get()).port);

    ASSERT_EQ(pair.client->Send("hello", 5), ResultOk);
    char buffer[16];
    std::uint32_t length = 0;
    ASSERT_EQ(pair.server->Receive(buffer, sizeof buffer, &length), ResultOk);
    EXPECT_EQ(length, 5u);
    EXPECT_STREQ(buffer, "hello");

    // The peer's orderly close reads as an empty success, terminated.
    pair.client->Close();
    buffer[0] = 'x';
    ASSERT_EQ(pair.server->Receive(buffer, sizeof buffer, &length), ResultOk);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(TcpSocket, SendToAClosedPeerFailsWithoutSignal) {
    TcpPair pair;
    pair.server->Close();
    // The first sends may still be accepted locally; once the peer's reset is back they
    // fail. A SIGPIPE would end the test program here.
    const auto deadline = Clock::now() + testing::Soon;
    Result result = ResultOk;
    while (result == ResultOk && Clock::now() < deadline)
        result = pair.client->Send("x", 1);
    EXPECT_EQ(result, ResultFail);
}

TEST(TcpSocket, NonBlockingListenerHandsOutNonBlockingSockets) {
    TcpPair pair;
    ASSERT_EQ(pair.listener->SetBlocking(false), ResultOk);
    // Nothing pending: fails at once instead of waiting.
    RefPtr<ISocket> none;
    EXPECT_EQ(pair.listener->Accept(none.Receive()), ResultFail);

    RefPtr<ISocket> client = NewSocket(SocketType::Stream, SocketProtocol::Tcp);
    ASSERT_EQ(client->Connect(LocalOf(pair.listener.Get())), ResultOk);
    ASSERT_EQ(pair.listener->WaitForRead(10, 0), ResultOk);
    RefPtr<ISocket> accepted;
    ASSERT_EQ(pair.listener->Accept(accepted.Receive()), ResultOk);
    char buffer[4];
    std::uint32_t length = 0;
    EXPECT_EQ(accepted->Receive(buffer, sizeof buffer, &length), ResultFail);

    ASSERT_EQ(accepted->SetBlocking(true), ResultOk);
    ASSERT_EQ(client->Send("abc", 3), ResultOk);
    ASSERT_EQ(accepted->Receive(buffer, sizeof buffer, &length), ResultOk);
    EXPECT_STREQ(buffer, "abc");
}

// Datagrams keep their boundaries, so the exact lengths of the terminator rule are certain.
TEST(UdpSocket, ReceiveTerminatesShortDataOnly) {
    RefPtr<ISocket> receiver = NewUdp();
    RefPtr<ISocket> sender = NewUdp();
    const IPEndPoint target = LocalOf(receiver.Get());

    char buffer[11];
    std::memset(buffer, 0x55, sizeof buffer);
    std::uint32_t length = 0;
    ASSERT_EQ(sender->SendTo("abcd", 4, target), ResultOk);
    ASSERT_EQ(receiver->Receive(buffer, 10, &length), ResultOk);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(buffer[4], '\0');
    EXPECT_EQ(buffer[5], 0x55);

    ASSERT_EQ(sender->SendTo("0123456789", 10, target), ResultOk);
    ASSERT_EQ(receiver->Receive(buffer, 10, &length), ResultOk);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(buffer[10], 0x55);
}

TEST(UdpSocket, ReceiveFromReportsTheSender) {
    RefPtr<ISocket> receiver = NewUdp();
    RefPtr<ISocket> sender = NewUdp();
    ASSERT_EQ(sender->SendTo("ping", 4, LocalOf(receiver.Get())), ResultOk);

    char buffer[8];
    std::uint32_t length = 0;
    IPEndPoint from;
    ASSERT_EQ(receiver->ReceiveFrom(buffer, sizeof buffer, &length, &from), ResultOk);
    EXPECT_STREQ(buffer, "ping");
    EXPECT_EQ(from.address, Loopback);
    EXPECT_EQ(from.port, LocalOf(sender.Get()).port);
}

TEST(UdpSocket, EnableBroadcastNeedsAnOpenSocket) {
    RefPtr<ISocket> socket = NewUdp();
    EXPECT_EQ(socket->EnableBroadcast(), ResultOk);
    socket->Close();
    EXPECT_EQ(socket->EnableBroadcast(), ResultFail);
}

TEST(SocketWait, WaitForReadTimesOutOrSeesData) {
    RefPtr<ISocket> receiver = NewUdp();
    const auto start = Clock::now();
    EXPECT_EQ(receiver->WaitForRead(0, 30000), NotReadable);
    EXPECT_GE(Clock::now() - start, 30ms);

    RefPtr<ISocket> sender = NewUdp();
    ASSERT_EQ(sender->SendTo("x", 1, LocalOf(receiver.Get())), ResultOk);
    EXPECT_EQ(receiver->WaitForRead(10, 0), ResultOk);

    EXPECT_EQ(receiver->WaitForRead(0, -1), NotReadable);
    receiver->Close();
    EXPECT_EQ(receiver->WaitForRead(0, 0), NotReadable);
}

TEST(SocketOptions, BufferSizeAndLowWaterMark) {
    RefPtr<ISocket> socket = NewSocket(SocketType::Stream, SocketProtocol::Tcp);
    std::int32_t size = 0;
    ASSERT_EQ(socket->SetSendBufferSize(65536), ResultOk);
    ASSERT_EQ(socket->GetSendBufferSize(&size), ResultOk);
    // Reported doubled: the system counts its bookkeeping in.
    EXPECT_GE(size, 65536);

    std::int32_t lowWater = 0;
    EXPECT_EQ(socket->SetSendLowWater(4096), ResultFail);
    ASSERT_EQ(socket->GetSendLowWater(&lowWater), ResultOk);
    EXPECT_EQ(lowWater, 1);
    EXPECT_EQ(socket->GetSendLowWater(nullptr), ResultNullPointer);
}

// The time-out is in milliseconds: read as seconds it would block for almost a minute.
TEST(SocketOptions, ReceiveTimeoutEndsABlockingReceive) {
    RefPtr<ISocket> socket = NewUdp();
    ASSERT_EQ(socket->SetReceiveTimeout(50), ResultOk);
    ASSERT_EQ(socket->SetSendTimeout(50), ResultOk);
    char buffer[4];
    std::uint32_t length = 0;
    const auto start = Clock::now();
    EXPECT_EQ(socket->Receive(buffer, sizeof buffer, &length), ResultFail);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 40ms);
    EXPECT_LT(waited, 5s);
}

TEST(SocketClose, CloseIsIdempotentAndEndsUse) {
    RefPtr<ISocket> socket = NewUdp();
    EXPECT_EQ(socket->Close(), ResultOk);
    EXPECT_EQ(socket->Destroy(), ResultOk);
    EXPECT_EQ(socket->GetNativeSocket(), -1);
    EXPECT_EQ(socket->SendTo("x", 1, IPEndPoint(Loopback, 9)), ResultFail);
}

// Whether a thread of this process is asleep, which for a thread that does nothing but
// receive means it is blocked in the receive.
bool IsAsleep(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

// Closing a descriptor that another thread is inside is unsafe (the number may be reused at
// once), so a blocked thread is woken by a shutdown and the socket closed after it left.
TEST(SocketClose, ShutdownFromAnotherThreadEndsABlockedReceive) {
    RefPtr<ISocket> socket = NewUdp();
    // Only a backstop, so that a broken Shutdown fails the test instead of hanging it.
    ASSERT_EQ(socket->SetReceiveTimeout(60000), ResultOk);
    std::atomic<pid_t> readerId{0};
    testing::Signal signal;
    bool returned = false;
    std::thread reader([&] {
        readerId = gettid();
        char buffer[4];
        std::uint32_t length = 0;
        socket->Receive(buffer, sizeof buffer, &length);
        signal.Update([&] { returned = true; });
    });
    EXPECT_TRUE(testing::PollUntil([&] { return readerId != 0 && IsAsleep(readerId); }));
    socket->Shutdown();  // "not connected" for a datagram socket, but it wakes the reader
    EXPECT_TRUE(signal.WaitUntil([&] { return returned; }));
    reader.join();
    EXPECT_EQ(socket->Close(), ResultOk);
}

TEST(HostNames, DottedQuadAndLocalhostResolveWithoutTheNetwork) {
    RefPtr<ISocket> socket = NewUdp();
    std::uint32_t address = 0;
    ASSERT_EQ(socket->ResolveHostName("127.0.0.1", &address), ResultOk);
    EXPECT_EQ(address, Loopback);
    address = 0;
    ASSERT_EQ(socket->ResolveHostName("localhost", &address), ResultOk);
    EXPECT_EQ(address >> 24, 127u);
}

TEST(HostNames, NamesOf255CharactersAreRefused) {
    RefPtr<ISocket> socket = NewUdp();
    std::uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(socket->ResolveHostName(std::string(255, 'a'), &address), ResultFail);
    EXPECT_EQ(socket->ResolveHostName(std::string("127.0.0.1\0x", 11), &address), ResultFail);
    EXPECT_EQ(address, 0xDEADBEEFu);
}

TEST(LocalAddresses, ListingSucceedsWithoutLoopback) {
    RefPtr<ISocket> socket = NewUdp();
    std::vector<std::uint32_t> addresses{1, 2, 3};
    ASSERT_EQ(socket->GetLocalIpv4Addresses(&addresses), ResultOk);
    for (std::uint32_t address : addresses)
        EXPECT_NE(address >> 24, 127u);
    std::uint32_t wireless = 0;
    EXPECT_EQ(socket->GetLocalIpv4WifiAddress(&wireless), ResultOk);
}

}  // namespace
}  // namespace brondal::platform
