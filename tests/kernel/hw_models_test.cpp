// The hardware models on their own, driven through their registers and
// pins as the kernel would: MPEG header parsing, the WAV file, the decoder
// chip's SCI, SDI, DREQ pacing and resets, SSP0's FIFOs, the DMA
// controller, GPIO, the interrupt controller and the RF receiver.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/hw/machine.h"
#include "board/sim/hw/mpeg_header.h"
#include "board/sim/hw/registers.h"
#include "board/sim/hw/wav_writer.h"
#include "tests/support/mp3_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace hw = sim::hw;
namespace gpio = sim::hw::gpio;
namespace ssp = sim::hw::ssp;
namespace dma = sim::hw::dma;

constexpr uint32_t kAllHigh = gpio::kXcs | gpio::kXdcs | gpio::kXreset;
constexpr size_t kFifoDrainLimit = 64;  // far beyond the 8-entry FIFO: a model fault cannot loop for ever
constexpr int kStepLimit = 20000;       // 20 ms of 1 us steps: far beyond any wait below

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "paterm-hw-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    return v;
}

uint16_t Le16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

// ---- MPEG headers ---------------------------------------------------------------

TEST(MpegHeader, ParsesTheFieldsThatPaceTheDecoder) {
    const uint8_t silent[4] = {0xFF, 0xFB, 0x90, 0xC0};  // the test fixture's frames
    auto h = hw::ParseMpegHeader(silent);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->version, 1);
    EXPECT_EQ(h->layer, 3);
    EXPECT_EQ(h->bitRate, 128000);
    EXPECT_EQ(h->sampleRate, 44100);
    EXPECT_EQ(h->samplesPerFrame, 1152);
    EXPECT_EQ(h->frameBytes, testsupport::kSilentFrameBytes);
    EXPECT_EQ(h->channels, 1);

    const uint8_t padded[4] = {0xFF, 0xFB, 0x92, 0x40};  // padding bit, joint stereo
    h = hw::ParseMpegHeader(padded);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->frameBytes, 418);
    EXPECT_EQ(h->channels, 2);

    const uint8_t mpeg2[4] = {0xFF, 0xF3, 0x80, 0x00};  // MPEG-2 layer III, 64 kbit/s, 22.05 kHz
    h = hw::ParseMpegHeader(mpeg2);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->version, 2);
    EXPECT_EQ(h->bitRate, 64000);
    EXPECT_EQ(h->sampleRate, 22050);
    EXPECT_EQ(h->samplesPerFrame, 576);
    EXPECT_EQ(h->frameBytes, 72 * 64000 / 22050);

    const uint8_t layer2[4] = {0xFF, 0xFD, 0xA4, 0x00};  // MPEG-1 layer II, 192 kbit/s, 48 kHz
    h = hw::ParseMpegHeader(layer2);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->layer, 2);
    EXPECT_EQ(h->bitRate, 192000);
    EXPECT_EQ(h->frameBytes, 576);

    for (auto bad : {std::array<uint8_t, 4>{0xFF, 0xFB, 0xF0, 0xC0},    // bit rate index 15
                     std::array<uint8_t, 4>{0xFF, 0xFB, 0x0C, 0xC0},    // free format, reserved rate
                     std::array<uint8_t, 4>{0xFF, 0xFB, 0x9C, 0xC0},    // sample rate index 3
                     std::array<uint8_t, 4>{0xFF, 0xF9, 0x90, 0xC0},    // layer 0
                     std::array<uint8_t, 4>{0xFF, 0xEB, 0x90, 0xC0},    // version 01
                     std::array<uint8_t, 4>{0xFE, 0xFB, 0x90, 0xC0}})   // no sync
        EXPECT_FALSE(hw::ParseMpegHeader(bad.data())) << int(bad[1]) << " " << int(bad[2]);
}

TEST(MpegFrameScanner, FindsFramesAfterJunkAndFollowsThem) {
    std::vector<uint8_t> bytes(300, 0);
    bytes[100] = 0xFF;  // a lone sync byte in the junk
    const std::vector<uint8_t> frames = testsupport::SilentMp3(3);
    bytes.insert(bytes.end(), frames.begin(), frames.end());
    hw::MpegFrameScanner scanner;
    std::vector<size_t> headersAt;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (scanner.Push(bytes[i])) headersAt.push_back(i);
    EXPECT_EQ(headersAt, (std::vector<size_t>{303, 303 + 417, 303 + 834}));
    EXPECT_TRUE(scanner.Synced());
    scanner.Reset();
    EXPECT_FALSE(scanner.Synced());
}

