// The board's smaller parts on their own: options, the EEPROM image, the
// NAND file, the operation log, the netlink model, the clock offsets, the
// root's power-on chores and the control replies.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/kernel/netlink_event.h"
#include "board/sim/eeprom.h"
#include "board/sim/flash.h"
#include "board/sim/netlink.h"
#include "board/sim/op_log.h"
#include "board/sim/options.h"
#include "board/sim/protocol.h"
#include "board/sim/result.h"
#include "board/sim/root_layout.h"
#include "board/sim/tool_runner.h"
#include "board/sim/wall_clock.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;

sim::ParseOutcome Parse(std::vector<const char*> args, sim::Options* options, std::string* error) {
    args.insert(args.begin(), "paterm-sim");
    return sim::ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(Options, ParsesEveryOption) {
    sim::Options o;
    std::string error;
    ASSERT_EQ(Parse({"--root", "r", "--program", "p", "--device-id", "0123456789", "--watchdog-flag", "0",
                     "--server-ip", "192.168.1.10", "--no-card", "--watchdog-timeout", "3", "--quiet"},
                    &o, &error),
              sim::ParseOutcome::kRun)
        << error;
    EXPECT_EQ(o.root, "r");
    EXPECT_EQ(o.program, "p");
    EXPECT_EQ(o.deviceId, "0123456789");
    EXPECT_EQ(o.watchdogFlag, 0);
    ASSERT_TRUE(o.serverIp);
    EXPECT_EQ(*o.serverIp, 0xC0A8010Au);
    EXPECT_FALSE(o.cardPresent);
    EXPECT_EQ(o.watchdogTimeoutS, 3);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(Parse({"--help"}, &o, &error), sim::ParseOutcome::kHelp);
}

TEST(Options, RejectsBadValues) {
    const std::vector<std::vector<const char*>> bad = {
        {},  // no root
        {"--root"},
        {"--root", "r", "--device-id", "123456789"},
        {"--root", "r", "--device-id", "12345 7890"},
        {"--root", "r", "--watchdog-flag", "256"},
        {"--root", "r", "--watchdog-flag", "-1"},
        {"--root", "r", "--server-ip", "1.2.3"},
        {"--root", "r", "--server-ip", "1.2.3.4.5"},
        {"--root", "r", "--server-ip", "256.1.1.1"},
        {"--root", "r", "--server-ip", "1..2.3"},
        {"--root", "r", "--watchdog-timeout", "0"},
        {"--root", "r", "--watchdog-timeout", "2s"},
        {"--root", "r", "--frobnicate"},
    };
    for (const auto& args : bad) {
        sim::Options o;
        std::string error;
        EXPECT_EQ(Parse(args, &o, &error), sim::ParseOutcome::kError) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

TEST(Eeprom, ImageWithoutServerLeavesTheAddressErased) {
    sim::Options o;
    o.deviceId = "DEV0000042";
    o.watchdogFlag = 7;
    std::array<uint8_t, sim::kEepromSize> image = sim::EepromImage(o);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 10), "DEV0000042");
    EXPECT_EQ(image[16], 7);
    for (size_t i = 44; i < 48; ++i) EXPECT_EQ(image[i], 0xFF);
    EXPECT_EQ(image[10], 0xFF);
    EXPECT_EQ(image[255], 0xFF);
}

TEST(Eeprom, FileIsCreatedOnceAndAFailureSaysWhy) {
    simtest::TempDir dir;
    sim::Options o;
    o.deviceId = "DEV0000042";
    const std::string path = dir.path() + "/i2c-eeprom0";
    sim::Result<bool> first = sim::EnsureEepromFile(path, o);
    ASSERT_TRUE(first) << first.error().Text();
    EXPECT_TRUE(first.value());  // created now
    EXPECT_EQ(simtest::ReadFile(path).size(), sim::kEepromSize);
    sim::Result<bool> again = sim::EnsureEepromFile(path, o);
    ASSERT_TRUE(again) << again.error().Text();
    EXPECT_FALSE(again.value());  // the board's memory, kept

    sim::Result<bool> nowhere = sim::EnsureEepromFile(dir.path() + "/missing/i2c-eeprom0", o);
    ASSERT_FALSE(nowhere);
    EXPECT_EQ(nowhere.error().code, ENOENT);
    EXPECT_NE(nowhere.error().Text().find("cannot create the EEPROM file"), std::string::npos);
}

TEST(Flash, EraseAndPaddedWrite) {
    simtest::TempDir dir;
    std::string nand = dir.path() + "/mtd2", image = dir.path() + "/uImage";
    sim::Result<> ensured = sim::EnsureNandFile(nand);
    ASSERT_TRUE(ensured) << ensured.error().Text();
    EXPECT_EQ(simtest::ReadFile(nand), std::string(sim::kNandSize, '\xFF'));

    std::string kernel(sim::kNandPageSize + 1, 'k');
    simtest::WriteFile(image, kernel);
    simtest::WriteFile(nand, std::string(3 * sim::kNandPageSize, '\0'));  // a small, dirty partition
    sim::Result<> written = sim::NandWrite(nand, image);
    ASSERT_TRUE(written) << written.error().Text();
    std::string after = simtest::ReadFile(nand);
    ASSERT_EQ(after.size(), 3 * sim::kNandPageSize);
    EXPECT_EQ(after.substr(0, kernel.size()), kernel);
    EXPECT_EQ(after.substr(kernel.size(), sim::kNandPageSize - 1), std::string(sim::kNandPageSize - 1, '\xFF'));
    EXPECT_EQ(after.substr(2 * sim::kNandPageSize), std::string(sim::kNandPageSize, '\0'));  // untouched

    sim::Result<> erased = sim::EraseNand(nand);
    ASSERT_TRUE(erased) << erased.error().Text();
    EXPECT_EQ(simtest::ReadFile(nand), std::string(3 * sim::kNandPageSize, '\xFF'));  // size kept

    simtest::WriteFile(image, std::string(3 * sim::kNandPageSize + 1, 'x'));
    sim::Result<> tooLarge = sim::NandWrite(nand, image);
    EXPECT_FALSE(tooLarge);
    EXPECT_NE(tooLarge.error().Text().find("does not fit the partition"), std::string::npos);
    EXPECT_EQ(simtest::ReadFile(nand), std::string(3 * sim::kNandPageSize, '\xFF'));  // refused whole
    sim::Result<> missing = sim::NandWrite(nand, dir.path() + "/missing");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error().Text(), "open " + dir.path() + "/missing: " + std::strerror(ENOENT));
}

