// Keep-alive between connections and the manager's idle purge. Keep-alive runs on real
// time with short intervals; the purge's minutes pass on a test clock.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Connection.h"
#include "ConnectionManager.h"
#include "DeleteLater.h"
#include "FrameEncoder.h"
#include "Handshake.h"
#include "LogCapture.h"
#include "LoopbackSupport.h"
#include "ManualClockScheduler.h"
#include "NetworkTransportImpl.h"
#include "TcpSocket.h"
#include "WaitFor.h"
#include "WireFormat.h"

namespace brondal {
namespace {

using testing::FindFreePort;
using testing::Loopback;
using testing::RecordingListener;
using testing::StreamOf;

// A peer written against the wire format alone: it connects to a transport, takes the
// handshake and then sends and reads frames byte for byte.
class RawPeer {
public:
    explicit RawPeer(std::uint16_t port) : socket_(platform::TcpCreate()) {
        EXPECT_EQ(platform::TcpConnect(socket_, Loopback, port, 2000), 0);
        std::uint8_t handshake[HandshakeLength];
        EXPECT_EQ(platform::TcpRecvAll(socket_, handshake, HandshakeLength),
                  static_cast<int>(HandshakeLength));
    }
    ~RawPeer() { platform::TcpClose(socket_); }

    void SendKeepAliveSettings(std::uint32_t intervalMs, std::uint32_t timeoutMs) {
        RefPtr<IDataStream> settings;
        NewDataStream(settings.Receive());
        settings->WriteUInt32(intervalMs);
        settings->WriteUInt32(timeoutMs);
        std::vector<std::uint8_t> wire;
        ASSERT_EQ(EncodeBinaryFrame(KeepAliveSettingsId, settings.Get(), &wire), ResultOk);
        ASSERT_EQ(platform::TcpSend(socket_, wire.data(), static_cast<std::uint32_t>(wire.size())),
                  static_cast<int>(wire.size()));
    }

    // The channel of the next frame (its payload must be empty), or nil when the transport
    // closed the connection or nothing came within the bound.
    UUID ReadEmptyFrame() {
        std::uint8_t frame[FrameHeaderLength];
        if (platform::TcpWaitReadable(socket_, 10000) != 1) return {};
        if (platform::TcpRecvAll(socket_, frame, sizeof frame) != static_cast<int>(sizeof frame)) {
            return {};
        }
        EXPECT_EQ(DecodeUInt32(frame + FrameLengthOffset), 0u);
        return DecodeChannelId(frame + FrameChannelOffset);
    }

    // True when the transport closed the connection within the bound; pings on the way are
    // read and counted.
    bool WaitClosed(int* pings) {
        for (;;) {
            if (platform::TcpWaitReadable(socket_, 10000) != 1) return false;
            std::uint8_t frame[FrameHeaderLength];
            int received = platform::TcpRecvAll(socket_, frame, sizeof frame);
            if (received <= 0) return true;
            if (received == static_cast<int>(sizeof frame)) ++*pings;
        }
    }

private:
    int socket_;
};

class KeepAlive : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = FindFreePort();
        ASSERT_EQ(platform::CreateInstance(Loopback, port_, server_.Receive()), ResultOk);
        ASSERT_EQ(server_->Initialize(false, true), ResultOk);
        server_->AddNotify(events_.Get());
    }
    void TearDown() override {
        server_->Finalize();
        server_.Reset();
        // Connections end on the deletion thread; none may outlive its test.
        EXPECT_TRUE(WaitForDeferredDeletions(10000));
    }

    std::uint16_t port_ = 0;
    RefPtr<ITransport> server_;
    RefPtr<RecordingListener> events_ = RefPtr<RecordingListener>::Adopt(new RecordingListener);
};

