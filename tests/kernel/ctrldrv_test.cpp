// ctrldrv, loaded into the emulated kernel after the netlink event module:
// interrupt line 90 on rising edges, the ioctl's numbers and error codes,
// an unreadable argument, writes, the single opener, RF key codes reaching
// the registered process as 18-byte event records, and what unload gives
// back (process id 0, the interrupt, the device) and leaves alone.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "board/sim/hw/registers.h"
#include "tests/kernel/emulated_board.h"

namespace {

using namespace ktest;
using sim::kernel::KernelFile;
using sim::kernel::UserRange;

constexpr unsigned kSetUserPid = 0x40047800;
constexpr unsigned kRfLine = 90;
constexpr uint32_t kPort = 4321;

class ControlTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(kernel().LoadBoardModules(), 0) << Log();
        board().netlink.Bind(kPort);
    }
    std::unique_ptr<KernelFile> OpenControl(int* rc) { return board().Open("nOrv_ctrl", O_RDWR, rc); }
    // The ioctl as the board passes it: the argument bytes mapped as user memory.
    long SetPid(KernelFile* file, int pid, unsigned cmd = kSetUserPid) {
        int arg = pid;
        return file->Ioctl(cmd, reinterpret_cast<unsigned long>(&arg), {UserRange{&arg, sizeof arg, true}});
    }
    int RegisteredPid() { return kernel().netlink().UserPid(); }
    // Presses a key and waits for its record (or for the handler to have run).
    void Press(int code) {
        const uint64_t handled = kernel().irq().Status(kRfLine).handled;
        ASSERT_TRUE(machine().rf().Press(code));
        ASSERT_TRUE(WaitFor([&] { return kernel().irq().Status(kRfLine).handled > handled; }, 2s));
    }
};

TEST_F(ControlTest, LoadTakesLine90OnRisingEdgesAsAWakeSourceAndRegistersTheDevice) {
    sim::kernel::IrqLayer::LineStatus line = kernel().irq().Status(kRfLine);
    EXPECT_TRUE(line.requested);
    EXPECT_EQ(line.name, "Norv ctrl RF detect");
    EXPECT_EQ(line.type, 0x1u);  // IRQ_TYPE_EDGE_RISING
    EXPECT_TRUE(line.wake);
    EXPECT_EQ(line.depth, 0);
    std::vector<std::string> names = kernel().misc().Names();
    EXPECT_NE(std::find(names.begin(), names.end(), "nOrv_ctrl"), names.end());
    EXPECT_EQ(RegisteredPid(), 0);
}