TEST(OpLog, NumbersEntriesAndPagesThroughThem) {
    simtest::TempDir dir;
    std::atomic<int64_t> now{5};
    sim::OpLog log([&] { return now.load(); }, dir.path() + "/board.log");
    log.Add(sim::LogKind::kShell, "one\ntwo");
    now = 9;
    log.Add(sim::LogKind::kReset, "watchdog");
    log.Add(sim::LogKind::kOpen, "/dev/watchdog");
    uint64_t next = 0;
    std::vector<sim::LogEntry> page = log.From(0, 2, &next);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].position, 0u);
    EXPECT_EQ(page[0].ms, 5);
    EXPECT_EQ(page[0].detail, "one two");  // one line per entry
    EXPECT_EQ(next, 2u);
    page = log.From(next, 10, &next);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].kind, sim::LogKind::kOpen);
    EXPECT_EQ(next, 3u);
    EXPECT_TRUE(log.From(next, 10, &next).empty());
    EXPECT_EQ(next, 3u);
    EXPECT_EQ(simtest::ReadFile(dir.path() + "/board.log"),
              "0 5 shell one two\n1 9 reset watchdog\n2 9 open /dev/watchdog\n");
}

TEST(OpLog, KeepsOnlyTheNewestWindowInMemory) {
    sim::OpLog log([] { return int64_t{0}; }, "");
    for (size_t i = 0; i < sim::OpLog::kKeep + 5; ++i) log.Add(sim::LogKind::kBoard, std::to_string(i));
    uint64_t next = 0;
    std::vector<sim::LogEntry> page = log.From(0, 1, &next);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].position, 5u);
    EXPECT_EQ(page[0].detail, "5");
    EXPECT_EQ(next, 6u);
}