TEST_F(KeepAlive, SettingsStartPingsAndSilenceClosesTheConnection) {
    testing::LogCapture log;
    RawPeer peer(port_);
    peer.SendKeepAliveSettings(100, 600);
    EXPECT_EQ(peer.ReadEmptyFrame(), KeepAlivePingId);
    EXPECT_EQ(peer.ReadEmptyFrame(), KeepAlivePingId);
    // The peer never pings back: more than 600 / 100 empty waits close the connection.
    int pings = 0;
    EXPECT_TRUE(peer.WaitClosed(&pings));
    ASSERT_TRUE(events_->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_TRUE(log.Contains("Keep Alive on connection expired"));
}

TEST_F(KeepAlive, TwoTransportsKeepEachOtherAlivePastTheTimeout) {
    RefPtr<ITransport> client;
    ASSERT_EQ(platform::CreateInstance(0, 0, client.Receive()), ResultOk);
    ASSERT_EQ(client->Initialize(false, true), ResultOk);
    RefPtr<RecordingListener> clientEvents =
        RefPtr<RecordingListener>::Adopt(new RecordingListener);
    client->AddNotify(clientEvents.Get());
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, port_, &id, 2000), ResultOk);
    ASSERT_EQ(client->SetKeepAlive(id, 100, 500), ResultOk);
    // Four timeouts of silence from the users: only the pings of both sides keep it open.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(events_->CountEvents(ITransport::ConnectionClosed), 0u);
    EXPECT_EQ(clientEvents->CountEvents(ITransport::ConnectionClosed), 0u);
    EXPECT_EQ(client->Write(id, KeepAlivePingId, StreamOf({}).Get()), ResultOk);
    client->Finalize();
    ASSERT_TRUE(events_->WaitEvents(ITransport::ConnectionClosed, 1));
}

TEST(IdlePurge, IdleConnectionsGoAfterFiveMinutesUnlessKeptAlive) {
    // Threads left by earlier tests would read the test clock too.
    const std::size_t threadsBefore = testing::SettledThreadCount();
    testing::ManualClockScheduler clock;
    testing::LogCapture log;
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server;
    ASSERT_EQ(platform::CreateInstance(Loopback, port, server.Receive()), ResultOk);
    ASSERT_EQ(server->Initialize(false, true), ResultOk);
    RefPtr<RecordingListener> events = RefPtr<RecordingListener>::Adopt(new RecordingListener);
    server->AddNotify(events.Get());
    ASSERT_EQ(server->SetIdleConnectionPurgeEnabled(true), ResultOk);

    RawPeer idle(port);
    RawPeer kept(port);
    ASSERT_TRUE(events->WaitEvents(ITransport::ConnectionOpened, 2));
    kept.SendKeepAliveSettings(100, 3600000);
    // Its first ping shows the sender runs.
    ASSERT_EQ(kept.ReadEmptyFrame(), KeepAlivePingId);

    // A sweep only runs on a pass that a queued call triggers.
    auto sweep = [&] {
        bool ready = false;
        server->ConnectionReadyForWrite(UUID(), &ready);
    };
    auto connections = [&] {
        std::uint32_t count = 0;
        server->GetStatistics(&count);
        return count;
    };
    clock.AdvanceMs(Connection::IdlePurgeMs - 1000);
    sweep();
    sweep();
    EXPECT_EQ(connections(), 2u);

    // Sweeps are 30 s apart; the next one finds the idle connection past the limit.
    clock.AdvanceMs(ConnectionManager::PurgeSweepIntervalMs + 1);
    sweep();
    ASSERT_TRUE(events->WaitEvents(ITransport::ConnectionClosed, 1));
    ASSERT_TRUE(testing::PollUntil([&] { return connections() == 1; }));
    int pings = 0;
    EXPECT_TRUE(idle.WaitClosed(&pings));
    EXPECT_TRUE(log.Contains("Safety timout reached. Connection thread removed. State = 0"));
    // The kept connection survives a later sweep too.
    clock.AdvanceMs(ConnectionManager::PurgeSweepIntervalMs + 1);
    sweep();
    sweep();
    EXPECT_EQ(connections(), 1u);
    EXPECT_EQ(events->CountEvents(ITransport::ConnectionClosed), 1u);
    // Every connection thread must be gone before the test clock is: their last
    // references go through the deletion thread.
    server->Finalize();
    server.Reset();
    EXPECT_TRUE(kept.WaitClosed(&pings));
    EXPECT_TRUE(WaitForDeferredDeletions(10000));
    EXPECT_TRUE(testing::WaitForThreadCount(threadsBefore));
}

}  // namespace
}  // namespace brondal
