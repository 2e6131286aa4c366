// A running directory under mutated traffic: real client sessions, recorded on the wire and
// replayed with random damage from several connections at once, leave the directory serving
// a good client exactly as before, and every damaged connection's resources released.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "CorvaneDirectoryService.h"
#include "DirectoryTestSupport.h"
#include "TcpAbort.h"
#include "TcpRelay.h"

namespace brondal::corvane::server {
namespace {

using namespace brondal::testing;

struct Session {
    std::uint16_t port;  // the registry's port the bytes went to
    std::vector<std::uint8_t> bytes;
};

// What a good client does, plain or layered: subscribe, register, enumerate in both forms,
// poll with the current version; unsubscribe if asked.
void GoodSession(DirectoryClient& client, const UUID& display, bool unsubscribe) {
    ASSERT_TRUE(client.opened);
    ASSERT_EQ(client.Subscribe(), ResultOk);
    ASSERT_EQ(client.Call(4, UpdateArguments(display).Get(), NewStream().Get()), ResultOk);
    std::uint64_t version = 0;
    ASSERT_EQ(client.RequestTable(false, 0, &version), ResultOk);
    ASSERT_EQ(client.RequestTable(true, 0, &version), ResultOk);
    ASSERT_EQ(client.RequestTable(true, version, &version), ResultOk);
    if (unsubscribe) {
        ASSERT_EQ(client.Call(1, NewStream().Get(), NewStream().Get()), ResultOk);
    }
}

// Damage a fuzzer would do to a byte stream: flipped bits, overwritten bytes (often with the
// extremes of a length field), inserted, deleted and repeated runs, a cut end.
void Mutate(std::vector<std::uint8_t>& bytes, std::mt19937& random) {
    auto pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound)(random);
    };
    const std::size_t mutations = 1 + pick(7);
    for (std::size_t i = 0; i < mutations && !bytes.empty(); ++i) {
        const std::size_t at = pick(bytes.size() - 1);
        const std::size_t run = std::min<std::size_t>(1 + pick(15), bytes.size() - at);
        switch (pick(5)) {
            case 0:
                bytes[at] ^= static_cast<std::uint8_t>(1u << pick(7));
                break;
            case 1: {
                static constexpr std::uint8_t Extremes[] = {0x00, 0xff, 0x7f, 0x80};
                for (std::size_t k = 0; k < run && k < 4; ++k)
                    bytes[at + k] = Extremes[pick(3)];
                break;
            }
            case 2: {
                std::vector<std::uint8_t> noise(run);
                for (auto& b : noise)
                    b = static_cast<std::uint8_t>(pick(255));
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), noise.begin(),
                             noise.end());
                break;
            }
            case 3:
                bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + run));
                break;
            case 4: {
                const std::vector<std::uint8_t> copy(
                    bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + run));
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(pick(bytes.size())),
                             copy.begin(), copy.end());
                break;
            }
            default:
                bytes.resize(at);
                break;
        }
    }
}

// Sends bytes in random slices, reading and dropping whatever comes back so that the
// directory is never held up by this end; then an orderly close or a reset.
void Replay(std::uint16_t port, const std::vector<std::uint8_t>& bytes, std::mt19937& random) {
    const int socket = platform::TcpCreate();
    if (platform::TcpConnect(socket, Loopback, port, 2000) != 0) {
        platform::TcpClose(socket);
        return;
    }
    std::vector<std::uint8_t> sink(4096);
    auto drain = [&] {
        while (platform::TcpWaitReadable(socket, 0) == 1 &&
               platform::TcpRecv(socket, sink.data(), static_cast<std::uint32_t>(sink.size())) >
                   0) {
        }
    };
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const std::size_t slice = std::min<std::size_t>(
            bytes.size() - sent, std::uniform_int_distribution<std::size_t>(1, 600)(random));
        if (platform::TcpWaitWritable(socket, 1000) != 1) break;
        const int n =
            platform::TcpSend(socket, bytes.data() + sent, static_cast<std::uint32_t>(slice));
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
        drain();
    }
    drain();
    if (random() % 2 == 0) platform::TcpSetResetOnClose(socket);
    platform::TcpClose(socket);
}