class NetlinkModelTest : public ::testing::Test {
protected:
    NetlinkModelTest() : log([] { return int64_t{0}; }, ""), model(&log) {}
    static void Pair(sim::UniqueFd* board, sim::UniqueFd* program) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        board->Reset(fds[0]);
        program->Reset(fds[1]);
    }
    static std::string Receive(int fd) {
        sim::Message m;
        char buf[256];
        size_t len = 0;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return "<nothing>";
        if (sim::RecvPacket(fd, &m, buf, sizeof buf, &len) != sim::RecvStatus::kPacket) return "<error>";
        if (m.op != static_cast<uint32_t>(sim::Op::kNetlinkRecord)) return "<wrong op>";
        return std::string(buf, len);
    }
    sim::OpLog log;
    sim::NetlinkModel model;
};

TEST_F(NetlinkModelTest, EventRecordLayout) {
    std::vector<uint8_t> record = sim::kernel::NetlinkEvents::Record(2, 11, 0);
    ASSERT_EQ(record.size(), 18u);
    nlmsghdr header;
    std::memcpy(&header, record.data(), sizeof header);
    EXPECT_EQ(header.nlmsg_len, 18u);
    EXPECT_EQ(header.nlmsg_pid, 0u);  // from the kernel
    EXPECT_EQ(record[16], 2);
    EXPECT_EQ(record[17], 11);
}

TEST_F(NetlinkModelTest, DeliversToTheSocketBoundToThePort) {
    sim::UniqueFd boardA, programA, boardB, programB;
    Pair(&boardA, &programA);
    Pair(&boardB, &programB);
    uint64_t a = model.Open(boardA.Get());
    uint64_t b = model.Open(boardB.Get());
    EXPECT_FALSE(model.Deliver(100, reinterpret_cast<const uint8_t*>("x"), 1));  // nobody bound yet
    model.Bind(a, 100);
    model.Bind(b, 200);
    EXPECT_EQ(model.LatestBoundPort(), 200u);
    ASSERT_TRUE(model.Deliver(100, reinterpret_cast<const uint8_t*>("to-a"), 4));
    ASSERT_TRUE(model.Deliver(200, reinterpret_cast<const uint8_t*>("to-b"), 4));
    EXPECT_EQ(Receive(programA.Get()), "to-a");
    EXPECT_EQ(Receive(programB.Get()), "to-b");
    model.Close(b);
    EXPECT_FALSE(model.Deliver(200, reinterpret_cast<const uint8_t*>("gone"), 4));
    EXPECT_EQ(model.LatestBoundPort(), 100u);
    EXPECT_EQ(model.Delivered(), 2u);
    model.Close(a);
}

TEST_F(NetlinkModelTest, FullQueueDropsInsteadOfBlocking) {
    sim::UniqueFd board, program;
    Pair(&board, &program);
    uint64_t s = model.Open(board.Get());
    model.Bind(s, 7);
    std::vector<uint8_t> record(1000, 0xAB);
    int delivered = 0;
    auto start = std::chrono::steady_clock::now();
    while (delivered < 100000 && model.Deliver(7, record.data(), record.size())) ++delivered;
    EXPECT_LT(delivered, 100000) << "the program never read: some record must be dropped";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    model.Close(s);
}

TEST_F(NetlinkModelTest, MessagesToTheKernelReachTheKernelHandler) {
    sim::UniqueFd board, program;
    Pair(&board, &program);
    uint64_t s = model.Open(board.Get());
    model.Bind(s, 321);
    uint32_t from = 0;
    std::string got;
    model.SetKernelHandler([&](uint32_t port, const uint8_t* data, size_t len) {
        from = port;
        got.assign(reinterpret_cast<const char*>(data), len);
    });
    model.FromProgram(s, reinterpret_cast<const uint8_t*>("hello"), 5);
    EXPECT_EQ(from, 321u);
    EXPECT_EQ(got, "hello");
    model.Close(s);
}

