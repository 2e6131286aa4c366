// The directory on the network: the request methods through the stub, and clients on real
// loopback connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "CorvaneDirectoryService.h"
#include "DirectoryServiceStubImpl.h"
#include "DirectoryTestSupport.h"
#include "UuidStream.h"

namespace brondal::corvane::server {
namespace {

using namespace brondal::testing;

std::vector<std::uint8_t> BytesOf(const RefPtr<IDataStream>& stream) {
    return RemainingBytes(stream.Get());
}

// A registry on free loopback ports, with its real threads.
class DirectoryNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry = StartRegistry();
        ASSERT_TRUE(registry);
        port = registry->GetPort();
        stub = RefPtr<DirectoryServiceStubImpl>::Adopt(
            new DirectoryServiceStubImpl(registry->GetLink()));
    }

    // Runs a method through the stub as the engine would; the reply's bytes go to reply.
    Result Execute(const UUID& connection, std::int32_t method, const RefPtr<IDataStream>& args,
                   std::vector<std::uint8_t>* reply = nullptr) {
        RefPtr<IDataStream> out = NewStream();
        const Result result =
            stub->ExecuteStub(nullptr, connection, CorvaneDirectoryService::DirectoryObjectId,
                              method, args.Get(), out.Get());
        if (reply) *reply = BytesOf(out);
        return result;
    }
    std::uint32_t CallbackConnections() {
        std::uint32_t connections = 0, queued = 0;
        registry->GetCallbackStats(&connections, &queued);
        return connections;
    }
    std::uint32_t QueuedCallbacks() {
        std::uint32_t connections = 0, queued = 0;
        registry->GetCallbackStats(&connections, &queued);
        return queued;
    }

    std::uint16_t port = 0;
    RefPtr<CorvaneDirectoryService> registry;
    RefPtr<DirectoryServiceStubImpl> stub;
};

TEST_F(DirectoryNetworkTest, UpdateTakesDefaultsForMissingValuesAndRefusesTruncatedOnes) {
    const UUID old(1, 0, 0, 1), full(2, 0, 0, 2), cutPort(3, 0, 0, 3);
    std::vector<std::uint8_t> reply{1};
    ASSERT_EQ(Execute({}, 4, UpdateArguments(old), &reply), ResultOk);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(registry->GetDisplay(old).value(),
              (DisplayRecord{old, "Second", "Name", 0x0a000001, 5000, 1, "", 0}));

    RefPtr<IDataStream> args = UpdateArguments(full);
    args->WriteUInt32(7);
    args->WriteString("x");
    ASSERT_EQ(Execute({}, 4, args), ResultOk);
    EXPECT_EQ(registry->GetDisplay(full)->tag, 7u);
    EXPECT_EQ(registry->GetDisplay(full)->extra, "x");

    const std::uint64_t version = registry->GetDirectoryVersion();
    RefPtr<IDataStream> cutPortArgs = NewStream();
    SerializeUuid(cutPortArgs.Get(), cutPort);
    cutPortArgs->WriteString("Name");
    cutPortArgs->WriteString("Second");
    cutPortArgs->WriteUInt32(0x0a000001);
    cutPortArgs->WriteUInt8(0x88);  // half a port
    EXPECT_EQ(Execute({}, 4, cutPortArgs), ResultFail);
    RefPtr<IDataStream> cutId = NewStream();
    cutId->WriteUInt64(3);  // half an identifier
    EXPECT_EQ(Execute({}, 4, cutId), ResultFail);
    EXPECT_EQ(registry->GetDisplayCount(), 2u);
    EXPECT_EQ(registry->GetDirectoryVersion(), version);
    EXPECT_EQ(registry->GetCounters().updateCount, 2u);
}

