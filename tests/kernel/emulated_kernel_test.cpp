// The emulated kernel on its own, without the board's modules: the log,
// semaphores, user copies, interrupts and their context, register access,
// misc devices and file dispatch, the module table, coherent memory and
// DMA channels.
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "board/sim/hw/registers.h"
#include "board/sim/kernel/misc_node.h"
#include "board/sim/kernel/uaccess.h"
#include "tests/kernel/emulated_board.h"

namespace {

using namespace ktest;
using sim::kernel::KernelLog;
using sim::kernel::KernelLogLine;
using sim::kernel::UserRange;
using sim::kernel::UserSpace;

constexpr unsigned kGfpKernel = 0xD0;
constexpr int kIrqHandled = 1, kIrqNone = 0;
constexpr unsigned kEdgeRising = 0x1, kLevelHigh = 0x4;
constexpr unsigned kTestLine = 50;

std::vector<std::string> Texts(const std::vector<KernelLogLine>& lines) {
    std::vector<std::string> texts;
    for (const KernelLogLine& l : lines) texts.push_back(std::to_string(l.level) + ":" + l.text);
    return texts;
}

// ---- The kernel log ----------------------------------------------------------

TEST_F(KernelTest, PrintkKeepsLevelsAndJoinsContinuedLines) {
    printk("<6>info %d\n", 1);
    printk("no level ");
    printk("continued\n");
    printk("<1> leading blank \n");
    printk("two\nlines\n");
    printk("<3>");  // a level with nothing yet
    printk("late text\n");
    std::vector<KernelLogLine> lines = kernel().log().Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].level, 5);  // the boot banner
    std::vector<std::string> texts = Texts({lines.begin() + 1, lines.end()});
    EXPECT_EQ(texts, (std::vector<std::string>{"6:info 1", "4:no level continued", "1: leading blank ", "4:two",
                                               "4:lines", "3:late text"}));
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].seq, lines[i - 1].seq + 1);
        EXPECT_GE(lines[i].usec, lines[i - 1].usec);
    }
    uint64_t next = 0;
    std::vector<KernelLogLine> page = kernel().log().From(lines[2].seq, 2, &next);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].text, "no level continued");
    EXPECT_EQ(next, lines[4].seq);
    EXPECT_TRUE(kernel().log().From(lines.back().seq + 1, 10, &next).empty());
    EXPECT_EQ(next, lines.back().seq + 1);
}

TEST_F(KernelTest, PowerOnEmptiesTheLogButSequenceNumbersGoOn) {
    printk("<6>before\n");
    const uint64_t last = kernel().log().Lines().back().seq;
    kernel().Halt();
    kernel().Boot();
    std::vector<KernelLogLine> lines = kernel().log().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GT(lines[0].seq, last);
    EXPECT_EQ(kernel().log().Count("before"), 0u);
    uint64_t next = 0;
    EXPECT_EQ(kernel().log().From(0, 10, &next).size(), 1u);  // an old cursor finds the new boot
    EXPECT_EQ(next, lines[0].seq + 1);
}

TEST(KernelLogRing, KeepsTheNewestLinesAndCutsLongOnes) {
    KernelLog log("");
    for (size_t i = 0; i < KernelLog::kKeep + 10; ++i) log.Write("line " + std::to_string(i) + "\n");
    std::vector<KernelLogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), KernelLog::kKeep);
    EXPECT_EQ(lines.front().seq, 10u);
    EXPECT_EQ(lines.front().text, "line 10");
    log.Write("<2>" + std::string(3 * KernelLog::kMaxLine, 'x') + "\n");
    EXPECT_EQ(log.Lines().back().text.size(), KernelLog::kMaxLine);
    EXPECT_EQ(log.Lines().back().level, 2);
}

// ---- Semaphores and delays -------------------------------------------------

