// codecdrv, loaded into the emulated kernel on the board's hardware models:
// what its load does to SSP0, the DMA channel and the chip; open, close and
// the single opener; writes (the 4096-byte limit, zero bytes, the null-buffer
// cancel, an unreadable buffer); 32-byte DMA chunks; DREQ stuck low (resets
// about every 120 ms, the write going on once DREQ rises, giving up after
// five); unload giving everything back; the DMA set-up failures; and an MP3
// file coming out of the decoder model as audio of the right length.
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "board/sim/hw/registers.h"
#include "board/sim/kernel/misc_node.h"
#include "tests/kernel/emulated_board.h"
#include "tests/support/mp3_fixture.h"

namespace {

using namespace ktest;
using sim::kernel::KernelFile;
namespace hw = sim::hw;

constexpr int kChannel = 6;
constexpr long kMaxWrite = 4096;
constexpr long kZeroFill = 1024;
constexpr uint32_t kChannelConfig = 0x1E | 0x3C0 | 0x800 | (1u << 14) | (1u << 15);  // periph 15, M2P, IE, ITC
constexpr uint32_t kChannelControl = (1u << 26) | (1u << 31);                         // byte widths, SI, I
constexpr auto kResetPeriod = 120ms;

class CodecTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(kernel().LoadBoardModules(), 0) << Log();
    }
    std::unique_ptr<KernelFile> OpenDecoder(int* rc, unsigned flags = O_WRONLY) {
        return board().Open("vs10xx", flags, rc);
    }
    hw::Vs1053::Stats Decoder() { return machine().decoder().GetStats(); }
    hw::DmaController::ChannelStats Dma() { return machine().dma().GetChannelStats(kChannel); }
    uint32_t Ssp(uint32_t offset) { return machine().ssp0().Read(offset); }
};

TEST_F(CodecTest, LoadSetsUpSsp0TheDmaChannelAndTheChip) {
    EXPECT_EQ(machine().clocks().SspCtrl() & 0xD, 0xDu);
    EXPECT_EQ(machine().gpio().MuxState() & 0x1600, 0x1600u);
    EXPECT_EQ(machine().gpio().P3MuxState() & 4, 0u);
    EXPECT_EQ(Ssp(hw::ssp::kCr0), 0x1907u);
    EXPECT_EQ(Ssp(hw::ssp::kCr1), 0x2u);
    EXPECT_EQ(Ssp(hw::ssp::kCpsr), 0x2u);
    EXPECT_EQ(Ssp(hw::ssp::kImsc), 0x3u);
    EXPECT_EQ(Ssp(hw::ssp::kDmacr) & hw::ssp::kTxDmae, hw::ssp::kTxDmae);
    EXPECT_EQ(machine().ssp0().GetStats().misconfigured, 0u);

    sim::kernel::DmaLayer::ChannelInfo ch = kernel().dma().Channel(kChannel);
    EXPECT_TRUE(ch.claimed);
    EXPECT_EQ(ch.owner, "dma_ssp_tx");
    EXPECT_TRUE(ch.hasList);
    EXPECT_EQ(ch.entries, 3);
    EXPECT_EQ(ch.config, kChannelConfig);
    EXPECT_EQ(ch.control, kChannelControl);
    EXPECT_EQ(machine().memory().Outstanding(), 2u);  // the 8192-byte buffer and the list
    EXPECT_EQ(machine().memory().OutstandingBytes(), 8192u + 3 * 16);

    const uint32_t lines = hw::gpio::kXcs | hw::gpio::kXdcs | hw::gpio::kXreset;
    EXPECT_EQ(machine().gpio().Outputs() & lines, lines);  // all released
    hw::Vs1053::Stats s = Decoder();
    EXPECT_EQ(s.hardwareResets, 1u);
    EXPECT_EQ(s.clockf, 0x8800);
    EXPECT_EQ(s.sciReads, 2u);
    EXPECT_EQ(s.sdiBytes, 0u);
    EXPECT_EQ(s.busConflicts + s.ignoredBytes + s.overrunBytes, 0u);
    EXPECT_EQ(s.unselectedBytes + s.sciWhileDreqLow, 0u);

    std::vector<sim::kernel::KernelLogLine> lines_ = kernel().log().Lines();
    ASSERT_GE(lines_.size(), 3u) << Log();
    EXPECT_EQ(lines_[lines_.size() - 2].text, " ReadVs10xxRegister(0) : 0x4800 ");
    EXPECT_EQ(lines_[lines_.size() - 2].level, 1);
    EXPECT_EQ(lines_.back().text, " ReadVs10xxRegister(3) : 0x8800 ");
    EXPECT_EQ(lines_.back().level, 1);
    std::vector<std::string> names = kernel().misc().Names();
    EXPECT_NE(std::find(names.begin(), names.end(), "vs10xx"), names.end());
}