TEST_F(DirectoryNetworkTest, SubscriptionAndEnumerationThroughTheStub) {
    const UUID request(0x11, 0, 0, 1), callbackA(0x22, 0, 0, 1), callbackB(0x22, 0, 0, 2);
    registry->UpdateDisplay(UUID(5, 0, 0, 5), "n", "s", 1, 2, 3, "");

    // Not subscribed: a failure without a version; unsubscribing is harmless.
    std::vector<std::uint8_t> reply;
    EXPECT_EQ(Execute(request, 2, NewStream(), &reply), ResultFail);
    EXPECT_TRUE(reply.empty());
    for (const std::int32_t method : {1, 3, 5}) {
        EXPECT_EQ(Execute(request, method, NewStream(), &reply), ResultOk) << method;
        EXPECT_TRUE(reply.empty()) << method;
    }

    // A cut identifier subscribes nobody; a second subscription keeps the first pairing.
    RefPtr<IDataStream> cut = NewStream();
    cut->WriteUInt64(0x22);
    EXPECT_EQ(Execute(request, 0, cut), ResultFail);
    EXPECT_FALSE(registry->GetSubscription(request));
    for (const UUID& callback : {callbackA, callbackB}) {
        RefPtr<IDataStream> args = NewStream();
        SerializeUuid(args.Get(), callback);
        EXPECT_EQ(Execute(request, 0, args), ResultOk);
    }
    EXPECT_EQ(registry->GetSubscription(request), callbackA);
    EXPECT_EQ(CallbackConnections(), 1u);

    // An empty argument stream: the plain table (one batch; the fake callback connection
    // never takes it, so it stays queued) and the version.
    const std::uint64_t version = registry->GetDirectoryVersion();
    ASSERT_EQ(Execute(request, 2, NewStream(), &reply), ResultOk);
    RefPtr<IDataStream> versionStream = NewStream();
    versionStream->WriteUInt64(version);
    const std::vector<std::uint8_t> versionBytes = BytesOf(versionStream);
    EXPECT_EQ(reply, versionBytes);
    EXPECT_EQ(QueuedCallbacks(), 1u);
    EXPECT_EQ(registry->GetCounters().enumerationCount, 1u);

    // The current version: the same value back, nothing queued, nothing counted.
    RefPtr<IDataStream> current = NewStream();
    current->WriteBool(false);
    current->WriteUInt64(version);
    ASSERT_EQ(Execute(request, 2, current, &reply), ResultOk);
    EXPECT_EQ(reply, versionBytes);
    EXPECT_EQ(QueuedCallbacks(), 1u);
    EXPECT_EQ(registry->GetCounters().enumerationCount, 1u);

    EXPECT_EQ(Execute(request, 1, NewStream()), ResultOk);
    EXPECT_FALSE(registry->GetSubscription(request));
    EXPECT_EQ(CallbackConnections(), 0u);
    EXPECT_EQ(QueuedCallbacks(), 0u);
}

// A table far over the callback queue's limit reaches a subscriber that reads slowly whole,
// in order, with the end flag on the last batch only, and so does a second one asked for
// at once.
TEST_F(DirectoryNetworkTest, LargeTablesArriveWholeAtASlowSubscriber) {
    constexpr std::uint32_t Displays = 150000;
    for (std::uint32_t i = 0; i < Displays; ++i)
        registry->UpdateDisplay(UUID(i, 0, 0, 0), "Display name", "s", 1, 2, 3, "");
    DirectoryClient client(port);
    ASSERT_TRUE(client.opened);
    client.receiver->delayMs = 2;
    ASSERT_EQ(client.Subscribe(), ResultOk);
    std::uint64_t version = 0;
    ASSERT_EQ(client.RequestTable(false, 0, &version), ResultOk);
    ASSERT_EQ(client.RequestTable(true, 0, &version), ResultOk);
    ASSERT_TRUE(client.receiver->WaitCalls(300, std::chrono::seconds(60)));
    const auto calls = client.receiver->Calls();
    ASSERT_EQ(calls.size(), 300u);
    for (int table = 0; table < 2; ++table) {
        std::uint32_t next = 0;
        for (int b = 0; b < 150; ++b) {
            const auto& call = calls[static_cast<std::size_t>(table * 150 + b)];
            const Batch batch = ReadBatch(call.arguments, table == 1);
            ASSERT_TRUE(batch.fullyRead);
            EXPECT_EQ(batch.last, b == 149);
            ASSERT_EQ(batch.entries.size(), 1000u);
            for (const DisplayRecord& entry : batch.entries)
                ASSERT_EQ(entry.displayId, UUID(next++, 0, 0, 0));
        }
    }
}

