// The directory with clients on layered connections: a subscriber that stops acknowledging
// its callbacks costs the other subscribers nothing.
#include <gtest/gtest.h>

#include "CorvaneDirectoryService.h"
#include "DirectoryTestSupport.h"
#include "TcpRelay.h"

namespace brondal::corvane::server {
namespace {

using namespace brondal::testing;

TEST(LayeredClientTest, SubscriberThatStopsAcknowledgingCostsTheOthersNothing) {
    const RefPtr<CorvaneDirectoryService> registry = StartRegistry();
    ASSERT_TRUE(registry);
    const std::uint16_t port = registry->GetPort();
    // Three batches of about 40 kB per enumeration: many times the window each.
    for (std::uint32_t i = 0; i < 2500; ++i)
        registry->UpdateDisplay(UUID(i, 0, 0, 7), "display name", "second", i, 1, 1, "");

    // The deaf subscriber's callback connection goes through a relay that stops passing
    // anything to it: it hears nothing more, so it acknowledges nothing.
    TcpRelay relay(static_cast<std::uint16_t>(port + 1));
    DirectoryClient deaf(port, relay.Port(), true);
    DirectoryClient other(port, static_cast<std::uint16_t>(port + 1), true);
    ASSERT_TRUE(deaf.opened && other.opened);
    ASSERT_EQ(deaf.Subscribe(), ResultOk);
    ASSERT_EQ(other.Subscribe(), ResultOk);
    relay.Hold(TcpRelay::Direction::Down, true);

    constexpr std::size_t Enumerations = 4;
    constexpr std::size_t Batches = 3 * Enumerations;
    std::uint64_t version = 0;
    for (std::size_t i = 0; i < Enumerations; ++i) {
        ASSERT_EQ(deaf.RequestTable(false, 0, &version), ResultOk);
        ASSERT_EQ(other.RequestTable(false, 0, &version), ResultOk);
    }
    // A writer that waited for the deaf peer's window would hold the one callback thread
    // for the callback write time-out (10 s) per piece.
    ASSERT_TRUE(other.receiver->WaitCalls(Batches));
    EXPECT_LT(deaf.receiver->Calls().size(), Batches);

    // Heard again, it gets every batch, once and in order.
    relay.Hold(TcpRelay::Direction::Down, false);
    ASSERT_TRUE(deaf.receiver->WaitCalls(Batches));
    const auto calls = deaf.receiver->Calls();
    ASSERT_EQ(calls.size(), Batches);
    for (std::size_t i = 0; i < Batches; ++i) {
        const Batch batch = ReadBatch(calls[i].arguments, false);
        EXPECT_TRUE(batch.fullyRead);
        EXPECT_EQ(batch.last, i % 3 == 2) << i;
        EXPECT_EQ(batch.entries.size(), i % 3 == 2 ? 500u : 1000u) << i;
    }
}

}  // namespace
}  // namespace brondal::corvane::server