TEST_F(CodecTest, OpenResetsTheChipAndASecondOpenIsRefusedWhileTheFirstWorks) {
    int rc = 1;
    auto first = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0) << Log();
    hw::Vs1053::Stats s = Decoder();
    EXPECT_EQ(s.softwareResets, 1u);
    EXPECT_EQ(s.clockf, 0x8800);
    EXPECT_EQ(s.sdiBytes, static_cast<uint64_t>(kZeroFill));
    EXPECT_EQ(s.mode, 0x0800);

    int second = 0;
    EXPECT_EQ(OpenDecoder(&second, O_RDWR), nullptr);
    EXPECT_EQ(second, -EPERM);
    EXPECT_EQ(sim::kernel::ErrnoOf(second), EPERM);
    EXPECT_EQ(Decoder().softwareResets, 1u);  // the refused open left the chip alone

    const std::vector<uint8_t> data(100, 0x33);
    EXPECT_EQ(first->Write(data.data(), data.size()), 100);
    EXPECT_EQ(first->Close(), 0);
    s = Decoder();
    EXPECT_EQ(s.cancels, 1u);
    EXPECT_EQ(s.sdiBytes, static_cast<uint64_t>(2 * kZeroFill + 100));

    auto again = OpenDecoder(&rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Decoder().softwareResets, 2u);
}

TEST_F(CodecTest, OnlyOneOfTwoSimultaneousOpensSucceeds) {
    std::atomic<int> results[2] = {{1}, {1}};
    std::unique_ptr<KernelFile> files[2];
    std::thread openers[2];
    for (int i = 0; i < 2; ++i) openers[i] = std::thread([&, i] {
        int rc = 1;
        files[i] = OpenDecoder(&rc);
        results[i] = rc;
    });
    for (auto& t : openers) t.join();
    EXPECT_EQ(std::min(results[0].load(), results[1].load()), -EPERM);
    EXPECT_EQ(std::max(results[0].load(), results[1].load()), 0);
    EXPECT_EQ(Decoder().softwareResets, 1u);
}

TEST_F(CodecTest, WriteTakesAtMost4096BytesAndRefusesZero) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const uint64_t before = Decoder().sdiBytes;
    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(file->Write(data.data(), data.size()), kMaxWrite);
    EXPECT_EQ(Decoder().sdiBytes - before, static_cast<uint64_t>(kMaxWrite));
    EXPECT_EQ(file->Write(data.data(), 0), -EPERM);
    EXPECT_EQ(file->Write(data.data(), 1), 1);
    EXPECT_EQ(Decoder().sdiBytes - before, static_cast<uint64_t>(kMaxWrite + 1));
    char buf[4];
    EXPECT_EQ(file->Read(buf, sizeof buf), -EBADF);  // opened for writing
    EXPECT_EQ(file->Ioctl(0x40047800, 0, {}), -ENOTTY);
}

TEST_F(CodecTest, ADmaErrorFailsTheWriteWithEioAndTheNextWriteGoesThrough) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    std::vector<uint8_t> data(100, 0x55);
    const uint64_t before = Decoder().sdiBytes;
    machine().dma().FailNextElement(kChannel);
    EXPECT_EQ(file->Write(data.data(), data.size()), -EIO);  // not reported as written
    EXPECT_EQ(machine().dma().GetChannelStats(kChannel).errors, 1u);
    EXPECT_EQ(Decoder().sdiBytes, before);  // the first chunk stopped, the rest never went
    EXPECT_NE(machine().gpio().Outputs() & hw::gpio::kXdcs, 0u);  // select released
    EXPECT_EQ(file->Write(data.data(), data.size()), static_cast<int>(data.size()));
    EXPECT_EQ(Decoder().sdiBytes, before + data.size());
}