TEST_F(KernelTest, SemaphoreCountsAndDownWaitsForAnUpFromAnotherThread) {
    struct semaphore sem;
    sema_init(&sem, 2);
    down(&sem);
    EXPECT_EQ(down_interruptible(&sem), 0);
    EXPECT_EQ(down_trylock(&sem), 1);  // nothing left
    const auto start = Clock::now();
    std::thread giver([&] {
        std::this_thread::sleep_for(40ms);
        up(&sem);
    });
    down(&sem);
    const auto waited = Clock::now() - start;
    giver.join();
    EXPECT_GE(waited, 35ms);
    EXPECT_LT(waited, 2s);
    up(&sem);
    EXPECT_EQ(down_trylock(&sem), 0);
}

TEST_F(KernelTest, PowerOffEndsInterruptibleWaitsWithEintr) {
    struct semaphore sem;
    sema_init(&sem, 0);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = down_interruptible(&sem); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(result.load(), 1);  // still waiting
    kernel().Halt();
    waiter.join();
    EXPECT_EQ(result.load(), -EINTR);
}

TEST_F(KernelTest, MsleepSleepsAndUdelayWaitsAtLeastAsLong) {
    auto start = Clock::now();
    msleep(15);
    EXPECT_GE(Clock::now() - start, 15ms);
    start = Clock::now();
    __udelay(2000);
    EXPECT_GE(Clock::now() - start, 2ms);
}

// ---- User memory -------------------------------------------------------------

TEST_F(KernelTest, UserCopiesReachOnlyTheMappedRanges) {
    char user[16] = "0123456789abcde";
    char out[16];
    {
        UserSpace space({UserRange{user, 8, false}});
        EXPECT_EQ(emu_access_ok(0, user, 8), 1);
        EXPECT_EQ(emu_access_ok(0, user + 4, 5), 0);  // runs past the range
        EXPECT_EQ(emu_access_ok(0, nullptr, 1), 0);
        EXPECT_EQ(emu_access_ok(1, user, 4), 0);  // not writable
        EXPECT_EQ(emu_access_ok(0, user, 0), 1);
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(__copy_from_user(out, user + 2, 10), 4u);  // 6 mapped bytes, the rest zeroed
        EXPECT_EQ(std::string(out, 6), "234567");
        EXPECT_EQ(std::string(out + 6, 4), std::string(4, '\0'));
        EXPECT_EQ(out[10], 'x');
        EXPECT_EQ(__copy_to_user(user, "zz", 2), 2u);  // read-only: nothing written
        EXPECT_EQ(user[0], '0');
        EXPECT_EQ(space.Accesses(), 7u);
    }
    {
        UserSpace space({UserRange{user, 4, true}, UserRange{user + 4, 4, true}});
        EXPECT_EQ(emu_access_ok(1, user, 8), 1);  // adjoining ranges
        EXPECT_EQ(__copy_to_user(user + 6, "ZZZZ", 4), 2u);
        EXPECT_EQ(std::string(user, 10), "012345ZZ89");
    }
    EXPECT_EQ(emu_access_ok(0, user, 1), 0);  // no system call: nothing is user memory
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(__copy_from_user(out, user, 3), 3u);
    EXPECT_EQ(std::string(out, 3), std::string(3, '\0'));
}

// ---- Interrupts ----------------------------------------------------------------

struct IrqProbe {
    std::atomic<int> calls{0};
    std::atomic<bool> sawInterruptContext{true};
    std::atomic<bool> hold{false};
    std::atomic<bool> inside{false};
};

int CountingHandler(int, void* dev) {
    IrqProbe* probe = static_cast<IrqProbe*>(dev);
    probe->inside = true;
    if (!emu_in_interrupt()) probe->sawInterruptContext = false;
    for (int i = 0; i < 2000 && probe->hold; ++i) std::this_thread::sleep_for(1ms);
    ++probe->calls;
    probe->inside = false;
    return kIrqHandled;
}

