// Address text, table and JSON output, and the change list of --watch.
#include <gtest/gtest.h>

#include <sstream>

#include "AddressText.h"
#include "TableFormat.h"

namespace brondal::corvane::client {
namespace {

TEST(AddressText, FieldsGoMostSignificantFirst) {
    EXPECT_EQ(ParseIpv4("10.1.2.3"), (10u << 24) | (1u << 16) | (2u << 8) | 3u);
    EXPECT_EQ(ParseIpv4("255.255.255.255"), 0xffffffffu);
    EXPECT_EQ(ParseIpv4("0.0.0.0"), 0u);
    EXPECT_EQ(FormatIpv4(0xc0a80a01), "192.168.10.1");
    EXPECT_EQ(FormatIpv4(0), "0.0.0.0");
    for (const char* text : {"1.2.3.4", "255.0.255.0", "127.0.0.1"})
        EXPECT_EQ(FormatIpv4(*ParseIpv4(text)), text);
}

TEST(AddressText, RejectsAnythingButFourDecimalBytes) {
    for (const char* text :
         {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..2.3", "1.2.3.4 ", " 1.2.3.4", "a.b.c.d",
          "1.2.3.-4", "1.2.3.+4", "0001.2.3.4", "1.2.3.", ".1.2.3", "1.2.3.4x", "999.1.1.1"}) {
        EXPECT_FALSE(ParseIpv4(text).has_value()) << text;
    }
}

TEST(TerminalText, KeepsUtf8AndEscapesControlAndStrayBytes) {
    EXPECT_EQ(TerminalText("Caf\xc3\xa9 \xe2\x82\xac"), "Caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(TerminalText("a\tb\x1b[2J"), "a\\x09b\\x1b[2J");
    EXPECT_EQ(TerminalText("\x7f"), "\\x7f");
    // A lone continuation byte, a truncated sequence, an overlong form, a surrogate.
    EXPECT_EQ(TerminalText("\x80"), "\\x80");
    EXPECT_EQ(TerminalText("\xe2\x82"), "\\xe2\\x82");
    EXPECT_EQ(TerminalText("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(TerminalText("\xed\xa0\x80"), "\\xed\\xa0\\x80");
}

TEST(JsonText, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
    EXPECT_EQ(JsonString("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
    EXPECT_EQ(JsonString(std::string("\0\x01\x1f", 3)), "\"\\u0000\\u0001\\u001f\"");
    EXPECT_EQ(JsonString("\xe2\x82\xac"), "\"\xe2\x82\xac\"");
    EXPECT_EQ(JsonString("a\xff"
                         "b"),
              "\"a\\ufffdb\"");
    EXPECT_EQ(JsonString("/"), "\"/\"");
}

DisplayRecord Entry(const char* id, const char* name, const char* secondary, std::uint32_t address,
                    std::uint16_t port, std::uint32_t tag, const char* extra = "") {
    return {UUID(id), secondary, name, address, port, tag, extra};
}

const DisplayRecord Lobby = Entry("00000000-0000-0000-0000-000000000001", "Lobby", "lobby-2",
                                  0x0a000001, 8080, 1, "first floor");
const DisplayRecord Hall =
    Entry("00000000-0000-0000-0000-000000000002", "Main Hall \xc3\xa9", "h", 0xc0a80102, 80, 12);

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

TEST(TableOutput, ColumnsLineUpAndNumbersAlignRight) {
    const auto lines = Lines(FormatTable({Lobby, Hall}, true));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "IDENTIFIER                            NAME         SECONDARY NAME  ADDRESS      "
              "PORT  TAG  EXTRA");
    EXPECT_EQ(lines[1],
              "00000000-0000-0000-0000-000000000001  Lobby        lobby-2         10.0.0.1     "
              "8080    1  first floor");
    // The accented letter is one column wide; an empty last column leaves no blanks.
    EXPECT_EQ(lines[2],
              "00000000-0000-0000-0000-000000000002  Main Hall \xc3\xa9  h               "
              "192.168.1.2    80   12");
}

TEST(TableOutput, PlainFormHasNoExtraColumn) {
    const auto lines = Lines(FormatTable({Lobby}, false));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find("EXTRA"), std::string::npos);
    EXPECT_EQ(lines[1].find("first floor"), std::string::npos);
    EXPECT_EQ(FormatJson({Lobby}, 1, false).find("extra"), std::string::npos);
}

TEST(JsonOutput, IsOneObjectWithTheVersionAndTheDisplays) {
    EXPECT_EQ(FormatJson({Lobby}, 42, true),
              "{\"version\":42,\"displays\":[{\"id\":\"00000000-0000-0000-0000-000000000001\","
              "\"name\":\"Lobby\",\"secondaryName\":\"lobby-2\",\"address\":\"10.0.0.1\","
              "\"port\":8080,\"tag\":1,\"extra\":\"first floor\"}]}\n");
    EXPECT_EQ(FormatJson({}, 0, false), "{\"version\":0,\"displays\":[]}\n");
}

TEST(WatchChanges, FindsAddedChangedAndRemovedDisplays) {
    DisplayRecord movedLobby = Lobby;
    movedLobby.extra = "second floor";
    const DisplayRecord kiosk =
        Entry("00000000-0000-0000-0000-000000000004", "Kiosk", "k", 3, 4, 5);

    const TableChanges changes = CompareTables({Lobby, Hall}, {movedLobby, kiosk});
    ASSERT_EQ(changes.added.size(), 1u);
    EXPECT_EQ(changes.added[0].displayName, "Kiosk");
    ASSERT_EQ(changes.changed.size(), 1u);
    EXPECT_EQ(changes.changed[0].extra, "second floor");
    ASSERT_EQ(changes.removed.size(), 1u);
    EXPECT_EQ(changes.removed[0].displayId, Hall.displayId);

    EXPECT_TRUE(CompareTables({Lobby, Hall}, {Hall, Lobby}).Empty());
}

TEST(WatchChanges, TextAndJsonForms) {
    TableChanges changes;
    changes.added = {Hall};
    changes.removed = {Lobby};
    EXPECT_EQ(FormatChangesText(changes, false),
              "+ 00000000-0000-0000-0000-000000000002 Main Hall \xc3\xa9 h 192.168.1.2 80 12\n"
              "- 00000000-0000-0000-0000-000000000001 Lobby lobby-2 10.0.0.1 8080 1\n");
    const std::string json = FormatChangesJson(changes, 7, false);
    EXPECT_EQ(
        json.rfind("{\"version\":7,\"added\":[{\"id\":\"00000000-0000-0000-0000-000000000002\"", 0),
        0u);
    EXPECT_NE(
        json.find(",\"changed\":[],\"removed\":[{\"id\":\"00000000-0000-0000-0000-000000000001\""),
        std::string::npos);
}

}  // namespace
}  // namespace brondal::corvane::client