TEST_F(CodecTest, AnSciCommandThatDoesNotGoFailsWithEioAndReleasesXcs) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const hw::Vs1053::Stats before = Decoder();
    machine().dma().FailNextElement(kChannel);
    EXPECT_EQ(file->Write(nullptr, 4096, {}), -EIO);  // the cancel never reached the chip
    EXPECT_EQ(Dma().errors, 1u);
    EXPECT_NE(machine().gpio().Outputs() & hw::gpio::kXcs, 0u);
    hw::Vs1053::Stats after = Decoder();
    EXPECT_EQ(after.cancels, before.cancels);
    EXPECT_EQ(after.sdiBytes, before.sdiBytes);  // no zeros after a cancel that failed
    EXPECT_EQ(file->Write(nullptr, 4096, {}), kZeroFill);
    EXPECT_EQ(Decoder().cancels, before.cancels + 1);

    // The open's software reset failing: the open fails and the next one works.
    ASSERT_EQ(file->Close(), 0);
    machine().dma().FailNextElement(kChannel);
    EXPECT_EQ(OpenDecoder(&rc), nullptr);
    EXPECT_EQ(rc, -EIO);
    EXPECT_EQ(Decoder().softwareResets, after.softwareResets);
    EXPECT_NE(machine().gpio().Outputs() & hw::gpio::kXcs, 0u);
    auto again = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Decoder().softwareResets, after.softwareResets + 1);

    // A port that stops with the command in its FIFO: the wait for it gives up.
    machine().ssp0().Write(hw::ssp::kCr1, 0);
    EXPECT_EQ(again->Write(nullptr, 4096, {}), -EIO);
    EXPECT_EQ(kernel().log().Count("vs10xx: SSP0 stays busy"), 1u);
    EXPECT_NE(machine().gpio().Outputs() & hw::gpio::kXcs, 0u);
}

// The DMA completion only says the last byte entered SSP0's FIFO. On a bus
// slowed to 100 us a byte, a select raised before the port has clocked its
// last byte loses bytes the chip would count.
TEST_F(CodecTest, SelectsRiseOnlyAfterSsp0HasClockedTheLastByte) {
    machine().ssp0().SetInputClock(hw::Ssp::kBoardInputHz / 25);
    ASSERT_EQ(machine().ssp0().FrameTime(), 100us);
    const hw::Vs1053::Stats before = Decoder();
    const auto start = Clock::now();
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0) << Log();
    const std::vector<uint8_t> data(100, 0x5A);
    EXPECT_EQ(file->Write(data.data(), data.size()), 100);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_GE(Clock::now() - start, (2 * kZeroFill + 100) * 100us);  // the bus paced it

    machine().Settle();
    const hw::Vs1053::Stats s = Decoder();
    EXPECT_EQ(s.bytesAfterXcs, 0u);
    EXPECT_EQ(s.bytesAfterXdcs, 0u);
    EXPECT_EQ(s.unselectedBytes, 0u);
    EXPECT_EQ(s.sciWhileDreqLow, 0u);
    EXPECT_EQ(s.sciWrites - before.sciWrites, 3u);  // reset, clock, cancel: all whole
    EXPECT_EQ(s.softwareResets - before.softwareResets, 1u);
    EXPECT_EQ(s.cancels - before.cancels, 1u);
    EXPECT_EQ(s.clockf, 0x8800);
    EXPECT_EQ(s.sdiBytes - before.sdiBytes, static_cast<uint64_t>(2 * kZeroFill + 100));
    EXPECT_EQ(kernel().log().Count("vs10xx: SSP0 stays busy"), 0u);
}

TEST_F(CodecTest, NullBufferCancelsAndReturns1024WithoutTouchingUserMemory) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const hw::Vs1053::Stats before = Decoder();
    EXPECT_EQ(file->Write(nullptr, 4096, {}), kZeroFill);
    EXPECT_EQ(file->LastUserAccesses(), 0u);
    const hw::Vs1053::Stats after = Decoder();
    EXPECT_EQ(after.cancels, before.cancels + 1);
    EXPECT_EQ(after.sdiBytes, before.sdiBytes + kZeroFill);
}