TEST(WallClock, OffsetsPersistAndPowerOnTakesTheHardwareClock) {
    simtest::TempDir dir;
    sim::OpLog log([] { return int64_t{0}; }, "");
    std::string system = dir.path() + "/clock", hardware = dir.path() + "/hwclock";
    int64_t target = int64_t{2000000000} * 1000000;
    {
        sim::WallClock clock(system, hardware, &log);
        EXPECT_EQ(clock.SystemOffsetUs(), 0);
        clock.SetSystem(2000000000, 0);
        int64_t offset = clock.SystemOffsetUs();
        EXPECT_LE(std::llabs(sim::WallClock::HostNowUs() + offset - target), 2000000);
        EXPECT_EQ(clock.HardwareOffsetUs(), 0);
        clock.PowerOn();  // not saved with hwclock -w: lost
        EXPECT_EQ(clock.SystemOffsetUs(), 0);
        clock.SetSystem(2000000000, 0);
        clock.WriteHardware();
        EXPECT_EQ(clock.HardwareOffsetUs(), clock.SystemOffsetUs());
    }
    sim::WallClock again(system, hardware, &log);  // a new board process on the same root
    again.PowerOn();
    EXPECT_LE(std::llabs(sim::WallClock::HostNowUs() + again.SystemOffsetUs() - target), 2000000);
    EXPECT_EQ(std::stoll(simtest::ReadFile(system)), again.SystemOffsetUs());
}

TEST(RootLayout, PowerOnEmptiesTmpWithoutFollowingLinks) {
    simtest::TempDir dir, outside;
    sim::RootLayout root(dir.path());
    sim::Result<> prepared = root.Prepare();
    ASSERT_TRUE(prepared) << prepared.error().Text();
    simtest::WriteFile(outside.path() + "/precious", "keep");
    simtest::WriteFile(dir.path() + "/tmp/a/b/c", "x");
    simtest::WriteFile(dir.path() + "/tmp/.hidden", "x");
    ASSERT_EQ(::symlink(outside.path().c_str(), (dir.path() + "/tmp/link").c_str()), 0);
    ASSERT_TRUE(root.EmptyTmp());
    EXPECT_TRUE(simtest::Exists(dir.path() + "/tmp"));
    EXPECT_FALSE(simtest::Exists(dir.path() + "/tmp/a"));
    EXPECT_FALSE(simtest::Exists(dir.path() + "/tmp/.hidden"));
    EXPECT_FALSE(simtest::Exists(dir.path() + "/tmp/link"));
    EXPECT_EQ(simtest::ReadFile(outside.path() + "/precious"), "keep");

    sim::RootLayout second(dir.path());
    sim::Result<> locked = second.Prepare();
    EXPECT_FALSE(locked);  // the first holds the root's lock
    EXPECT_NE(locked.error().Text().find("another board"), std::string::npos);
}

TEST(ToolRunner, RunsHostToolsInTheRootAndReportsStatus) {
    simtest::TempDir dir;
    sim::Console console(dir.path() + "/console.log", false);
    sim::ToolRunner tools(&console);
    simtest::WriteFile(dir.path() + "/marker-file", "");
    EXPECT_EQ(tools.Run({"ls"}, dir.path()), 0);
    EXPECT_NE(simtest::ReadFile(dir.path() + "/console.log").find("marker-file"), std::string::npos);
    int status = tools.Run({"ls", "no-such-entry"}, dir.path());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_EQ(tools.Run({"no-such-tool-anywhere"}, dir.path()), -1);
    tools.KillAll();
    EXPECT_EQ(tools.Run({"ls"}, dir.path()), -1);  // powered off
}

}  // namespace