TEST_F(KernelTest, RisingEdgesRunTheHandlerInInterruptContextOncePerEdge) {
    IrqProbe probe;
    auto& lines = machine().interrupts();
    ASSERT_EQ(set_irq_type(kTestLine, kEdgeRising), 0);
    ASSERT_EQ(request_irq(kTestLine, CountingHandler, 0x20, "test", &probe), 0);
    EXPECT_EQ(request_irq(kTestLine, CountingHandler, 0x20, "again", &probe), -EBUSY);
    EXPECT_EQ(request_irq(sim::hw::irq::kLines, CountingHandler, 0, "beyond", &probe), -EINVAL);
    EXPECT_EQ(emu_in_interrupt(), 0);

    lines.SetLevel(kTestLine, true);
    ASSERT_TRUE(WaitFor([&] { return probe.calls == 1; }, 2s));
    lines.SetLevel(kTestLine, false);  // a falling edge is not taken
    lines.SetLevel(kTestLine, true);
    ASSERT_TRUE(WaitFor([&] { return probe.calls == 2; }, 2s));
    lines.SetLevel(kTestLine, false);
    EXPECT_TRUE(probe.sawInterruptContext);

    disable_irq(kTestLine);
    lines.SetLevel(kTestLine, true);  // latched while disabled
    lines.SetLevel(kTestLine, false);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.calls, 2);
    enable_irq(kTestLine);
    ASSERT_TRUE(WaitFor([&] { return probe.calls == 3; }, 2s));

    sim::kernel::IrqLayer::LineStatus status = kernel().irq().Status(kTestLine);
    EXPECT_TRUE(status.requested);
    EXPECT_EQ(status.name, "test");
    EXPECT_EQ(status.handled, 3u);
    EXPECT_EQ(status.type, kEdgeRising);

    free_irq(kTestLine, &probe);
    lines.SetLevel(kTestLine, true);
    lines.SetLevel(kTestLine, false);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.calls, 3);
    EXPECT_FALSE(kernel().irq().Status(kTestLine).requested);
}

TEST_F(KernelTest, FreeIrqWaitsForTheHandlerThatRuns) {
    IrqProbe probe;
    probe.hold = true;
    ASSERT_EQ(set_irq_type(kTestLine, kEdgeRising), 0);
    ASSERT_EQ(request_irq(kTestLine, CountingHandler, 0x20, "test", &probe), 0);
    machine().interrupts().SetLevel(kTestLine, true);
    ASSERT_TRUE(WaitFor([&] { return probe.inside.load(); }, 2s));
    std::atomic<bool> freed{false};
    std::thread freer([&] {
        free_irq(kTestLine, &probe);
        freed = true;
    });
    std::this_thread::sleep_for(40ms);
    EXPECT_FALSE(freed.load());  // the handler still runs
    probe.hold = false;
    freer.join();
    EXPECT_TRUE(freed.load());
    EXPECT_EQ(probe.calls, 1);
}

struct semaphore gNeverUp;

int SleepingHandler(int, void* dev) {
    msleep(1);
    down(&gNeverUp);  // would hang the interrupt thread: reported, not taken
    ++static_cast<IrqProbe*>(dev)->calls;
    return kIrqHandled;
}

TEST_F(KernelTest, SleepingInAnInterruptHandlerIsReportedAndDoesNotBlock) {
    IrqProbe probe;
    sema_init(&gNeverUp, 0);
    ASSERT_EQ(set_irq_type(kTestLine, kEdgeRising), 0);
    ASSERT_EQ(request_irq(kTestLine, SleepingHandler, 0x20, "sleeper", &probe), 0);
    machine().interrupts().SetLevel(kTestLine, true);
    ASSERT_TRUE(WaitFor([&] { return probe.calls == 1; }, 2s));
    free_irq(kTestLine, &probe);
    EXPECT_EQ(kernel().Bugs(), 2u);
    EXPECT_EQ(kernel().log().Count("sleeping function called from invalid context: msleep"), 1u) << Log();
    EXPECT_EQ(kernel().log().Count("sleeping function called from invalid context: down"), 1u) << Log();
    expectedBugs_ = 2;
}