TEST_F(CodecTest, UnreadableBufferIsRefusedAndNothingReachesTheChip) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const uint64_t before = Decoder().sdiBytes;
    std::vector<uint8_t> data(200, 0x77);
    EXPECT_EQ(file->Write(data.data(), data.size(), {}), -EFAULT);  // nothing mapped
    EXPECT_EQ(file->Write(data.data(), data.size(), {{data.data(), 100, false}}), -EFAULT);  // half mapped
    EXPECT_EQ(Decoder().sdiBytes, before);
    EXPECT_GT(file->LastUserAccesses(), 0u);
    EXPECT_EQ(file->Write(data.data(), data.size()), 200);  // and the file works on
}

TEST_F(CodecTest, DataGoesByDmaInChunksOfAtMost32Bytes) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const hw::DmaController::ChannelStats before = Dma();
    const std::vector<uint8_t> data(4010, 0x5A);
    ASSERT_EQ(file->Write(data.data(), data.size()), 4010);
    const hw::DmaController::ChannelStats after = Dma();
    EXPECT_EQ(after.items - before.items, 126u);  // 125 full chunks and 10 bytes
    EXPECT_EQ(after.bytes - before.bytes, 4010u);
    EXPECT_EQ(after.maxItemBytes, 32u);
    EXPECT_EQ(after.lastItemBytes, 10u);
    EXPECT_EQ(after.errors, 0u);
    EXPECT_EQ(Decoder().overrunBytes, 0u);  // no chunk went to a full buffer
}

// Spacing of the chip's hardware resets from index first on, in ms.
std::vector<long> ResetGaps(const std::vector<Clock::time_point>& times, size_t first) {
    std::vector<long> gaps;
    for (size_t i = first + 1; i < times.size(); ++i)
        gaps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1]).count());
    return gaps;
}

TEST_F(CodecTest, DreqStuckLowResetsTheChipAbout120msApartAndTheWriteGoesOnOnceItRises) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const size_t resetsBefore = machine().decoder().HardwareResetTimes().size();
    const uint64_t sdiBefore = Decoder().sdiBytes;
    machine().decoder().SetDreqFault(true);
    std::atomic<long> written{-100};
    const auto start = Clock::now();
    std::thread writer([&] {
        std::vector<uint8_t> data(4096, 0x11);
        written = file->Write(data.data(), data.size());
    });
    ASSERT_TRUE(WaitFor([&] { return machine().decoder().HardwareResetTimes().size() >= resetsBefore + 2; }, 3s));
    machine().decoder().SetDreqFault(false);
    writer.join();
    EXPECT_EQ(written.load(), 4096);
    EXPECT_EQ(Decoder().sdiBytes - sdiBefore, 4096u);
    const std::vector<Clock::time_point> times = machine().decoder().HardwareResetTimes();
    const size_t resets = times.size() - resetsBefore;
    EXPECT_GE(resets, 2u);
    EXPECT_LE(resets, 3u);
    EXPECT_GE(times[resetsBefore] - start, 90ms);  // ten polls 10 ms apart first
    for (long gap : ResetGaps(times, resetsBefore)) {
        EXPECT_GE(gap, 110) << "reset spacing";
        EXPECT_LE(gap, 300) << "reset spacing";  // a loaded machine oversleeps
    }
    EXPECT_EQ(kernel().log().Count("vs10xx dreq time out , reset the chip."), resets);
    for (const auto& line : kernel().log().Lines())
        if (line.text == "vs10xx dreq time out , reset the chip.") {
            EXPECT_EQ(line.level, 6);
        }
}

TEST_F(CodecTest, DreqThatNeverRisesEndsTheWriteWithEioAfterFiveResets) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const uint64_t resetsBefore = Decoder().hardwareResets;
    machine().decoder().SetDreqFault(true);
    const std::vector<uint8_t> data(64, 0x22);
    const auto start = Clock::now();
    EXPECT_EQ(file->Write(data.data(), data.size()), -EIO);
    const auto took = Clock::now() - start;
    EXPECT_EQ(Decoder().hardwareResets - resetsBefore, 5u);
    EXPECT_GE(took, 5 * kResetPeriod - 20ms);
    EXPECT_LT(took, 5 * kResetPeriod + 1000ms);
    EXPECT_EQ(machine().gpio().Outputs() & hw::gpio::kXdcs, hw::gpio::kXdcs);  // the SDI select released
    machine().decoder().SetDreqFault(false);
    EXPECT_EQ(file->Write(data.data(), data.size()), 64);  // a live chip is fed again
}