// ---- The WAV file ------------------------------------------------------------------

TEST(WavWriter, HeaderStaysValidWhileTheFileGrows) {
    ScratchDir dir;
    const std::string path = dir.File("out.wav");
    hw::WavWriter wav;
    ASSERT_TRUE(wav.Start(path, 22050, 2));
    std::string bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), hw::WavWriter::kHeaderBytes);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le32(bytes, 16), 16u);
    EXPECT_EQ(Le16(bytes, 20), 1);  // PCM
    EXPECT_EQ(Le16(bytes, 22), 2);
    EXPECT_EQ(Le32(bytes, 24), 22050u);
    EXPECT_EQ(Le32(bytes, 28), 22050u * 4);
    EXPECT_EQ(Le16(bytes, 32), 4);
    EXPECT_EQ(Le16(bytes, 34), 16);
    EXPECT_EQ(bytes.substr(36, 4), "data");
    const std::vector<uint8_t> pcm(1000, 0x11);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(wav.Append(pcm.data(), pcm.size()));
        bytes = ReadAll(path);
        ASSERT_EQ(bytes.size(), 44u + 1000u * round);
        EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(Le32(bytes, 40), 1000u * round);
    }
    EXPECT_EQ(wav.DataBytes(), 3000u);
    ASSERT_TRUE(wav.Start(path, 44100, 1));  // a new stream starts the file afresh
    EXPECT_EQ(ReadAll(path).size(), 44u);
}

// ---- The decoder chip through SSP0 and GPIO ------------------------------------

// Drives the machine's registers as the driver does, without a kernel, on
// a clock that moves only when the test steps it.
class MachineTest : public ::testing::Test {
protected:
    explicit MachineTest(const std::string& wav = "") : machine_(wav) { machine_.clock().SetManual(); }

    void Pass(std::chrono::nanoseconds d) { machine_.clock().Step(d); }
    // Steps the clock 1 us at a time until SSP0's status shows want under mask.
    bool UntilStatus(uint32_t mask, uint32_t want) {
        for (int i = 0; i < kStepLimit; ++i, Pass(1us))
            if ((Read(hw::kSsp0Base + ssp::kSr) & mask) == want) return true;
        return false;
    }
    bool UntilIdle() { return UntilStatus(ssp::kBsy | ssp::kTfe, ssp::kTfe); }
    bool UntilDreq() {
        for (int i = 0; i < kStepLimit; ++i, Pass(1us))
            if (Dreq()) return true;
        return false;
    }
    void Send(uint8_t byte) {
        ASSERT_TRUE(UntilStatus(ssp::kTnf, ssp::kTnf));
        Write(hw::kSsp0Base + ssp::kDr, byte);
    }