TEST_F(DirectoryNetworkTest, ClientsReceiveTheTableInBatchesOnTheirCallbackConnection) {
    DirectoryClient client(port);
    ASSERT_TRUE(client.opened);
    ASSERT_EQ(client.Subscribe(), ResultOk);
    auto batchesFrom = [&](std::size_t first, bool extended) {
        std::vector<Batch> batches;
        for (const auto& call : client.receiver->Calls()) {
            if (first > 0) {
                --first;
                continue;
            }
            EXPECT_EQ(call.connection, client.callback);
            EXPECT_EQ(call.method, 0);
            batches.push_back(ReadBatch(call.arguments, extended));
            EXPECT_TRUE(batches.back().fullyRead);
        }
        return batches;
    };

    // The empty table: one batch with count 0 and the end flag, never with the head.
    std::uint64_t version = 1;
    ASSERT_EQ(client.RequestTable(false, 0, &version), ResultOk);
    EXPECT_EQ(version, 0u);
    ASSERT_EQ(client.RequestTable(true, 0, &version), ResultOk);
    ASSERT_TRUE(client.receiver->WaitCalls(2));
    for (const Batch& batch : batchesFrom(0, true)) {
        EXPECT_FALSE(batch.extended);
        EXPECT_TRUE(batch.entries.empty());
        EXPECT_TRUE(batch.last);
    }

    // One display over the network, the rest directly, in an order unlike the text's.
    const UUID networked(0xffffffff, 1, 2, 3);
    RefPtr<IDataStream> update = UpdateArguments(networked);
    update->WriteUInt32(9);
    update->WriteString("extra");
    ASSERT_EQ(client.Call(4, update.Get(), NewStream().Get()), ResultOk);
    for (std::uint32_t i = 1; i < 2500; ++i)
        registry->UpdateDisplay(UUID(i * 2654435761u, 0, 0, i), "n", "s", i, 1, 1, "e");

    ASSERT_EQ(client.RequestTable(false, 0, &version), ResultOk);
    EXPECT_EQ(version, registry->GetDirectoryVersion());
    ASSERT_TRUE(client.receiver->WaitCalls(5));
    std::vector<Batch> plain = batchesFrom(2, false);
    ASSERT_EQ(plain.size(), 3u);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(plain[i].entries.size(), i < 2 ? 1000u : 500u);
        EXPECT_EQ(plain[i].last, i == 2);
        EXPECT_FALSE(plain[i].extended);
        for (const DisplayRecord& r : plain[i].entries)
            texts.push_back(r.displayId.ToString());
    }
    EXPECT_TRUE(std::is_sorted(texts.begin(), texts.end()));
    EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), 2500u);
    const DisplayRecord& last = plain[2].entries.back();  // ffffffff-... sorts last
    EXPECT_EQ(last, (DisplayRecord{networked, "Second", "Name", 0x0a000001, 5000, 9, "", 0}));

    // The client's copy is current: its version back and nothing sent. The next batches on
    // the connection are those of the request after it.
    std::uint64_t again = 0;
    ASSERT_EQ(client.RequestTable(true, version, &again), ResultOk);
    EXPECT_EQ(again, version);
    ASSERT_EQ(client.RequestTable(true, 0, &again), ResultOk);
    ASSERT_TRUE(client.receiver->WaitCalls(8));
    const std::vector<Batch> extended = batchesFrom(5, true);
    ASSERT_EQ(extended.size(), 3u);
    // The head of another form version would not have read.
    for (const Batch& batch : extended)
        EXPECT_TRUE(batch.extended);
    EXPECT_EQ(extended[2].entries.back().extra, "extra");
    EXPECT_EQ(extended[0].entries.front().extra, "e");
    EXPECT_EQ(registry->GetCounters().enumerationCount, 4u);
}

TEST_F(DirectoryNetworkTest, ClosingEitherConnectionEndsTheSubscription) {
    DirectoryClient a(port), b(port);
    ASSERT_TRUE(a.opened && b.opened);
    ASSERT_EQ(a.Subscribe(), ResultOk);
    ASSERT_EQ(b.Subscribe(), ResultOk);
    EXPECT_EQ(CallbackConnections(), 2u);

    a.transport->CloseConnection(a.callback);
    ASSERT_TRUE(PollUntil([&] { return !registry->GetSubscription(a.request); }));
    std::uint64_t version = 0;
    EXPECT_EQ(a.RequestTable(false, 0, &version), ResultFail);
    EXPECT_EQ(registry->GetSubscription(b.request), b.callback);

    b.transport->CloseConnection(b.request);
    ASSERT_TRUE(PollUntil([&] { return !registry->GetSubscription(b.request); }));
    EXPECT_EQ(CallbackConnections(), 0u);
}

TEST_F(DirectoryNetworkTest, ReleasingTheRegistryEndsItWhileClientsAreSubscribed) {
    DirectoryClient client(port);
    ASSERT_TRUE(client.opened);
    ASSERT_EQ(client.Subscribe(), ResultOk);
    std::uint64_t version = 0;
    ASSERT_EQ(client.RequestTable(false, 0, &version), ResultOk);

    // Nothing the registry handed out keeps it alive: the stub and the listeners turn
    // calls away from here on, and both ports are given back.
    registry.Reset();
    EXPECT_EQ(Execute(client.request, 3, NewStream()), ResultNotInitialized);
    auto bindable = [](std::uint16_t p) {
        const int socket = platform::TcpCreate();
        platform::TcpSetReuseAddress(socket);  // as a restarted service binds
        const bool bound =
            platform::TcpBind(socket, Loopback, p) == 0 && platform::TcpListen(socket) == 0;
        platform::TcpClose(socket);
        return bound;
    };
    EXPECT_TRUE(PollUntil([&] { return bindable(port) && bindable(port + 1); }));
}

}  // namespace
}  // namespace brondal::corvane::server
