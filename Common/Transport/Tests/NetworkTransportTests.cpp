// The TCP transport end to end over loopback: handshake, frames both ways, events,
// connection table operations, the listener's controls and handshake failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "Handshake.h"
#include "LogCapture.h"
#include "LoopbackSupport.h"
#include "NetworkTransportImpl.h"
#include "SocketTos.h"
#include "TcpSocket.h"
#include "WaitFor.h"
#include "WireFormat.h"

namespace brondal {
namespace {

using testing::BytesOf;
using testing::FindFreePort;
using testing::Loopback;
using testing::RecordingListener;
using testing::StreamOf;

const UUID TestChannel(0x11223344, 0x5566, 0x7788, 0x99aabbccddeeff00);

RefPtr<ITransport> MakeTransport(std::uint16_t port, std::uint32_t bindAddress = Loopback) {
    RefPtr<ITransport> transport;
    EXPECT_EQ(platform::CreateInstance(bindAddress, port, transport.Receive()), ResultOk);
    return transport;
}

// A listening transport and a connecting one, each with a recording listener.
class LoopbackTransport : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = FindFreePort();
        server_ = MakeTransport(port_);
        client_ = MakeTransport(0, 0);
        ASSERT_EQ(server_->Initialize(false, true), ResultOk);
        ASSERT_EQ(client_->Initialize(false, true), ResultOk);
        server_->AddNotify(serverEvents_.Get());
        client_->AddNotify(clientEvents_.Get());
    }
    void TearDown() override {
        if (client_) client_->Finalize();
        if (server_) server_->Finalize();
    }

    UUID Connect() {
        UUID id;
        EXPECT_EQ(client_->OpenConnection(Loopback, port_, &id, 2000), ResultOk);
        return id;
    }

    std::uint16_t port_ = 0;
    RefPtr<ITransport> server_;
    RefPtr<ITransport> client_;
    RefPtr<RecordingListener> serverEvents_ =
        RefPtr<RecordingListener>::Adopt(new RecordingListener);
    RefPtr<RecordingListener> clientEvents_ =
        RefPtr<RecordingListener>::Adopt(new RecordingListener);
};

TEST_F(LoopbackTransport, BothEndsNameTheConnectionAlikeAndExchangeFrames) {
    const UUID id = Connect();
    ASSERT_FALSE(id.IsNil());
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionOpened, 1));
    EXPECT_EQ(serverEvents_->Events().front().first, id);
    // Outward connections raise no connected event.
    EXPECT_EQ(clientEvents_->CountEvents(ITransport::ConnectionOpened), 0u);

    std::vector<std::uint8_t> large(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(client_->Write(id, TestChannel, StreamOf({}).Get()), ResultOk);
    EXPECT_EQ(client_->Write(id, TestChannel, StreamOf(large).Get()), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitFrames(2));
    auto frames = serverEvents_->Frames();
    EXPECT_EQ(frames[0].connection, id);
    EXPECT_EQ(frames[0].channel, TestChannel);
    EXPECT_TRUE(frames[0].payload.empty());
    EXPECT_EQ(frames[1].payload, large);

    EXPECT_EQ(server_->Write(id, TestChannel, StreamOf({1, 2, 3}).Get()), ResultOk);
    ASSERT_TRUE(clientEvents_->WaitFrames(1));
    EXPECT_EQ(clientEvents_->Frames()[0].payload, (std::vector<std::uint8_t>{1, 2, 3}));

    std::uint32_t address = 0;
    std::uint16_t peerPort = 0;
    EXPECT_EQ(client_->GetPeerIpv4(id, &address, &peerPort), ResultOk);
    EXPECT_EQ(address, Loopback);
    EXPECT_EQ(peerPort, port_);
    EXPECT_EQ(server_->GetLocalIpv4(id, &address), ResultOk);
    EXPECT_EQ(address, Loopback);
    std::uint32_t count = 0;
    EXPECT_EQ(server_->GetStatistics(&count), ResultOk);
    EXPECT_EQ(count, 1u);
}