TEST_F(KernelTest, WakeFlagsNestAndAWakeSourceLeftOnAFreedLineIsABug) {
    IrqProbe probe;
    ASSERT_EQ(request_irq(kTestLine, SleepingHandler, 0, "waker", &probe), 0);
    EXPECT_EQ(set_irq_wake(kTestLine, 1), 0);
    EXPECT_EQ(set_irq_wake(kTestLine, 1), 0);
    EXPECT_EQ(set_irq_wake(kTestLine, 0), 0);
    EXPECT_TRUE(kernel().irq().Status(kTestLine).wake);  // one enable still outstanding
    EXPECT_EQ(set_irq_wake(kTestLine, 0), 0);
    EXPECT_FALSE(kernel().irq().Status(kTestLine).wake);
    EXPECT_EQ(set_irq_wake(kTestLine, 0), 0);  // one disable too many
    EXPECT_EQ(kernel().log().Count("Unbalanced IRQ 50 wake disable"), 1u) << Log();
    free_irq(kTestLine, &probe);  // balanced: no bug
    EXPECT_EQ(kernel().Bugs(), 1u);

    ASSERT_EQ(request_irq(kTestLine, SleepingHandler, 0, "waker", &probe), 0);
    EXPECT_EQ(set_irq_wake(kTestLine, 1), 0);
    free_irq(kTestLine, &probe);
    EXPECT_EQ(kernel().log().Count("IRQ 50 freed while still a wake source"), 1u) << Log();
    EXPECT_FALSE(kernel().irq().Status(kTestLine).wake);  // the next owner starts clean
    expectedBugs_ = 2;
}

int IgnoringHandler(int, void* dev) {
    ++static_cast<IrqProbe*>(dev)->calls;
    return kIrqNone;
}

TEST_F(KernelTest, ALevelLineNobodyHandlesIsSwitchedOff) {
    IrqProbe probe;
    ASSERT_EQ(set_irq_type(kTestLine, kLevelHigh), 0);
    ASSERT_EQ(request_irq(kTestLine, IgnoringHandler, 0, "deaf", &probe), 0);
    machine().interrupts().SetLevel(kTestLine, true);
    ASSERT_TRUE(WaitFor([&] { return kernel().irq().Status(kTestLine).depth == 1; }, 5s));
    EXPECT_EQ(probe.calls.load(), static_cast<int>(sim::kernel::IrqLayer::kNobodyCared));
    machine().interrupts().SetLevel(kTestLine, false);
    EXPECT_EQ(kernel().log().Count("irq 50: nobody cared"), 1u);
    free_irq(kTestLine, &probe);
    expectedBugs_ = 1;
}

// ---- Registers -----------------------------------------------------------------

TEST_F(KernelTest, RegistersAreReachedThroughTheStaticIoMapOnly) {
    namespace gpio = sim::hw::gpio;
    emu_mmio_write32(gpio::kXreset | gpio::kXcs, reinterpret_cast<volatile void*>(0xF4028004UL));
    EXPECT_EQ(machine().gpio().Outputs(), gpio::kXreset | gpio::kXcs);
    EXPECT_EQ(emu_mmio_read32(reinterpret_cast<const volatile void*>(0xF402800CUL)), gpio::kXreset | gpio::kXcs);
    EXPECT_EQ(kernel().Bugs(), 0u);

    EXPECT_EQ(emu_mmio_read32(reinterpret_cast<const volatile void*>(0x40028000UL)), 0u);  // physical: not mapped
    EXPECT_EQ(emu_mmio_read32(reinterpret_cast<const volatile void*>(0xF4028002UL)), 0u);  // unaligned
    emu_mmio_write32(1, reinterpret_cast<volatile void*>(0xF4090000UL));                   // no block there
    EXPECT_EQ(kernel().Bugs(), 3u);
    EXPECT_EQ(kernel().log().Count("Unable to handle kernel paging request at virtual address 40028000"), 1u);
    EXPECT_EQ(kernel().log().Count("write of physical address 40090000: no register there"), 1u) << Log();
    expectedBugs_ = 3;
    expectedUnmapped_ = 1;
}

// ---- Misc devices and file dispatch ------------------------------------------------

std::atomic<int> gReleases{0};

