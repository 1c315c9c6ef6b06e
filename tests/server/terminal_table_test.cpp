// The server's table of terminals learned from status reports: the longest
// pause between two reports of one terminal (how a fleet's lateness is
// judged), a terminal that moves, and the select command that names one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/server/command_parser.h"
#include "tools/server/terminal_table.h"

namespace srvproto {
namespace {

TEST(TerminalTable, LongestIntervalPerTerminalAndTheLatestAddress) {
    TerminalTable table;
    EXPECT_TRUE(table.OnReport("PT00000011", 0xC0A8010B, 1000));
    EXPECT_TRUE(table.OnReport("PT00000012", 0xC0A8010C, 1500));
    EXPECT_FALSE(table.OnReport("PT00000011", 0xC0A8010B, 6000));
    EXPECT_FALSE(table.OnReport("PT00000011", 0xC0A8010B, 13200));  // 7.2 s late
    EXPECT_FALSE(table.OnReport("PT00000011", 0xC0A80120, 18200));  // moved
    EXPECT_FALSE(table.OnReport("PT00000012", 0xC0A8010C, 6400));
    ASSERT_EQ(table.Size(), 2u);
    const TerminalTable::Entry* first = table.Find("PT00000011");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->reports, 4u);
    EXPECT_EQ(first->longestMs, 7200);
    EXPECT_EQ(first->addr, 0xC0A80120u);
    EXPECT_EQ(table.Find("PT00000013"), nullptr);

    const std::vector<std::string> lines = table.Lines(19000);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "terminal PT00000011 at 192.168.1.32: 4 reports, last 0.8 s ago, longest interval 7.2 s");
    EXPECT_EQ(lines[1], "terminal PT00000012 at 192.168.1.12: 2 reports, last 12.6 s ago, longest interval 4.9 s");
    TerminalTable one;
    one.OnReport("PT00000001", 0x7F000001, 0);
    EXPECT_EQ(one.Lines(100)[0], "terminal PT00000001 at 127.0.0.1: 1 reports, last 0.1 s ago, longest interval none");
}

TEST(TerminalTable, SelectNamesATerminalByItsDeviceId) {
    Command c;
    std::string error;
    ASSERT_EQ(ParseCommand("select PT00000012", &c, &error), 0) << error;
    EXPECT_EQ(c.kind, CmdKind::kSelect);
    EXPECT_EQ(std::string(c.id.begin(), c.id.end()), "PT00000012");
    EXPECT_NE(ParseCommand("select PT1", &c, &error), 0);
    EXPECT_NE(ParseCommand("terminals now", &c, &error), 0);
    ASSERT_EQ(ParseCommand("terminals", &c, &error), 0) << error;
    EXPECT_EQ(c.kind, CmdKind::kTerminals);
}

}  // namespace
}  // namespace srvproto