// Both ends deliver on their readers, so both read their connections with a few receive
// loops: many connections cost no thread each, and every connection's frames still arrive
// whole and in order while several writers send on all of them at once.
TEST_F(LoopbackTransport, ManyConnectionsAreReadByAFewLoopsEachInItsOwnOrder) {
    constexpr std::size_t Connections = 48;
    constexpr std::size_t Writers = 4;
    constexpr std::uint32_t FramesEach = 60;
    const auto SizeOf = [](std::uint32_t n, std::size_t c) {
        return 4 + (n * 977 + c * 31) % 9000;
    };
    const std::size_t threadsBefore = testing::SettledThreadCount();
    std::vector<UUID> ids;
    for (std::size_t i = 0; i < Connections; ++i)
        ids.push_back(Connect());
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionOpened, Connections));
    // Loops on both sides and nothing per connection (a thread each would be 96).
    EXPECT_LE(testing::SettledThreadCount(), threadsBefore + 2 * 4 + 2);

    std::vector<std::thread> writers;
    for (std::size_t w = 0; w < Writers; ++w) {
        writers.emplace_back([&, w] {
            for (std::uint32_t n = 0; n < FramesEach; ++n) {
                for (std::size_t c = w; c < Connections; c += Writers) {
                    // Sizes cross the read buffer now and then: frames that end mid-buffer
                    // and bodies read in several passes.
                    std::vector<std::uint8_t> payload(SizeOf(n, c));
                    std::memcpy(payload.data(), &n, sizeof n);
                    EXPECT_EQ(client_->Write(ids[c], TestChannel, StreamOf(payload).Get()),
                              ResultOk);
                }
            }
        });
    }
    for (auto& writer : writers)
        writer.join();
    ASSERT_TRUE(serverEvents_->WaitFrames(Connections * FramesEach));
    std::map<UUID, std::size_t> index;
    for (std::size_t c = 0; c < Connections; ++c)
        index[ids[c]] = c;
    std::map<UUID, std::uint32_t> next;
    for (const auto& frame : serverEvents_->Frames()) {
        std::uint32_t n = 0;
        ASSERT_GE(frame.payload.size(), sizeof n);
        std::memcpy(&n, frame.payload.data(), sizeof n);
        EXPECT_EQ(frame.payload.size(), SizeOf(n, index[frame.connection]));
        EXPECT_EQ(n, next[frame.connection]++) << "out of order on a connection";
    }
    EXPECT_EQ(next.size(), Connections);

    // And the other way: every client connection is read as well.
    for (const UUID& id : ids)
        EXPECT_EQ(server_->Write(id, TestChannel, StreamOf({7}).Get()), ResultOk);
    EXPECT_TRUE(clientEvents_->WaitFrames(Connections));
}

TEST_F(LoopbackTransport, WriterWritesDirectlyAndOutlivesTheTableEntry) {
    const UUID id = Connect();
    RefPtr<ITransportFastWrite> fast(dynamic_cast<ITransportFastWrite*>(client_.Get()));
    ASSERT_TRUE(fast);
    RefPtr<ITransportFastWrite::IWriter> writer;
    ASSERT_EQ(fast->CreateWriter(id, writer.Receive()), ResultOk);
    EXPECT_EQ(writer->Write(TestChannel, StreamOf({9}).Get()), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitFrames(1));

    EXPECT_EQ(client_->CloseConnection(id), ResultOk);
    // Queued in order behind the deletion: the connection is gone for both.
    EXPECT_EQ(client_->Write(id, TestChannel, StreamOf({1}).Get()), ResultConnectionNotFound);
    RefPtr<ITransportFastWrite::IWriter> none;
    EXPECT_EQ(fast->CreateWriter(id, none.Receive()), ResultConnectionNotFound);
    // The held writer stays a valid object; its connection is closed by now or soon.
    writer.Reset();
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionClosed, 1));
}

TEST_F(LoopbackTransport, DscpMarksKnownConnectionsOnly) {
    if (!platform::SocketMarkingAvailable()) {
        GTEST_SKIP() << "this system cannot mark sockets (qWave missing, or a stub as in Wine)";
    }
    const UUID id = Connect();
    EXPECT_EQ(client_->SetConnectionSocketDscp(id, 46), ResultOk);
    EXPECT_EQ(client_->SetConnectionSocketDscp(UUID(), 46), ResultFail);
    // A marked connection still carries frames.
    EXPECT_EQ(client_->Write(id, TestChannel, StreamOf({5}).Get()), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitFrames(1));
}

TEST_F(LoopbackTransport, CleanPeerCloseGivesExactlyOneDisconnectAndNoErrorLine) {
    testing::LogCapture log;
    const UUID id = Connect();
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionOpened, 1));
    EXPECT_EQ(client_->CloseConnection(id), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionClosed, 1));
    ASSERT_TRUE(clientEvents_->WaitEvents(ITransport::ConnectionClosed, 1));
    // The server removed its side too; a further close would raise a second event.
    ASSERT_TRUE(testing::PollUntil([&] {
        std::uint32_t count = 1;
        server_->GetStatistics(&count);
        return count == 0;
    }));
    EXPECT_EQ(serverEvents_->CountEvents(ITransport::ConnectionClosed), 1u);
    EXPECT_EQ(clientEvents_->CountEvents(ITransport::ConnectionClosed), 1u);
    for (const std::string& message : log.Messages()) {
        EXPECT_EQ(message.find("error"), std::string::npos) << message;
        EXPECT_EQ(message.find("Socket closed"), std::string::npos) << message;
    }
}