TEST_F(CodecTest, OpenFailsWhenTheChipStaysDeadAfterItsReset) {
    machine().decoder().SetDreqFault(true);
    int rc = 0;
    EXPECT_EQ(OpenDecoder(&rc), nullptr);
    EXPECT_EQ(rc, -EPERM);
    EXPECT_EQ(kernel().log().Count("vs10xx dreq time out , reset the chip."), 2u);  // the reset, then the check
    machine().decoder().SetDreqFault(false);
    auto file = OpenDecoder(&rc);
    EXPECT_EQ(rc, 0);
}

TEST_F(CodecTest, UnloadGivesBackChannel6TheListAndTheBufferButNotWhileOpen) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(kernel().Unload("codecdrv"), -EBUSY);  // the open file holds the module
    EXPECT_EQ(file->Close(), 0);
    ASSERT_EQ(kernel().Unload("codecdrv"), 0);
    EXPECT_FALSE(kernel().dma().Channel(kChannel).claimed);
    EXPECT_EQ(machine().memory().Outstanding(), 0u);
    std::vector<std::string> names = kernel().misc().Names();
    EXPECT_EQ(std::find(names.begin(), names.end(), "vs10xx"), names.end());
    OpenDecoder(&rc);
    EXPECT_EQ(rc, -ENODEV);
    ASSERT_EQ(kernel().Load("codecdrv"), 0);  // and loads again
    EXPECT_TRUE(kernel().dma().Channel(kChannel).claimed);
    auto reopened = OpenDecoder(&rc);
    EXPECT_EQ(rc, 0);
}

TEST_F(CodecTest, PowerOffWaitsForTheWriteInFlightThenUnloadsUnderTheOpenFile) {
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    machine().decoder().SetDreqFault(true);  // the write waits through its resets
    std::atomic<long> written{-100};
    std::thread writer([&] {
        const std::vector<uint8_t> data(64, 0x44);
        written = file->Write(data.data(), data.size());
    });
    ASSERT_TRUE(WaitFor([&] { return kernel().log().Count("vs10xx dreq time out") >= 1; }, 2s));
    EXPECT_TRUE(kernel().Halt());
    writer.join();
    EXPECT_EQ(written.load(), -EIO);  // given up by the driver, not cut off
    EXPECT_FALSE(kernel().modules().IsLoaded("codecdrv"));
    EXPECT_FALSE(kernel().dma().Channel(kChannel).claimed);
    const uint64_t cancels = machine().decoder().GetStats().cancels;
    const std::vector<uint8_t> data(8, 0);
    EXPECT_EQ(file->Write(data.data(), data.size()), -EIO);  // revoked
    EXPECT_EQ(file->Close(), 0);
    EXPECT_EQ(machine().decoder().GetStats().cancels, cancels);  // the close never reached the driver
}

TEST_F(CodecTest, ATakenMiscMinorFailsTheLoadAndFreesEverything) {
    ASSERT_EQ(kernel().Unload("codecdrv"), 0);
    static const struct file_operations kNoFops = {};
    miscdevice squatter{123, "squatter", &kNoFops, {}, nullptr, nullptr};
    ASSERT_EQ(misc_register(&squatter), 0);
    const auto readBacks = kernel().log().Count("ReadVs10xxRegister(3)");
    EXPECT_EQ(kernel().Load("codecdrv"), -EBUSY);
    // The register read-back runs before the device becomes visible to opens.
    EXPECT_EQ(kernel().log().Count("ReadVs10xxRegister(3)"), readBacks + 1) << Log();
    EXPECT_FALSE(kernel().modules().IsLoaded("codecdrv"));
    EXPECT_FALSE(kernel().dma().Channel(kChannel).claimed);
    EXPECT_EQ(machine().memory().Outstanding(), 0u);
    EXPECT_EQ(kernel().log().Count("vs10xx: cannot register the device (-16)"), 1u) << Log();
    EXPECT_EQ(misc_deregister(&squatter), 0);
}

struct DmaFailure {
    const char* name;
    sim::kernel::DmaLayer::Fault fault;
    std::vector<std::string> lines;  // what the load prints, in order
};

void PrintTo(const DmaFailure& failure, std::ostream* os) { *os << failure.name; }