TEST_F(ControlTest, IoctlRegistersThePidAndRejectsOtherCommandsByTheirFields) {
    int rc = 1;
    auto file = OpenControl(&rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(SetPid(file.get(), 777), 0);
    EXPECT_EQ(RegisteredPid(), 777);
    EXPECT_EQ(SetPid(file.get(), 1, 0x80047800), -EINVAL);  // read direction
    EXPECT_EQ(SetPid(file.get(), 1, 0xC0047800), -EINVAL);  // both directions
    EXPECT_EQ(SetPid(file.get(), 1, 0x40087800), -EINVAL);  // size 8
    EXPECT_EQ(SetPid(file.get(), 1, 0x00007800), -EINVAL);  // no direction, no size
    EXPECT_EQ(SetPid(file.get(), 1, 0x40047801), -ENOTTY);  // number 1
    EXPECT_EQ(SetPid(file.get(), 1, 0x40047900), -ENOTTY);  // type 'y'
    EXPECT_EQ(SetPid(file.get(), 1, 0x5401), -ENOTTY);      // a terminal request
    EXPECT_EQ(RegisteredPid(), 777);                        // none of them changed it
}

TEST_F(ControlTest, UnreadableIoctlArgumentRegistersPidZeroAndStillSucceeds) {
    int rc = 1;
    auto file = OpenControl(&rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(SetPid(file.get(), 777), 0);
    int arg = 888;
    EXPECT_EQ(file->Ioctl(kSetUserPid, reinterpret_cast<unsigned long>(&arg), {}), 0);  // not mapped
    EXPECT_EQ(RegisteredPid(), 0);
    ASSERT_EQ(SetPid(file.get(), 777), 0);
    EXPECT_EQ(file->Ioctl(kSetUserPid, 0, {}), 0);  // null
    EXPECT_EQ(RegisteredPid(), 0);
    ASSERT_EQ(SetPid(file.get(), 777), 0);
    char bytes[8] = {};
    const int pid = 999;
    std::memcpy(bytes + 2, &pid, sizeof pid);
    EXPECT_EQ(file->Ioctl(kSetUserPid, reinterpret_cast<unsigned long>(bytes + 2), {UserRange{bytes, 4, true}}), 0);
    EXPECT_EQ(RegisteredPid(), 0);  // half readable is unreadable
}

TEST_F(ControlTest, WritesAreAcceptedAsZeroBytesAndChangeNothing) {
    int rc = 1;
    auto file = OpenControl(&rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(SetPid(file.get(), 777), 0);
    EXPECT_EQ(file->Write("x", 1), 0);
    EXPECT_EQ(file->Write("hello", 5), 0);
    EXPECT_EQ(file->Write(nullptr, 0, {}), 0);
    EXPECT_EQ(file->LastUserAccesses(), 0u);
    EXPECT_EQ(RegisteredPid(), 777);
    char buf[4];
    EXPECT_EQ(file->Read(buf, sizeof buf), -EINVAL);  // no read operation
}

TEST_F(ControlTest, ASecondOpenIsRefusedUntilTheFirstIsClosed) {
    int rc = 1;
    auto first = OpenControl(&rc);
    ASSERT_EQ(rc, 0);
    int second = 0;
    EXPECT_EQ(OpenControl(&second), nullptr);
    EXPECT_EQ(second, -EPERM);
    EXPECT_EQ(first->Close(), 0);
    auto third = OpenControl(&rc);
    EXPECT_EQ(rc, 0);
}

TEST_F(ControlTest, RfKeysReachTheRegisteredProcessAsEventRecords) {
    int rc = 1;
    auto file = OpenControl(&rc);
    ASSERT_EQ(rc, 0);
    Press(9);  // nobody registered yet: dropped
    EXPECT_EQ(board().netlink.Count(), 0u);
    EXPECT_EQ(kernel().netlink().GetStats().dropped, 1u);
    ASSERT_EQ(SetPid(file.get(), static_cast<int>(kPort)), 0);
    for (int code : {0, 15, 5, 10, 12, 12}) Press(code);
    const std::vector<Record> records = board().netlink.Records();
    ASSERT_EQ(records.size(), 6u);
    std::vector<int> codes;
    for (const Record& r : records) {
        EXPECT_EQ(r.port, kPort);
        ASSERT_EQ(r.bytes.size(), 18u);
        uint32_t length = 0, pid = 1;
        std::memcpy(&length, r.bytes.data(), 4);
        std::memcpy(&pid, r.bytes.data() + 12, 4);
        EXPECT_EQ(length, 18u);
        EXPECT_EQ(pid, 0u);  // from the kernel
        EXPECT_EQ(r.bytes[16], 2);  // the RF key event
        codes.push_back(r.bytes[17]);
    }
    EXPECT_EQ(codes, (std::vector<int>{0, 15, 5, 10, 12, 12}));  // repeated edges, repeated events

    ASSERT_EQ(SetPid(file.get(), 5555), 0);  // a process without a socket
    Press(1);
    EXPECT_EQ(board().netlink.Count(), 6u);
    EXPECT_EQ(kernel().netlink().GetStats().sent, 6u);
}

TEST_F(ControlTest, EveryKeyCodeIsReadFromItsFourInputBits) {
    int rc = 1;
    auto file = OpenControl(&rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(SetPid(file.get(), static_cast<int>(kPort)), 0);
    for (int code = 0; code < 16; ++code) Press(code);
    const std::vector<Record> records = board().netlink.Records();
    ASSERT_EQ(records.size(), 16u);
    for (int code = 0; code < 16; ++code) EXPECT_EQ(records[code].bytes[17], code);
}

TEST_F(ControlTest, UnloadRegistersPidZeroFreesLine90AndRemovesTheDevice) {
    {
        int rc = 1;
        auto file = OpenControl(&rc);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(SetPid(file.get(), static_cast<int>(kPort)), 0);
        EXPECT_EQ(kernel().Unload("ctrldrv"), -EBUSY);  // the paterm side keeps it open
    }
    ASSERT_EQ(kernel().Unload("ctrldrv"), 0);
    EXPECT_EQ(RegisteredPid(), 0);
    EXPECT_FALSE(kernel().irq().Status(kRfLine).requested);
    EXPECT_FALSE(kernel().irq().Status(kRfLine).wake);  // no wake source left behind
    EXPECT_EQ(kernel().Bugs(), 0u) << Log();
    std::vector<std::string> names = kernel().misc().Names();
    EXPECT_EQ(std::find(names.begin(), names.end(), "nOrv_ctrl"), names.end());
    ASSERT_TRUE(machine().rf().Press(3));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(board().netlink.Count(), 0u);
    ASSERT_EQ(kernel().Load("ctrldrv"), 0);  // and loads again, line 90 with it
    EXPECT_TRUE(kernel().irq().Status(kRfLine).requested);
    EXPECT_TRUE(kernel().irq().Status(kRfLine).wake);
}

int OtherHandler(int, void*) { return 1; }

TEST_F(ControlTest, ALine90OwnedByAnotherDriverIsReportedAndLeftAloneAtUnload) {
    ASSERT_EQ(kernel().Unload("ctrldrv"), 0);
    int owner = 0;
    ASSERT_EQ(request_irq(kRfLine, OtherHandler, 0, "other", &owner), 0);
    ASSERT_EQ(kernel().Load("ctrldrv"), 0);  // loads anyway
    EXPECT_EQ(kernel().log().Count("nOrv_ctrl: no RF detect interrupt (-16)"), 1u) << Log();
    ASSERT_EQ(kernel().Unload("ctrldrv"), 0);
    sim::kernel::IrqLayer::LineStatus line = kernel().irq().Status(kRfLine);
    EXPECT_TRUE(line.requested);
    EXPECT_EQ(line.name, "other");
    EXPECT_EQ(line.depth, 0);  // not disabled under its owner
    EXPECT_FALSE(line.wake);   // nor made a wake source
    free_irq(kRfLine, &owner);
}

TEST_F(ControlTest, ATakenMinorIsReportedAndUnloadDoesNotDeregisterWhatItNeverRegistered) {
    ASSERT_EQ(kernel().Unload("ctrldrv"), 0);
    static const struct file_operations kNoFops = {};
    miscdevice squatter{124, "squatter", &kNoFops, {}, nullptr, nullptr};
    ASSERT_EQ(misc_register(&squatter), 0);
    ASSERT_EQ(kernel().Load("ctrldrv"), 0);
    EXPECT_EQ(kernel().log().Count("nOrv_ctrl: cannot register the device (-16)"), 1u) << Log();
    ASSERT_EQ(kernel().Unload("ctrldrv"), 0);  // no misc_deregister of a stranger: no bug
    std::vector<std::string> names = kernel().misc().Names();
    EXPECT_NE(std::find(names.begin(), names.end(), "squatter"), names.end());
    EXPECT_EQ(misc_deregister(&squatter), 0);
}

}  // namespace