TEST_F(LoopbackTransport, ManyConnectionsFromSeveralThreads) {
    constexpr int Threads = 4;
    constexpr int PerThread = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i) {
                UUID id;
                if (Failed(client_->OpenConnection(Loopback, port_, &id, 5000)) ||
                    Failed(client_->Write(id, TestChannel,
                                          StreamOf({static_cast<std::uint8_t>(t), 1}).Get()))) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(serverEvents_->WaitFrames(Threads * PerThread));
    std::uint32_t count = 0;
    client_->GetStatistics(&count);
    EXPECT_EQ(count, static_cast<std::uint32_t>(Threads * PerThread));
    EXPECT_EQ(client_->CloseAllConnections(), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionClosed, Threads * PerThread));
}

TEST_F(LoopbackTransport, ReadyForWriteIsFalseOnceThePeerStopsReading) {
    // A peer that sends the handshake and then never reads.
    const std::uint16_t port = FindFreePort();
    int listener = platform::TcpCreate();
    ASSERT_EQ(platform::TcpBind(listener, Loopback, port), 0);
    ASSERT_EQ(platform::TcpListen(listener), 0);
    std::thread peer([&] {
        int socket = platform::TcpAccept(listener);
        HandshakeRecord record = BuildHandshake(TestChannel, false);
        platform::TcpSend(socket, record.data(), static_cast<std::uint32_t>(record.size()));
        platform::TcpWaitReadable(listener, 20000);  // until the test closes the listener
        platform::TcpClose(socket);
    });
    UUID id;
    ASSERT_EQ(client_->OpenConnection(Loopback, port, &id, 2000), ResultOk);
    EXPECT_EQ(id, TestChannel);
    bool ready = false;
    EXPECT_EQ(client_->ConnectionReadyForWrite(id, &ready), ResultOk);
    EXPECT_TRUE(ready);
    ASSERT_EQ(client_->SetWriteTimeout(200), ResultOk);
    std::vector<std::uint8_t> chunk(64 * 1024);
    Result result = ResultOk;
    for (int i = 0; i < 10000 && result == ResultOk; ++i) {
        result = client_->Write(id, TestChannel, StreamOf(chunk).Get());
    }
    EXPECT_EQ(result, ResultWriteTimeout);
    EXPECT_EQ(client_->ConnectionReadyForWrite(id, &ready), ResultOk);
    EXPECT_FALSE(ready);
    platform::TcpShutdown(listener);
    peer.join();
    platform::TcpClose(listener);
}

TEST_F(LoopbackTransport, DisabledListenerSendsNoHandshakeUntilEnabled) {
    ASSERT_EQ(server_->SetEnabled(false), ResultOk);
    UUID id;
    EXPECT_EQ(client_->OpenConnection(Loopback, port_, &id, 300), ResultFail);
    EXPECT_EQ(serverEvents_->CountEvents(ITransport::ConnectionOpened), 0u);
    ASSERT_EQ(server_->SetEnabled(true), ResultOk);
    EXPECT_EQ(client_->OpenConnection(Loopback, port_, &id, 2000), ResultOk);
}

TEST_F(LoopbackTransport, ChangeListenerPortMovesTheListener) {
    EXPECT_EQ(server_->ChangeListenerPort(0), ResultOk);
    const std::uint16_t moved = FindFreePort();
    ASSERT_EQ(server_->ChangeListenerPort(moved), ResultOk);
    UUID id;
    EXPECT_EQ(client_->OpenConnection(Loopback, moved, &id, 2000), ResultOk);
    EXPECT_EQ(client_->OpenConnection(Loopback, port_, &id, 300), ResultFail);
    EXPECT_EQ(server_->ReleaseListenerPort(), ResultOk);
    EXPECT_EQ(client_->OpenConnection(Loopback, moved, &id, 300), ResultFail);
}

TEST_F(LoopbackTransport, ListenerRebindsAtOnceAfterARestart) {
    const UUID id = Connect();
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionOpened, 1));
    // The server closes first, so its side of the connection lingers in TIME_WAIT.
    server_->Finalize();
    ASSERT_TRUE(clientEvents_->WaitEvents(ITransport::ConnectionClosed, 1));
    server_ = MakeTransport(port_);
    EXPECT_EQ(server_->Initialize(false, true), ResultOk);
    UUID again;
    EXPECT_EQ(client_->OpenConnection(Loopback, port_, &again, 2000), ResultOk);
    EXPECT_NE(again, id);
}