class CodecDmaFailureTest : public KernelTest, public ::testing::WithParamInterface<DmaFailure> {};

TEST_P(CodecDmaFailureTest, LoadStillRegistersTheDeviceButOpenIsRefusedAndUnloadIsClean) {
    kernel().dma().FailNext(GetParam().fault);
    ASSERT_EQ(kernel().Load("codecdrv"), 0);
    std::vector<std::string> printed;
    for (const auto& line : kernel().log().Lines())
        if (line.level == 1) printed.push_back(line.text);
    EXPECT_EQ(printed, GetParam().lines);  // and no register read-back: that needs DMA
    EXPECT_FALSE(kernel().dma().Channel(kChannel).claimed);
    EXPECT_EQ(machine().memory().Outstanding(), 0u);
    const hw::Vs1053::Stats chip = machine().decoder().GetStats();
    EXPECT_EQ(chip.sciWrites + chip.sciReads, 0u);
    EXPECT_EQ(chip.hardwareResets, 1u);  // the chip is still put in a known state

    int rc = 0;
    EXPECT_EQ(board().Open("vs10xx", O_WRONLY, &rc), nullptr);
    EXPECT_EQ(rc, -ENODEV);
    EXPECT_EQ(kernel().Unload("codecdrv"), 0);
    EXPECT_EQ(kernel().Bugs(), 0u);  // nothing touched an absent channel, list or buffer
}

INSTANTIATE_TEST_SUITE_P(
    Each, CodecDmaFailureTest,
    ::testing::Values(
        DmaFailure{"NoBuffer", sim::kernel::DmaLayer::Fault::kAllocCoherent,
                   {"error getting DMA region.", "init SPI DMA FAIL"}},
        DmaFailure{"NoChannel", sim::kernel::DmaLayer::Fault::kChannelGet,
                   {"Error setting up SSP TX DMA channel", "init SPI DMA FAIL"}},
        DmaFailure{"NoList", sim::kernel::DmaLayer::Fault::kAllocList, {"init SPI DMA FAIL"}}),
    [](const ::testing::TestParamInfo<DmaFailure>& info) { return std::string(info.param.name); });

// ---- Audio out --------------------------------------------------------------

class CodecAudioTest : public CodecTest {
protected:
    std::string WavPath() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "paterm-codec-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) dir_ = pattern;
        return dir_ + "/decoder.wav";
    }
    void TearDown() override {
        CodecTest::TearDown();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    std::string dir_;
};

uint32_t Le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}

TEST_F(CodecAudioTest, AnMp3FileComesOutAsAudioOfItsLength) {
    constexpr int kFrames = 40;
    const std::vector<uint8_t> mp3 = testsupport::SilentMp3(kFrames);
    int rc = 1;
    auto file = OpenDecoder(&rc);
    ASSERT_EQ(rc, 0);
    const auto start = Clock::now();
    for (size_t at = 0; at < mp3.size(); at += kMaxWrite) {
        const size_t n = std::min<size_t>(kMaxWrite, mp3.size() - at);
        ASSERT_EQ(file->Write(mp3.data() + at, n), static_cast<long>(n));
    }
    // Paced by DREQ: what does not fit the chip's 2 KiB buffer plays at 16000 bytes/s.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds((mp3.size() - 2048) * 1000 / 16000 - 100));
    ASSERT_EQ(file->Close(), 0);

    std::ifstream in(dir_ + "/decoder.wav", std::ios::binary);
    const std::string wav((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
    EXPECT_EQ(wav.substr(8, 4), "WAVE");
    EXPECT_EQ(Le32(wav, 24), 44100u);
    EXPECT_EQ(Le32(wav, 40), wav.size() - 44);
    const long samples = static_cast<long>((wav.size() - 44) / 2);  // mono, 16-bit
    EXPECT_LE(std::abs(samples - kFrames * testsupport::kSamplesPerFrame), 2 * testsupport::kSamplesPerFrame)
        << samples;
    const hw::Vs1053::Stats s = Decoder();
    EXPECT_EQ(s.wavSamples, static_cast<uint64_t>(samples));
    EXPECT_EQ(s.wavChannels, 1);
    EXPECT_NEAR(s.decodedSeconds, kFrames * 1152 / 44100.0, 2 * 1152 / 44100.0);
}

}  // namespace
