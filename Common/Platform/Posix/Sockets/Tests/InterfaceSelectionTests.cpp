// Choosing addresses from interface lists, with made-up lists: the machine running the
// tests need not have a wireless adapter.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "InterfaceSelection.h"

namespace brondal::platform {
namespace {

InterfaceAddress Up(std::string name, std::uint32_t ipv4) {
    return {std::move(name), true, true, false, true, ipv4};
}

InterfaceAddress WithoutIpv4(std::string name) { return {std::move(name), true, true}; }

class WirelessSelection : public ::testing::Test {
protected:
    std::optional<std::uint32_t> Select(const std::vector<InterfaceAddress>& list) {
        return SelectWirelessIpv4(list, [this](const std::string& name) {
            asked.push_back(name);
            return wireless.count(name) != 0;
        });
    }

    std::set<std::string> wireless{"wlan0", "wlan1"};
    std::vector<std::string> asked;
};

TEST_F(WirelessSelection, WiredOnlyFindsNothing) {
    EXPECT_FALSE(Select({Up("eth0", 0x0A000001), Up("eth1", 0x0A000002)}));
    EXPECT_FALSE(Select({}));
}

TEST_F(WirelessSelection, FirstQualifyingWirelessEntryWins) {
    EXPECT_EQ(Select({Up("eth0", 0x0A000001), Up("wlan1", 0xC0A80105), Up("wlan0", 0xC0A80106)}),
              0xC0A80105u);
}

TEST_F(WirelessSelection, DownNotRunningOrAddresslessEntriesAreSkipped) {
    InterfaceAddress down = Up("wlan0", 0x01010101);
    down.up = false;
    InterfaceAddress notRunning = Up("wlan0", 0x02020202);
    notRunning.running = false;
    // Interfaces also appear with link-level and IPv6 addresses, listed before their IPv4.
    EXPECT_EQ(Select({down, notRunning, WithoutIpv4("wlan1"), Up("wlan1", 0x03030303)}),
              0x03030303u);
    // Only entries that qualify otherwise cost a look at the interface.
    EXPECT_EQ(asked, std::vector<std::string>{"wlan1"});
}

TEST(LocalAddressSelection, UpNonLoopbackIpv4InListOrder) {
    InterfaceAddress loopback = Up("lo", 0x7F000001);
    loopback.loopback = true;
    InterfaceAddress down = Up("eth2", 0x0A000003);
    down.up = false;
    InterfaceAddress notRunning = Up("eth3", 0x0A000004);
    notRunning.running = false;
    EXPECT_EQ(SelectLocalIpv4Addresses({loopback, Up("eth1", 0x0A000002), WithoutIpv4("eth0"), down,
                                        notRunning, Up("eth0", 0x0A000001)}),
              (std::vector<std::uint32_t>{0x0A000002, 0x0A000004, 0x0A000001}));
}

TEST(WirelessTable, MatchesWholeInterfaceNamesBelowTheHeadings) {
    const std::string table =
        "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
        " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
        " wlan0: 0000   54.  -56.  -256        0      0      0      0     12        0\n"
        "wlp3s0: 0000   70.  -40.  -256        0      0      0      0      0        0\n";
    EXPECT_TRUE(WirelessTableLists(table, "wlan0"));
    EXPECT_TRUE(WirelessTableLists(table, "wlp3s0"));
    EXPECT_FALSE(WirelessTableLists(table, "wlan"));
    EXPECT_FALSE(WirelessTableLists(table, "wlan01"));
    EXPECT_FALSE(WirelessTableLists(table, " face "));
    EXPECT_FALSE(WirelessTableLists(table, ""));
    EXPECT_FALSE(WirelessTableLists("", "wlan0"));
}

}  // namespace
}  // namespace brondal::platform