TEST(MutatedTrafficTest, GoodClientIsServedAfterMutatedSessionsFromManyConnections) {
    const std::uint16_t port = FindFreePortPair();
    ASSERT_NE(port, 0);
    auto registry =
        RefPtr<CorvaneDirectoryService>::Adopt(new CorvaneDirectoryService(port, Loopback));
    ASSERT_EQ(registry->Initialize(), ResultOk);
    const auto callbackPort = static_cast<std::uint16_t>(port + 1);

    // Real sessions, plain and layered, both connections of each, as the relays saw them.
    std::vector<Session> sessions;
    for (const bool layered : {false, true}) {
        TcpRelay requests(port, TcpRelay::Record::On);
        TcpRelay callbacks(callbackPort, TcpRelay::Record::On);
        {
            DirectoryClient client(requests.Port(), callbacks.Port(), layered);
            GoodSession(client, UUID(0x5eed, 0, 0, layered ? 2 : 1), true);
        }
        for (auto& bytes : requests.Recorded(TcpRelay::Direction::Up))
            sessions.push_back({port, std::move(bytes)});
        for (auto& bytes : callbacks.Recorded(TcpRelay::Direction::Up))
            sessions.push_back({callbackPort, std::move(bytes)});
    }
    // A plain callback connection carries nothing upward.
    std::erase_if(sessions, [](const Session& session) { return session.bytes.empty(); });
    ASSERT_GE(sessions.size(), 3u);

    // The damage, from four connections at once; seeded, so that a failure repeats.
    constexpr int Senders = 4;
    constexpr int SessionsEach = 120;
    std::vector<std::thread> senders;
    for (int s = 0; s < Senders; ++s) {
        senders.emplace_back([&, s] {
            std::mt19937 random(0xc0ffee + static_cast<unsigned>(s));
            for (int i = 0; i < SessionsEach; ++i) {
                const Session& session = sessions[random() % sessions.size()];
                std::vector<std::uint8_t> bytes = session.bytes;
                Mutate(bytes, random);
                Replay(session.port, bytes, random);
            }
        });
    }
    for (auto& sender : senders)
        sender.join();

    // Every damaged subscription ended with its connections: a plain one at once, a layered
    // one when its peer has not come back within the adapter's 10 s.
    constexpr std::chrono::milliseconds LayeredGiveUp{10000 + 1000};
    std::uint32_t connections = 0, queued = 0;
    EXPECT_TRUE(PollUntil(
        [&] {
            registry->GetCallbackStats(&connections, &queued);
            return connections == 0 && queued == 0;
        },
        LayeredGiveUp + Soon))
        << connections << " callback connections, " << queued << " queued";

    // A good client is served as before: its display is there and the table arrives whole.
    for (const bool layered : {false, true}) {
        DirectoryClient client(port, callbackPort, layered);
        const UUID display(0x900d, 0, 0, layered ? 2 : 1);
        GoodSession(client, display, false);
        EXPECT_EQ(registry->GetDisplay(display).value(),
                  (DisplayRecord{display, "Second", "Name", 0x0a000001, 5000, 1, "", 0}));
        // Two enumerations, plain then extended, each ending with the flag on its last batch.
        std::vector<std::size_t> entries;
        ASSERT_TRUE(PollUntil([&] {
            entries.assign(1, 0);
            for (const auto& call : client.receiver->Calls()) {
                const Batch batch = ReadBatch(call.arguments, entries.size() == 2);
                if (!batch.fullyRead) return false;
                entries.back() += batch.entries.size();
                if (batch.last) entries.push_back(0);
            }
            return entries.size() == 3;
        }));
        EXPECT_EQ(entries[0], registry->GetDisplayCount());
        EXPECT_EQ(entries[1], registry->GetDisplayCount());
    }
}

}  // namespace
}  // namespace brondal::corvane::server