int ProbeOpen(struct inode* inode, struct file* file) {
    file->private_data = reinterpret_cast<void*>(static_cast<uintptr_t>(inode->i_rdev & 0xFFFFF));
    return 0;
}

int ProbeRelease(struct inode*, struct file*) {
    ++gReleases;
    return -1;  // ignored by close
}

emu_ssize_t ProbeWrite(struct file*, const char*, emu_size_t count, emu_loff_t*) {
    return count == 0 ? -1 : static_cast<emu_ssize_t>(count);
}

int RefusingOpen(struct inode*, struct file*) { return -EBUSY; }

const struct file_operations kProbeFops = {nullptr, nullptr, nullptr, ProbeWrite, nullptr,     nullptr,
                                           nullptr, ProbeOpen, ProbeRelease};
const struct file_operations kRefusingFops = {nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, RefusingOpen, ProbeRelease};

TEST_F(KernelTest, MiscDevicesDispatchFileOperationsAndTheirErrors) {
    miscdevice probe{200, "probe", &kProbeFops, {}, nullptr, nullptr};
    miscdevice clash{200, "clash", &kProbeFops, {}, nullptr, nullptr};
    miscdevice dynamic{255, "dynamic", &kProbeFops, {}, nullptr, nullptr};
    miscdevice refusing{201, "refusing", &kRefusingFops, {}, nullptr, nullptr};
    ASSERT_EQ(misc_register(&probe), 0);
    EXPECT_EQ(misc_register(&clash), -EBUSY);
    EXPECT_EQ(misc_register(&probe), -EBUSY);
    ASSERT_EQ(misc_register(&dynamic), 0);
    EXPECT_EQ(dynamic.minor, 63);
    ASSERT_EQ(misc_register(&refusing), 0);

    int rc = 0;
    {
        auto readOnly = board().Open("probe", O_RDONLY, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(readOnly->Write("x", 1), -EBADF);
    }
    auto file = board().Open("probe", O_RDWR, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(file->Write("abc", 3), 3);
    EXPECT_EQ(file->Write("", 0), -1);
    EXPECT_EQ(sim::kernel::ErrnoOf(-1), EPERM);
    char buf[4];
    EXPECT_EQ(file->Read(buf, sizeof buf), -EINVAL);  // no read operation
    EXPECT_EQ(file->Ioctl(0x1234, 0, {}), -ENOTTY);   // no ioctl operation
    EXPECT_EQ(file->Close(), -1);
    EXPECT_EQ(file->Write("abc", 3), -EBADF);  // closed
    EXPECT_EQ(gReleases, 2);

    board().Open("refusing", O_RDWR, &rc);
    EXPECT_EQ(rc, -EBUSY);
    EXPECT_EQ(gReleases, 2);  // a failed open is never released
    board().Open("nosuch", O_RDWR, &rc);
    EXPECT_EQ(rc, -ENODEV);
    EXPECT_EQ(sim::kernel::ErrnoOf(-512), EINTR);  // -ERESTARTSYS
    EXPECT_EQ(sim::kernel::ErrnoOf(-ENOTTY), ENOTTY);

    EXPECT_EQ(misc_deregister(&probe), 0);
    EXPECT_EQ(misc_deregister(&probe), -EINVAL);  // not registered: reported
    EXPECT_EQ(misc_deregister(&dynamic), 0);
    EXPECT_EQ(misc_deregister(&refusing), 0);
    EXPECT_TRUE(kernel().misc().Names().empty());
    EXPECT_EQ(kernel().log().Count("misc_deregister of a device that is not registered"), 1u);
    expectedBugs_ = 1;
}

TEST_F(KernelTest, PowerOffRevokesOpenFiles) {
    miscdevice probe{200, "probe", &kProbeFops, {}, nullptr, nullptr};
    ASSERT_EQ(misc_register(&probe), 0);
    int rc = 0;
    auto file = board().Open("probe", O_RDWR, &rc);
    ASSERT_EQ(rc, 0);
    gReleases = 0;
    ASSERT_TRUE(kernel().misc().RevokeAll(1s));
    EXPECT_EQ(file->Write("abc", 3), -EIO);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_EQ(gReleases, 0);  // the driver never hears of a revoked file
    EXPECT_EQ(kernel().misc().OpenFiles(), 0u);
    EXPECT_EQ(misc_deregister(&probe), 0);
}

// ---- Modules -------------------------------------------------------------------

TEST_F(KernelTest, ModuleTableListsTheBoardModulesAndKeepsTheirOrder) {
    std::vector<sim::kernel::ModuleInfo> modules = kernel().modules().List();
    ASSERT_EQ(modules.size(), 3u);
    EXPECT_EQ(modules[0].name, "netlink_event");
    EXPECT_EQ(modules[1].name, "codecdrv");
    EXPECT_EQ(modules[1].license, "GPL");
    EXPECT_EQ(modules[1].description, "User mode SPI device interface for vs1053b");
    EXPECT_EQ(modules[1].vermagic, "2.6.27.8 preempt mod_unload modversions ARMv5");
    EXPECT_EQ(modules[2].name, "ctrldrv");
    EXPECT_EQ(modules[2].license, "GPL");
    EXPECT_EQ(modules[2].description, "User mode Norva player device interface");
    EXPECT_EQ(modules[2].needs, std::vector<std::string>{"netlink_event"});
    for (const auto& m : modules) EXPECT_FALSE(m.loaded);

    EXPECT_EQ(kernel().Load("ctrldrv"), -ENOENT);  // its symbols are not there yet
    EXPECT_EQ(kernel().Load("nosuch"), -ENOENT);
    ASSERT_EQ(kernel().Load("netlink_event"), 0);
    EXPECT_EQ(kernel().Load("netlink_event"), -EEXIST);
    ASSERT_EQ(kernel().Load("ctrldrv"), 0);
    EXPECT_EQ(kernel().Unload("netlink_event"), -EBUSY);  // ctrldrv needs it
    EXPECT_EQ(kernel().Unload("codecdrv"), -ENOENT);
    EXPECT_EQ(kernel().Unload("ctrldrv"), 0);
    EXPECT_EQ(kernel().Unload("netlink_event"), 0);
    EXPECT_EQ(kernel().LoadBoardModules(), 0);
    for (const auto& m : kernel().modules().List()) EXPECT_TRUE(m.loaded) << m.name;
}

// ---- Coherent memory and DMA channels ------------------------------------------

struct DmaProbe {
    std::atomic<int> calls{0};
    std::atomic<int> channel{-1};
    std::atomic<int> cause{0};
    std::atomic<bool> interruptContext{false};
};

void DmaDone(int ch, int cause, void* data) {
    DmaProbe* probe = static_cast<DmaProbe*>(data);
    probe->channel = ch;
    probe->cause = cause;
    probe->interruptContext = emu_in_interrupt() != 0;
    lpc32xx_dma_flush_llist(ch);
    ++probe->calls;
}

dma_config MemoryToMemory(int ch) {
    dma_config cfg{};
    cfg.ch = ch;
    cfg.tc_inten = 1;
    cfg.err_inten = 1;
    cfg.src_size = cfg.dst_size = 1;
    cfg.src_inc = cfg.dst_inc = 1;
    cfg.flowctrl = 0;  // memory to memory
    return cfg;
}

TEST_F(KernelTest, CoherentMemoryHasBusAddressesAndIsAccountedFor) {
    emu_dma_addr_t bus = 0;
    uint8_t* cpu = static_cast<uint8_t*>(dma_alloc_coherent(nullptr, 100, &bus, kGfpKernel));
    ASSERT_NE(cpu, nullptr);
    EXPECT_GE(bus, sim::hw::kSdramBase);
    EXPECT_EQ(bus % sim::hw::Memory::kPage, 0u);
    EXPECT_EQ(cpu[0] | cpu[99], 0);
    cpu[5] = 0xA5;
    uint8_t seen = 0;
    ASSERT_TRUE(machine().memory().Read8(bus + 5, &seen));
    EXPECT_EQ(seen, 0xA5);
    EXPECT_EQ(machine().memory().Outstanding(), 1u);
    dma_free_coherent(nullptr, 99, cpu, bus);  // the wrong size: reported, not freed
    EXPECT_EQ(machine().memory().Outstanding(), 1u);
    dma_free_coherent(nullptr, 100, cpu, bus);
    EXPECT_EQ(machine().memory().Outstanding(), 0u);
    kernel().dma().FailNext(sim::kernel::DmaLayer::Fault::kAllocCoherent);
    EXPECT_EQ(dma_alloc_coherent(nullptr, 100, &bus, kGfpKernel), nullptr);
    expectedBugs_ = 1;
}

TEST_F(KernelTest, DmaChannelMovesQueuedEntriesAndCallsItsHandlerInInterruptContext) {
    DmaProbe probe;
    dma_config cfg = MemoryToMemory(3);
    ASSERT_EQ(lpc32xx_dma_ch_get(&cfg, "test", DmaDone, &probe), 3);
    EXPECT_EQ(lpc32xx_dma_ch_get(&cfg, "again", DmaDone, &probe), -EBUSY);
    EXPECT_EQ(kernel().dma().Channel(3).owner, "test");

    emu_dma_addr_t srcBus = 0, dstBus = 0;
    uint8_t* src = static_cast<uint8_t*>(dma_alloc_coherent(nullptr, 64, &srcBus, kGfpKernel));
    uint8_t* dst = static_cast<uint8_t*>(dma_alloc_coherent(nullptr, 64, &dstBus, kGfpKernel));
    for (int i = 0; i < 64; ++i) src[i] = static_cast<uint8_t>(i * 7);
    void* srcPtr = reinterpret_cast<void*>(static_cast<uintptr_t>(srcBus));
    void* dstPtr = reinterpret_cast<void*>(static_cast<uintptr_t>(dstBus));

    EXPECT_EQ(lpc32xx_dma_queue_llist_entry(3, srcPtr, dstPtr, 16), 0u);  // no list yet
    const emu_u32 list = lpc32xx_dma_alloc_llist(3, 2);
    ASSERT_NE(list, 0u);
    EXPECT_EQ(lpc32xx_dma_queue_llist_entry(3, srcPtr, dstPtr, 0x1000), 0u);  // beyond one transfer
    EXPECT_EQ(lpc32xx_dma_queue_llist_entry(3, srcPtr, dstPtr, 40), list);
    ASSERT_TRUE(WaitFor([&] { return probe.calls == 1; }, 2s));
    EXPECT_EQ(probe.channel, 3);
    EXPECT_EQ(probe.cause, 2);  // DMA_TC_INT on the terminal's kernel
    EXPECT_TRUE(probe.interruptContext);
    EXPECT_EQ(std::memcmp(src, dst, 40), 0);
    EXPECT_EQ(dst[40], 0);
    EXPECT_EQ(machine().dma().GetChannelStats(3).bytes, 40u);

    // A source nobody decodes stops the channel with an error interrupt.
    EXPECT_NE(lpc32xx_dma_queue_llist_entry(3, reinterpret_cast<void*>(0x10000000UL), dstPtr, 4), 0u);
    ASSERT_TRUE(WaitFor([&] { return probe.calls == 2; }, 2s));
    EXPECT_EQ(probe.cause, 1);  // DMA_ERR_INT
    EXPECT_EQ(machine().dma().GetChannelStats(3).errors, 1u);

    lpc32xx_dma_dealloc_llist(3);
    lpc32xx_dma_dealloc_llist(3);  // no list: reported
    EXPECT_EQ(lpc32xx_dma_ch_put(3), 0);
    EXPECT_EQ(lpc32xx_dma_ch_put(3), -EINVAL);  // not claimed: reported
    EXPECT_FALSE(kernel().dma().Channel(3).claimed);
    dma_free_coherent(nullptr, 64, src, srcBus);
    dma_free_coherent(nullptr, 64, dst, dstBus);
    expectedBugs_ = 2;
}

}  // namespace