TEST(NetworkTransport, TextTransportDeliversTextFramesUnderTheNilChannel) {
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server;
    ASSERT_EQ(platform::CreateTextInstance(Loopback, port, server.Receive()), ResultOk);
    ASSERT_EQ(server->Initialize(true, true), ResultOk);
    RefPtr<RecordingListener> events = RefPtr<RecordingListener>::Adopt(new RecordingListener);
    server->AddNotify(events.Get());
    RefPtr<ITransport> client = MakeTransport(0, 0);
    ASSERT_EQ(client->Initialize(false, true), ResultOk);
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, port, &id, 2000), ResultOk);
    const std::string text = "status=ready;";
    EXPECT_EQ(client->WriteTextSynchronous(id, StreamOf({text.begin(), text.end()}).Get()),
              ResultOk);
    EXPECT_EQ(client->WriteText(id, StreamOf({'b', ';'}).Get()), ResultOk);
    ASSERT_TRUE(events->WaitFrames(2));
    auto frames = events->Frames();
    EXPECT_EQ(frames[0].channel, UUID());
    RefPtr<IDataStream> delivered = StreamOf(frames[0].payload);
    std::string read;
    ASSERT_EQ(delivered->ReadString(&read), ResultOk);
    EXPECT_EQ(read, text);
    client->Finalize();
    server->Finalize();
}

TEST(NetworkTransport, VersionMismatchFailsTheConnect) {
    testing::LogCapture log;
    const std::uint16_t port = FindFreePort();
    int listener = platform::TcpCreate();
    ASSERT_EQ(platform::TcpBind(listener, Loopback, port), 0);
    ASSERT_EQ(platform::TcpListen(listener), 0);
    std::thread peer([&] {
        int socket = platform::TcpAccept(listener);
        HandshakeRecord record = BuildHandshake(TestChannel, false);
        std::memcpy(record.data() + HandshakeVersionOffset, "0003", 4);
        platform::TcpSend(socket, record.data(), static_cast<std::uint32_t>(record.size()));
        platform::TcpWaitReadable(socket, 5000);
        platform::TcpClose(socket);
    });
    RefPtr<ITransport> client = MakeTransport(0, 0);
    ASSERT_EQ(client->Initialize(false, true), ResultOk);
    UUID id;
    EXPECT_EQ(client->OpenConnection(Loopback, port, &id, 2000), ResultVersionMismatch);
    EXPECT_TRUE(log.Contains("0003"));
    peer.join();
    platform::TcpClose(listener);
    client->Finalize();
}

TEST(NetworkTransport, OperationsFollowTheInitialisedState) {
    RefPtr<ITransport> transport = MakeTransport(0, 0);
    UUID id;
    bool ready = false;
    EXPECT_EQ(transport->Write(id, TestChannel, StreamOf({}).Get()), ResultNotInitialized);
    EXPECT_EQ(transport->OpenConnection(Loopback, 1, &id, 100), ResultNotInitialized);
    EXPECT_EQ(transport->ConnectionReadyForWrite(id, &ready), ResultNotInitialized);
    EXPECT_EQ(transport->SetEnabled(true), ResultNotInitialized);
    EXPECT_EQ(transport->Finalize(), ResultNotInitialized);
    EXPECT_EQ(transport->AddNotify(nullptr), ResultNotInitialized);

    ASSERT_EQ(transport->Initialize(false, true), ResultOk);
    EXPECT_EQ(transport->Initialize(false, true), ResultAlreadyInitialized);
    EXPECT_EQ(transport->SetWriteTimeout(0), ResultInvalidArgument);
    EXPECT_EQ(transport->EnableReliableDelivery(), ResultFail);
    // Without TLS settings encryption cannot be switched on.
    EXPECT_EQ(transport->SetEncryptionEnabled(true), ResultFail);
    std::uint32_t address = 7;
    EXPECT_EQ(transport->GetLocalIpv4(id, &address), ResultOk);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(transport->GetPeerIpv4(id, &address, nullptr), ResultFail);
    EXPECT_EQ(transport->Finalize(), ResultOk);
    EXPECT_EQ(transport->Finalize(), ResultNotInitialized);
}

TEST(NetworkTransport, GetHostByNameReadsDottedQuadsItself) {
    RefPtr<ITransport> transport = MakeTransport(0, 0);
    std::uint32_t address = 0;
    EXPECT_EQ(transport->GetHostByName("10.1.2.3", &address), ResultOk);
    EXPECT_EQ(address, (10u << 24) | (1u << 16) | (2u << 8) | 3u);
    EXPECT_EQ(transport->GetHostByName("localhost", &address), ResultOk);
    EXPECT_EQ(address, Loopback);
}

TEST(NetworkTransport, ListenerPortInUseFailsInitialize) {
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> first = MakeTransport(port);
    ASSERT_EQ(first->Initialize(false, true), ResultOk);
    RefPtr<ITransport> second = MakeTransport(port);
    EXPECT_EQ(second->Initialize(false, true), ResultFail);
    first->Finalize();
}

}  // namespace
}  // namespace brondal
