// The board's console: the program's output arrives as written and at once
// (the program's console is a tty, so its stdio is line-buffered and no line
// end is translated), and the board's own lines stand on lines of their own.
#include <gtest/gtest.h>

#include <string>

#include "board/sim/console.h"
#include "tests/sim/sim_harness.h"

using namespace std::chrono_literals;

namespace {

class ConsoleLines : public ::testing::Test {
protected:
    std::string Log() const { return simtest::ReadFile(dir_.path() + "/console.log"); }
    simtest::TempDir dir_;
    sim::Console console_{dir_.path() + "/console.log", false};
};

}  // namespace

TEST_F(ConsoleLines, BoardLineStartsOnALineOfItsOwn) {
    console_.BoardLine("power on");
    console_.Append("paterm: starting");  // mid-line, as a program prints a prompt
    console_.BoardLine("reset: watchdog");
    console_.Append("paterm: up\r\n");
    console_.BoardLine("stop");
    EXPECT_EQ(Log(), "[board] power on\npaterm: starting\n[board] reset: watchdog\npaterm: up\r\n[board] stop\n");
}

TEST_F(ConsoleLines, EveryLineOfABoardLineIsMarked) {
    console_.BoardLine("card removed\ncard inserted\n");
    console_.Append("x");
    console_.Append("");  // nothing written leaves the console mid-line
    console_.BoardLine("");
    EXPECT_EQ(Log(), "[board] card removed\n[board] card inserted\nx\n[board] \n");
}

TEST(ProgramConsole, LinesArriveAtOnceAndAsWritten) {
    simtest::BoardRun board;
    board.Script("print started\nconsole-tty\nprint-crlf unflushed line\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("probe: started", 10s)) << board.Console();
    // A pipe would hold the unflushed line in the program's buffer until it exits.
    EXPECT_TRUE(board.WaitForConsole("probe: unflushed line", 1s)) << board.Console();
    const std::string console = board.Console();
    EXPECT_NE(console.find("probe: unflushed line\r\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("\r\r\n"), std::string::npos) << "the console translated line ends";
    EXPECT_NE(console.find("probe: console-tty in=1 out=1 err=1\n"), std::string::npos) << console;
    EXPECT_EQ(board.Stop(), 0);
}

TEST(ProgramConsole, OutputJustBeforeAnExitIsKept) {
    simtest::BoardRun board;
    board.Script("print-crlf last words\nexit 3\n");
    ASSERT_TRUE(board.Start());
    EXPECT_TRUE(board.WaitForConsole("probe: exit 3", 10s)) << board.Console();
    EXPECT_NE(board.Console().find("probe: last words\r\nprobe: exit 3\n"), std::string::npos) << board.Console();
    EXPECT_EQ(board.Stop(), 0);
}