    void Write(uint32_t address, uint32_t value) { ASSERT_TRUE(machine_.bus().Write32(address, value)); }
    uint32_t Read(uint32_t address) {
        uint32_t v = 0;
        EXPECT_TRUE(machine_.bus().Read32(address, &v));
        return v;
    }
    void Lines(uint32_t low) {
        Write(hw::kGpioBase + gpio::kP3OutpSet, kAllHigh & ~low);
        Write(hw::kGpioBase + gpio::kP3OutpClr, low);
    }
    bool Dreq() { return Read(hw::kGpioBase + gpio::kP3InpState) & gpio::kDreq; }
    // SSP0 clocked, enabled, master, 8-bit SPI; the chip out of reset and booted.
    void PowerUp() {
        Write(hw::kClockPowerBase + hw::clkpwr::kSspCtrl, 0xD);
        Write(hw::kSsp0Base + ssp::kCr0, 0x1907);
        Write(hw::kSsp0Base + ssp::kCpsr, 2);
        Write(hw::kSsp0Base + ssp::kCr1, ssp::kSse);
        Lines(0);
        Pass(3ms);
    }
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& out) {
        for (uint8_t b : out) Send(b);
        EXPECT_TRUE(UntilIdle());
        std::vector<uint8_t> in;
        while (in.size() < kFifoDrainLimit && (Read(hw::kSsp0Base + ssp::kSr) & ssp::kRne))
            in.push_back(Read(hw::kSsp0Base + ssp::kDr) & 0xFF);
        return in;
    }
    void SciWrite(uint8_t reg, uint16_t value) {
        EXPECT_TRUE(UntilDreq());
        Lines(gpio::kXcs);
        Exchange({0x02, reg, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
        Lines(0);
    }
    uint16_t SciRead(uint8_t reg) {
        EXPECT_TRUE(UntilDreq());
        Lines(gpio::kXcs);
        std::vector<uint8_t> in = Exchange({0x03, reg, 0xFF, 0xFF});
        Lines(0);
        EXPECT_EQ(in.size(), 4u);
        return in.size() == 4 ? static_cast<uint16_t>(in[2] << 8 | in[3]) : 0;
    }
    void Sdi(const uint8_t* data, size_t n) {
        Lines(gpio::kXdcs);
        for (size_t i = 0; i < n; ++i) Send(data[i]);
        EXPECT_TRUE(UntilIdle());
        DrainRx();
        Lines(0);
    }
    void DrainRx() {
        for (size_t i = 0; i < kFifoDrainLimit && (Read(hw::kSsp0Base + ssp::kSr) & ssp::kRne); ++i)
            Read(hw::kSsp0Base + ssp::kDr);
    }

    hw::Machine machine_;
};

TEST_F(MachineTest, DecoderStaysInResetUntilXresetRisesThenBoots) {
    EXPECT_TRUE(machine_.decoder().GetStats().inReset);  // outputs are low at power-on
    EXPECT_FALSE(Dreq());
    Write(hw::kClockPowerBase + hw::clkpwr::kSspCtrl, 0xD);
    Write(hw::kSsp0Base + ssp::kCr0, 0x1907);
    Write(hw::kSsp0Base + ssp::kCr1, ssp::kSse);
    Lines(0);
    EXPECT_FALSE(Dreq());  // booting
    Pass(3ms);
    EXPECT_TRUE(Dreq());
    EXPECT_EQ(machine_.decoder().GetStats().hardwareResets, 0u);  // power-on is no reset pulse
}

TEST_F(MachineTest, SciWritesAndReadsRegistersAndModeBitsActOnTheChip) {
    PowerUp();
    EXPECT_EQ(SciRead(hw::Vs1053::kMode), 0x4800);
    EXPECT_EQ(SciRead(hw::Vs1053::kStatus), 0x0040);
    SciWrite(hw::Vs1053::kClockF, 0x8800);
    EXPECT_EQ(SciRead(hw::Vs1053::kClockF), 0x8800);
    SciWrite(hw::Vs1053::kMode, 0x0804);  // SM_RESET
    EXPECT_FALSE(Dreq());
    Pass(3ms);
    EXPECT_TRUE(Dreq());
    EXPECT_EQ(SciRead(hw::Vs1053::kMode), 0x0800);  // the reset bit clears itself
    SciWrite(hw::Vs1053::kMode, 0x0808);            // SM_CANCEL
    EXPECT_EQ(SciRead(hw::Vs1053::kMode), 0x0800);
    hw::Vs1053::Stats s = machine_.decoder().GetStats();
    EXPECT_EQ(s.softwareResets, 1u);
    EXPECT_EQ(s.cancels, 1u);
    EXPECT_EQ(s.sciWrites, 3u);
    EXPECT_EQ(s.busConflicts, 0u);
    EXPECT_EQ(s.sciWhileDreqLow, 0u);

    Lines(gpio::kXreset);  // a hardware reset brings the defaults back
    Lines(0);
    Pass(3ms);
    EXPECT_EQ(SciRead(hw::Vs1053::kClockF), 0);
    EXPECT_EQ(machine_.decoder().GetStats().hardwareResets, 1u);
    EXPECT_EQ(machine_.decoder().HardwareResetTimes().size(), 1u);

    Lines(gpio::kXcs | gpio::kXdcs);  // both selects at once
    Exchange({0x00});
    Lines(0);
    EXPECT_EQ(machine_.decoder().GetStats().busConflicts, 1u);
    EXPECT_EQ(Exchange({0x55}), std::vector<uint8_t>{0xFF});  // nobody selected
}

TEST_F(MachineTest, DreqFallsWithAFullBufferAndRisesAtTheStreamsBitRate) {
    // 128 kbit/s drains 16 bytes a millisecond. The bytes go straight into
    // the chip, in no time, so that the buffer is counted exactly.
    const auto Sdi = [this](const uint8_t* data, size_t n) {
        Lines(gpio::kXdcs);
        for (size_t i = 0; i < n; ++i) machine_.decoder().Exchange(data[i], machine_.clock().Now());
        Lines(0);
    };
    Write(hw::kClockPowerBase + hw::clkpwr::kSspCtrl, 0xD);
    Write(hw::kSsp0Base + ssp::kCr0, 0x1907);
    Write(hw::kSsp0Base + ssp::kCr1, ssp::kSse);
    Lines(0);
    EXPECT_FALSE(Dreq());  // booting
    Pass(2ms);
    ASSERT_TRUE(Dreq());

    const std::vector<uint8_t> stream = testsupport::SilentMp3(10);
    Sdi(stream.data(), 2016);
    EXPECT_TRUE(Dreq());  // 32 bytes free
    Sdi(stream.data() + 2016, 32);
    EXPECT_FALSE(Dreq());  // full
    Pass(1ms);
    EXPECT_FALSE(Dreq());  // 16 free
    Pass(1ms);
    EXPECT_TRUE(Dreq());  // 32 free
    Sdi(stream.data() + 2048, 100);  // 32 fit, the rest is lost
    hw::Vs1053::Stats s = machine_.decoder().GetStats();
    EXPECT_EQ(s.bitRate, 128000);
    EXPECT_EQ(s.overrunBytes, 68u);
    EXPECT_EQ(s.sdiBytes, 2080u);
    EXPECT_EQ(s.buffered, 2048);
    Pass(128ms);  // 2048 bytes play in 128 ms
    EXPECT_EQ(machine_.decoder().GetStats().buffered, 0);

    machine_.decoder().SetDreqFault(true);
    EXPECT_FALSE(Dreq());
    EXPECT_TRUE(machine_.decoder().GetStats().dreqFault);
    machine_.decoder().SetDreqFault(false);
    EXPECT_TRUE(Dreq());
}

// An underrun is the chip falling silent mid-stream: counted when data
// comes again after the buffer ran dry, once until the buffer has filled
// again, and never for the drain after the last data.
TEST_F(MachineTest, UnderrunCountsOnceEachTimeAStreamResumesFromADryBuffer) {
    const auto Sdi = [this](const uint8_t* data, size_t n) {
        Lines(gpio::kXdcs);
        for (size_t i = 0; i < n; ++i) machine_.decoder().Exchange(data[i], machine_.clock().Now());
        Lines(0);
    };
    PowerUp();
    const std::vector<uint8_t> stream = testsupport::SilentMp3(10);  // 16 bytes a millisecond
    Sdi(stream.data(), 1000);
    Pass(100ms);
    EXPECT_EQ(machine_.decoder().GetStats().buffered, 0);
    EXPECT_EQ(machine_.decoder().GetStats().underruns, 0u) << "the end of what was sent";
    Sdi(stream.data() + 1000, 10);
    EXPECT_EQ(machine_.decoder().GetStats().underruns, 1u);
    Pass(2ms);
    Sdi(stream.data() + 1010, 10);  // dry again before it ever filled: the same underrun
    EXPECT_EQ(machine_.decoder().GetStats().underruns, 1u);
    Sdi(stream.data() + 1020, 100);
    Pass(20ms);
    Sdi(stream.data() + 1120, 10);
    EXPECT_EQ(machine_.decoder().GetStats().underruns, 2u);
}

TEST_F(MachineTest, JunkBeforeAStreamIsSkippedAtOnce) {
    PowerUp();
    const std::vector<uint8_t> zeros(4096, 0);
    Sdi(zeros.data(), zeros.size());
    EXPECT_TRUE(Dreq());
    EXPECT_EQ(machine_.decoder().GetStats().overrunBytes, 0u);
    EXPECT_EQ(machine_.decoder().GetStats().sdiBytes, 4096u);
}

// The scratch directory exists before the machine that writes into it.
struct ScratchHolder {
    ScratchDir dir_;
};

class DecoderAudioTest : private ScratchHolder, public MachineTest {
protected:
    DecoderAudioTest() : MachineTest(dir_.File("decoder.wav")) {}
    std::string Wav() { return dir_.File("decoder.wav"); }
};

TEST_F(DecoderAudioTest, DecodedStreamGoesToTheWavFileAndANewStreamStartsItAfresh) {
    PowerUp();
    const std::vector<uint8_t> stream = testsupport::SilentMp3(4);
    Sdi(stream.data(), stream.size());
    hw::Vs1053::Stats s = machine_.decoder().GetStats();
    EXPECT_GE(s.wavSamples, 3u * 1152);
    EXPECT_EQ(s.wavRate, 44100);
    EXPECT_EQ(s.wavChannels, 1);
    Pass(120ms);  // it has played
    SciWrite(hw::Vs1053::kMode, 0x0808);  // the cancel ends the stream with what was received
    s = machine_.decoder().GetStats();
    EXPECT_EQ(s.wavSamples, 4u * 1152);
    std::string bytes = ReadAll(Wav());
    EXPECT_EQ(bytes.size(), 44u + 2 * 4 * 1152);
    EXPECT_EQ(Le32(bytes, 40), 2u * 4 * 1152);

    const std::vector<uint8_t> next = testsupport::SilentMp3(2);
    Sdi(next.data(), next.size());
    SciWrite(hw::Vs1053::kMode, 0x0808);
    s = machine_.decoder().GetStats();
    EXPECT_EQ(s.wavSamples, 2u * 1152);
    EXPECT_EQ(s.decodedSamples, 6u * 1152);
    EXPECT_NEAR(s.decodedSeconds, 6 * 1152 / 44100.0, 1e-9);
    EXPECT_EQ(ReadAll(Wav()).size(), 44u + 2 * 2 * 1152);
}

// ---- SSP0 ----------------------------------------------------------------------

TEST_F(MachineTest, SspReceiveFifoOverrunsAndHoldsBytesWhileDisabled) {
    PowerUp();
    Lines(gpio::kXcs);  // SCI: the chip answers zeros
    for (int i = 0; i < 10; ++i) Send(0x00);
    ASSERT_TRUE(UntilIdle());
    EXPECT_EQ(Read(hw::kSsp0Base + ssp::kSr), ssp::kTfe | ssp::kTnf | ssp::kRne | ssp::kRff);
    EXPECT_TRUE(Read(hw::kSsp0Base + ssp::kRis) & ssp::kRor);
    Write(hw::kSsp0Base + ssp::kImsc, ssp::kRor);
    EXPECT_EQ(Read(hw::kSsp0Base + ssp::kMis), ssp::kRor);
    Write(hw::kSsp0Base + ssp::kIcr, ssp::kRor);
    EXPECT_FALSE(Read(hw::kSsp0Base + ssp::kRis) & ssp::kRor);
    EXPECT_EQ(machine_.ssp0().GetStats().rxOverruns, 2u);
    Lines(0);
    DrainRx();

    Write(hw::kSsp0Base + ssp::kCr1, 0);  // disabled: bytes wait in the transmit FIFO
    for (int i = 0; i < 9; ++i) Write(hw::kSsp0Base + ssp::kDr, 0x42);
    EXPECT_EQ(Read(hw::kSsp0Base + ssp::kSr) & (ssp::kTfe | ssp::kTnf), 0u);  // full
    EXPECT_EQ(machine_.ssp0().GetStats().txDropped, 1u);
    Write(hw::kSsp0Base + ssp::kCr1, ssp::kSse | ssp::kLbm);  // loop back: the bytes return
    ASSERT_TRUE(UntilIdle());
    std::vector<uint8_t> in;
    while (in.size() < kFifoDrainLimit && (Read(hw::kSsp0Base + ssp::kSr) & ssp::kRne))
        in.push_back(Read(hw::kSsp0Base + ssp::kDr) & 0xFF);
    EXPECT_EQ(in, std::vector<uint8_t>(8, 0x42));
}

TEST_F(MachineTest, SspClocksBytesAtItsBitRateAndTheChipTakesThemWithTheSelectsOfThatMoment) {
    PowerUp();
    EXPECT_EQ(machine_.ssp0().FrameTime(), 4us);  // 104 MHz / (2 x 26) = 2 MHz
    ASSERT_TRUE(UntilDreq());

    // An SCI write: the chip has the command when its fourth byte is clocked, not before.
    Lines(gpio::kXcs);
    for (uint8_t b : {0x02, 0x03, 0x88, 0x00}) Write(hw::kSsp0Base + ssp::kDr, b);
    EXPECT_EQ(Read(hw::kSsp0Base + ssp::kSr) & (ssp::kBsy | ssp::kTfe), ssp::kBsy);
    Pass(16us - 1ns);
    machine_.Settle();
    EXPECT_EQ(machine_.decoder().GetStats().sciWrites, 0u);
    Pass(1ns);
    EXPECT_EQ(Read(hw::kSsp0Base + ssp::kSr) & (ssp::kBsy | ssp::kTfe), ssp::kTfe);
    EXPECT_EQ(machine_.decoder().GetStats().clockf, 0x8800);
    Lines(0);

    // CLOCKF keeps DREQ low for 1200 XTALI cycles; a command begun then is a fault.
    EXPECT_FALSE(Dreq());
    Lines(gpio::kXcs);
    Exchange({0x03, 0x00, 0xFF, 0xFF});
    Lines(0);
    EXPECT_EQ(machine_.decoder().GetStats().sciWhileDreqLow, 1u);
    Pass(97656ns - 16us - 1ns);  // 1200 / 12.288 MHz after the command, less the read's 16 us
    EXPECT_FALSE(Dreq());
    Pass(1ns);
    EXPECT_TRUE(Dreq());

    // XCS raised with three bytes of a command still in the SSP: they are lost.
    const uint64_t writes = machine_.decoder().GetStats().sciWrites;
    Lines(gpio::kXcs);
    for (uint8_t b : {0x02, 0x0B, 0x20, 0x20}) Write(hw::kSsp0Base + ssp::kDr, b);
    Pass(4us);
    Lines(0);
    ASSERT_TRUE(UntilIdle());
    hw::Vs1053::Stats s = machine_.decoder().GetStats();
    EXPECT_EQ(s.sciWrites, writes);
    EXPECT_EQ(s.bytesAfterXcs, 3u);
    EXPECT_EQ(s.bytesAfterXdcs, 0u);

    // XDCS raised with seven of nine stream bytes still to go: two arrive.
    ASSERT_TRUE(UntilDreq());
    const uint64_t sdi = s.sdiBytes;
    Lines(gpio::kXdcs);
    for (int i = 0; i < 9; ++i) Write(hw::kSsp0Base + ssp::kDr, 0);
    EXPECT_EQ(machine_.ssp0().GetStats().txDropped, 0u);  // eight wait, one shifts
    Pass(8us);
    Lines(0);
    ASSERT_TRUE(UntilIdle());
    s = machine_.decoder().GetStats();
    EXPECT_EQ(s.sdiBytes - sdi, 2u);
    EXPECT_EQ(s.bytesAfterXdcs, 7u);
    EXPECT_EQ(s.unselectedBytes, 10u);
    DrainRx();
}

// ---- The DMA controller --------------------------------------------------------

TEST_F(MachineTest, DmaFeedsSspOnlyWhileItsRequestIsRoutedAndEnabled) {
    PowerUp();
    hw::Memory::Block buf = machine_.memory().Allocate(64);
    ASSERT_NE(buf.host, nullptr);
    for (int i = 0; i < 32; ++i) buf.host[i] = static_cast<uint8_t>(i);
    hw::Memory::Block item = machine_.memory().Allocate(16);  // a second linked list item
    const uint32_t control = dma::kSrcIncrement | dma::kTcInterrupt;
    const uint32_t words[4] = {buf.bus + 16, hw::kSsp0Base + ssp::kDr, 0, control | 16};
    std::memcpy(item.host, words, sizeof words);  // little-endian host

    const uint32_t ch = hw::kDmaBase + dma::kChannelBase + 6 * dma::kChannelStride;
    Write(hw::kDmaBase + dma::kConfiguration, 1);
    Write(ch + dma::kSrcAddr, buf.bus);
    Write(ch + dma::kDestAddr, hw::kSsp0Base + ssp::kDr);
    Write(ch + dma::kLli, item.bus);
    Write(ch + dma::kControl, (control & ~dma::kTcInterrupt) | 16);  // only the last item interrupts
    Lines(gpio::kXdcs);
    Write(ch + dma::kConfig, (15u << dma::kDestPeripheralShift) | (dma::kFlowM2P << dma::kFlowShift) |
                                 dma::kTcIntMask | dma::kEnable);
    EXPECT_EQ(machine_.dma().GetChannelStats(6).bytes, 0u);  // no request: TXDMAE is off
    Write(hw::kSsp0Base + ssp::kDmacr, ssp::kTxDmae);
    EXPECT_EQ(machine_.dma().GetChannelStats(6).bytes, 9u);  // one shifting, eight waiting
    // The transfer completes when its last byte has entered the FIFO: 23
    // bytes clocked, one shifting, eight still waiting.
    bool done = false;
    for (int i = 0; i < kStepLimit && !done; ++i, Pass(1us)) {
        Read(hw::kSsp0Base + ssp::kSr);  // the port catches up and asks the DMA for more
        done = Read(hw::kDmaBase + dma::kIntTcStatus) != 0;
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(Read(hw::kSsp0Base + ssp::kSr) & (ssp::kBsy | ssp::kTfe | ssp::kTnf), ssp::kBsy);
    EXPECT_EQ(machine_.decoder().GetStats().sdiBytes, 23u);
    ASSERT_TRUE(UntilIdle());
    EXPECT_EQ(machine_.dma().GetChannelStats(6).bytes, 32u);
    EXPECT_EQ(machine_.dma().GetChannelStats(6).items, 2u);
    EXPECT_EQ(machine_.dma().GetChannelStats(6).maxItemBytes, 16u);
    EXPECT_EQ(machine_.decoder().GetStats().sdiBytes, 32u);
    EXPECT_EQ(Read(hw::kDmaBase + dma::kIntTcStatus), 1u << 6);
    EXPECT_EQ(Read(hw::kDmaBase + dma::kEnbldChns), 0u);  // done
    EXPECT_TRUE(machine_.interrupts().Level(hw::irq::kDma));
    Write(hw::kDmaBase + dma::kIntTcClear, 1u << 6);
    EXPECT_FALSE(machine_.interrupts().Level(hw::irq::kDma));
    Lines(0);
    machine_.memory().Free(buf.bus, buf.host, 64);
    machine_.memory().Free(item.bus, item.host, 16);
}

// A select line or DREQ looked at late (another task reading the GPIO
// while the shifter thread sleeps) brings the port up to that moment,
// which may clock out every waiting byte: the room that came free must
// still reach the DMA, or the transfer stops there with the driver asleep
// until its completion.
TEST_F(MachineTest, DmaGoesOnAfterAGpioAccessEmptiedTheFifo) {
    PowerUp();
    hw::Memory::Block buf = machine_.memory().Allocate(32);
    ASSERT_NE(buf.host, nullptr);
    for (int i = 0; i < 32; ++i) buf.host[i] = static_cast<uint8_t>(i);
    const uint32_t ch = hw::kDmaBase + dma::kChannelBase + 6 * dma::kChannelStride;
    Write(hw::kDmaBase + dma::kConfiguration, 1);
    Write(ch + dma::kSrcAddr, buf.bus);
    Write(ch + dma::kDestAddr, hw::kSsp0Base + ssp::kDr);
    Write(ch + dma::kLli, 0);
    Write(ch + dma::kControl, dma::kSrcIncrement | dma::kTcInterrupt | 32);
    Lines(gpio::kXdcs);
    Write(ch + dma::kConfig, (15u << dma::kDestPeripheralShift) | (dma::kFlowM2P << dma::kFlowShift) |
                                 dma::kTcIntMask | dma::kEnable);
    Write(hw::kSsp0Base + ssp::kDmacr, ssp::kTxDmae);
    ASSERT_EQ(machine_.dma().GetChannelStats(6).bytes, 9u);  // one shifting, eight waiting
    Pass(200us);  // all nine due: 4 us a byte
    Dreq();       // the first look since: every byte reaches the chip now
    bool done = false;
    for (int i = 0; i < kStepLimit && !done; ++i, Pass(1us)) {
        Read(hw::kSsp0Base + ssp::kSr);
        done = Read(hw::kDmaBase + dma::kIntTcStatus) != 0;
    }
    EXPECT_TRUE(done) << machine_.dma().GetChannelStats(6).bytes << " bytes moved";
    ASSERT_TRUE(UntilIdle());
    EXPECT_EQ(machine_.decoder().GetStats().sdiBytes, 32u);
    Write(hw::kDmaBase + dma::kIntTcClear, 1u << 6);
    Lines(0);
    machine_.memory().Free(buf.bus, buf.host, 32);
}

// ---- GPIO, the interrupt controller and the RF receiver ------------------------

TEST_F(MachineTest, GpioOutputsSetClearAndReadBackAndMuxRegistersKeepTheirState) {
    Write(hw::kGpioBase + gpio::kP3OutpSet, 0x5);
    Write(hw::kGpioBase + gpio::kP3OutpClr, 0x1);
    EXPECT_EQ(Read(hw::kGpioBase + gpio::kP3OutpState), 0x4u);
    Write(hw::kGpioBase + gpio::kPMuxSet, 0x1600);
    Write(hw::kGpioBase + gpio::kPMuxClr, 0x0200);
    EXPECT_EQ(Read(hw::kGpioBase + gpio::kPMuxState), 0x1400u);
    Write(hw::kGpioBase + gpio::kP3MuxSet, 0x6);
    Write(hw::kGpioBase + gpio::kP3MuxClr, 0x4);
    EXPECT_EQ(Read(hw::kGpioBase + gpio::kP3MuxState), 0x2u);
    EXPECT_EQ(machine_.gpio().Unmodelled(), 0u);
    Read(hw::kGpioBase + 0x500);
    EXPECT_EQ(machine_.gpio().Unmodelled(), 1u);
    uint32_t ignored;
    EXPECT_FALSE(machine_.bus().Read32(0x40029000, &ignored));
    EXPECT_EQ(machine_.bus().Unmapped(), 1u);
}

TEST_F(MachineTest, RfKeyLatchesItsCodeOnTheDataBitsAndPulsesLine90) {
    auto& intc = machine_.interrupts();
    intc.SetTrigger(hw::irq::kRfDetect, hw::Trigger::kEdgeRising);
    EXPECT_FALSE(machine_.rf().Press(16));
    EXPECT_FALSE(machine_.rf().Press(-1));
    for (int code = 0; code < 16; ++code) {
        ASSERT_TRUE(machine_.rf().Press(code));
        const uint32_t in = Read(hw::kGpioBase + gpio::kP3InpState);
        int back = 0;
        for (int bit = 0; bit < 4; ++bit)
            if (in & gpio::kRfBits[bit]) back |= 1 << bit;
        EXPECT_EQ(back, code);
        EXPECT_EQ(in & ~(gpio::kRfBits[0] | gpio::kRfBits[1] | gpio::kRfBits[2] | gpio::kRfBits[3] | gpio::kDreq),
                  0u);
    }
    EXPECT_EQ(intc.Edges(hw::irq::kRfDetect), 16u);
    EXPECT_FALSE(intc.Level(hw::irq::kRfDetect));  // a pulse
}

TEST(InterruptController, LatchesEdgesUntilAcknowledgedAndHoldsMaskedLines) {
    hw::InterruptController intc;
    intc.SetTrigger(7, hw::Trigger::kEdgeRising);
    intc.SetLevel(7, true);
    intc.SetLevel(7, false);
    intc.SetTrigger(9, hw::Trigger::kLevelHigh);
    intc.SetLevel(9, true);
    std::thread stopper([&] {
        std::this_thread::sleep_for(30ms);
        intc.Stop();
    });
    EXPECT_EQ(intc.WaitPending(), -1);  // both masked: nothing until the stop
    stopper.join();
    intc.Reset();
    intc.SetTrigger(7, hw::Trigger::kEdgeFalling);
    intc.SetMasked(7, false);
    intc.SetLevel(7, true);
    intc.SetLevel(7, false);
    EXPECT_EQ(intc.WaitPending(), 7);
    intc.Acknowledge(7);
    intc.SetTrigger(9, hw::Trigger::kLevelLow);
    intc.SetMasked(9, false);
    intc.SetLevel(9, false);
    EXPECT_EQ(intc.WaitPending(), 9);  // a level line stays pending while active
    intc.SetLevel(9, true);
    intc.SetTrigger(7, hw::Trigger::kEdgeBoth);
    intc.SetLevel(7, true);
    EXPECT_EQ(intc.WaitPending(), 7);
    intc.Acknowledge(7);
    EXPECT_EQ(intc.Edges(7), 2u);
}

}  // namespace
