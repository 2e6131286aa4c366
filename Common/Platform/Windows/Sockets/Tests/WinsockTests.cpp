// What the Winsock layer emulates of POSIX: a send that never waits (Winsock has no flag
// for it) next to blocking receives, a local shutdown read as the end of the stream, and
// the send poller over a polled list.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "SocketPoller.h"
#include "TcpSocket.h"
#include "WaitFor.h"

namespace brondal::platform {
namespace {

constexpr std::uint32_t Loopback = 0x7f000001;

// A connected pair over the loopback address, both blocking.
class ConnectedPair : public ::testing::Test {
protected:
    void SetUp() override {
        listener_ = TcpCreate();
        ASSERT_GE(listener_, 0);
        ASSERT_EQ(TcpBind(listener_, Loopback, 0), 0);
        ASSERT_EQ(TcpListen(listener_), 0);
        std::uint16_t port = 0;
        ASSERT_EQ(TcpGetLocal(listener_, nullptr, &port), 0);
        client_ = TcpCreate();
        ASSERT_EQ(TcpConnect(client_, Loopback, port, 5000), 0);
        server_ = TcpAccept(listener_);
        ASSERT_GE(server_, 0);
    }
    void TearDown() override {
        TcpClose(client_);
        TcpClose(server_);
        TcpClose(listener_);
    }

    int listener_ = -1;
    int client_ = -1;
    int server_ = -1;
};

TEST_F(ConnectedPair, SendNeverWaitsWhileAReceiveBlocksOnTheSameSocket) {
    ASSERT_EQ(TcpSetSendBufferSize(client_, 4096), 0);
    // The client's receive blocks throughout; the sends switch the socket to non-blocking
    // for an instant each, which must not make the receive fail.
    std::atomic<int> received{-2};
    std::thread reader([&] {
        char byte = 0;
        received = TcpRecv(client_, &byte, 1);
    });
    const std::vector<char> chunk(64 * 1024, 'x');
    int sent = 1;
    std::uint64_t total = 0;
    // The server reads nothing, so the buffers fill and a send finds no room.
    for (int i = 0; i < 10000 && sent > 0; ++i) {
        sent = TcpSend(client_, chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        if (sent > 0) total += static_cast<std::uint64_t>(sent);
    }
    EXPECT_EQ(sent, 0) << "after " << total << " bytes";
    EXPECT_TRUE(IsWouldBlock(LastSocketError()));

    const char one = 1;
    ASSERT_EQ(TcpSend(server_, &one, 1), 1);
    reader.join();
    EXPECT_EQ(received.load(), 1);
}

TEST_F(ConnectedPair, ALocalShutdownReadsAsTheEndOfTheStream) {
    ASSERT_EQ(TcpShutdown(client_), 0);
    char byte = 0;
    EXPECT_EQ(TcpPeek(client_, &byte, 1), 0);
    EXPECT_EQ(TcpRecv(client_, &byte, 1), 0);
    EXPECT_EQ(LastSocketError(), 0);
}

TEST_F(ConnectedPair, PollerReportsAWritableSocketOnceAndWakes) {
    SocketPoller poller;
    ASSERT_TRUE(poller.IsValid());
    int tag = 0;
    ASSERT_EQ(poller.WatchWritable(server_, &tag), 0);
    std::vector<void*> ready;
    // The watch itself wakes a wait in progress; the socket follows.
    ASSERT_TRUE(testing::PollUntil([&] { return poller.Wait(100, &ready) > 0; }));
    EXPECT_EQ(ready, std::vector<void*>{&tag});
    // Reported once: disarmed until watched again.
    ready.clear();
    EXPECT_EQ(poller.Wait(20, &ready), 0);
    ASSERT_EQ(poller.WatchWritable(server_, &tag), 0);
    ASSERT_EQ(poller.Forget(server_), 0);
    poller.Wake();
    EXPECT_EQ(poller.Wait(-1, &ready), 0);
    EXPECT_TRUE(ready.empty());
}

}  // namespace
}  // namespace brondal::platform
