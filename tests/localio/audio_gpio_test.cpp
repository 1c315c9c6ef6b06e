// The audio processors and GPIO lines driven by the program's own code
// against the simulated audio bus in this process: exact bytes and select
// lines, commands from two tasks at once, the device requests' records and
// refusals, and the audio-present debounce.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/sim/audio_bus.h"
#include "localio/audio_gpio.h"
#include "runtime/vos.h"
#include "tests/sim/in_process_board.h"

namespace {

using Trace = std::vector<std::string>;

// The lines and bytes of one command: select, bytes, select none.
Trace Command(int channel, std::vector<std::string> bytes) {
    Trace t;
    for (int pin = 0; pin < 4; ++pin)
        if (pin != channel - 1) t.push_back("gpio " + std::to_string(pin) + "=1");
    t.push_back("gpio " + std::to_string(channel - 1) + "=0");
    for (const std::string& b : bytes) t.push_back("i2c " + b + " sel " + std::to_string(channel));
    for (int pin = 0; pin < 4; ++pin) t.push_back("gpio " + std::to_string(pin) + "=1");
    return t;
}

Trace Join(std::vector<Trace> parts) {
    Trace all;
    for (const Trace& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class AudioGpioTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(board_.ready()) << board_.error();
        bus_.Attach(board_.devices(), controls_);
        bus_.PowerOn();
        OdWrap__Init();
    }
    void Init() {
        ASSERT_EQ(AudioGpioInit(), 0);
        bus_.ClearTrace();
    }

    simtest::InProcessBoard board_;
    sim::AudioBus bus_{&board_.log()};
    sim::ControlRegistry controls_;
};

// Standard input closed: the I2C device may well be descriptor 0.
TEST_F(AudioGpioTest, StartUpMutesEveryProcessorAndSetsItsInput) {
    close(0);
    ASSERT_EQ(AudioGpioInit(), 0);
    const Trace selectNone = {"gpio 0=1", "gpio 1=1", "gpio 2=1", "gpio 3=1"};
    EXPECT_EQ(bus_.Trace(), Join({selectNone, Command(4, {"DF", "FF"}), Command(1, {"DF", "FF"}),
                                  Command(2, {"DF", "FF"}), Command(3, {"DF", "FF"}), Command(3, {"65"}),
                                  Command(3, {"7D"}), Command(1, {"50"}), Command(2, {"50"}), Command(3, {"50"}),
                                  Command(4, {"40"})}));
    const auto chips = bus_.Chips();
    for (int n = 0; n < 4; ++n) {
        SCOPED_TRACE(n + 1);
        EXPECT_EQ(chips[n].leftAttenuation, 31);
        EXPECT_EQ(chips[n].rightAttenuation, 31);
        EXPECT_EQ(chips[n].volume, -1) << "a mute sends no volume byte";
        EXPECT_EQ(chips[n].input, n == 3 ? 0x40 : 0x50);
    }
    EXPECT_EQ(chips[2].bass, 0x5);
    EXPECT_EQ(chips[2].treble, 0xD);
    EXPECT_EQ(bus_.OutputLevels(), 0x1F);
    EXPECT_EQ(bus_.BusFaults(), 0u);
}

TEST_F(AudioGpioTest, VolumeAndToneCommandsSendExactBytesToTheSelectedProcessorOnly) {
    Init();
    EXPECT_EQ(AudioSetVolume(4, 0), 1);
    EXPECT_EQ(bus_.Trace(), Command(4, {"DF", "FF"}));
    EXPECT_EQ(bus_.OutputLevels(), 0x1F) << "every line high after the command";

    for (int level : {60, 255}) {
        bus_.ClearTrace();
        EXPECT_EQ(AudioSetVolume(2, level), 1);
        EXPECT_EQ(bus_.Trace(), Command(2, {"00", "C0", "E0"})) << level;
    }
    bus_.ClearTrace();
    AudioSetTreble(3, 5);
    AudioSetBass(3, 60);
    EXPECT_EQ(bus_.Trace(), Join({Command(3, {"70"}), Command(3, {"68"})}));

    // The two level ranges do not meet: 22 at 29, 15 at 30.
    const std::vector<std::pair<int, int>> levels = {{1, 59},  {10, 47}, {20, 34}, {29, 22}, {30, 15},
                                                     {40, 10}, {50, 5},  {60, 0},  {61, 0}};
    for (auto [level, volume] : levels) {
        AudioSetVolume(1, level);
        EXPECT_EQ(bus_.Chips()[0].volume, volume) << "level " << level;
    }
    bus_.ClearTrace();
    EXPECT_EQ(AudioSetVolume(0, 30), 0);
    EXPECT_EQ(AudioSetVolume(5, 30), 0);
    EXPECT_TRUE(bus_.Trace().empty()) << "bytes with no processor selected reach none";
    EXPECT_EQ(bus_.BusFaults(), 0u);
}

// Start-up on the main thread while the manager task restores channel levels.
TEST_F(AudioGpioTest, CommandsFromTwoTasksNeverReachAnotherProcessor) {
    constexpr int kRounds = 60;
    auto restore = [](int channel, int level) {
        for (int i = 0; i < kRounds; ++i) AudioSetVolume(channel, level);
    };
    std::thread start(AudioGpioInit);
    std::thread one(restore, 1, 40);  // volume byte 0x0A
    std::thread two(restore, 2, 20);  // volume byte 0x22
    start.join();
    one.join();
    two.join();
    EXPECT_EQ(bus_.BusFaults(), 0u);
    for (const std::string& e : bus_.Trace()) {
        EXPECT_EQ(e.find("i2c 0A sel 2"), std::string::npos);
        EXPECT_EQ(e.find("i2c 22 sel 1"), std::string::npos);
    }

    const auto before = bus_.Chips();
    std::thread three(restore, 3, 30);
    std::thread four(restore, 4, 50);
    three.join();
    four.join();
    const auto after = bus_.Chips();
    EXPECT_EQ(after[2].bytes - before[2].bytes, 3u * kRounds);
    EXPECT_EQ(after[3].bytes - before[3].bytes, 3u * kRounds);
    EXPECT_EQ(after[2].volume, 15);
    EXPECT_EQ(after[3].volume, 5);
    EXPECT_EQ(bus_.BusFaults(), 0u);
    EXPECT_EQ(bus_.OutputLevels(), 0x1F);
}

TEST_F(AudioGpioTest, DeviceRequestsCarryTheRecordAndRefuseWhatTheHardwareLacks) {
    Init();
    int value = -1;
    ASSERT_EQ(controls_.Dispatch({{"cmd", "gpio.input"}, {"pin", 4}, {"value", 1}}).body["ok"], true);
    EXPECT_EQ(GetCntGpioIn(4, &value), 0);
    EXPECT_EQ(value, 1) << "the driver fills the record's value";
    bus_.SetInput(0);
    EXPECT_EQ(GetCntGpioIn(4, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(GetCntGpioIn(3, &value), -1);
    EXPECT_EQ(controls_.Dispatch({{"cmd", "gpio.input"}, {"pin", 3}, {"value", 1}}).body["ok"], false);

    EXPECT_EQ(SetCntGpioOut(4, 0), 0);
    EXPECT_EQ(bus_.OutputLevels(), 0x0F);
    EXPECT_EQ(SetCntGpioOut(5, 0), -1);
    EXPECT_EQ(SetCntGpioOut(0, 2), -1);
    GpioRequest request{7, 0};
    errno = 0;
    EXPECT_EQ(board::Ioctl(PlayerGpiotDevFD.load(), kGpioSetRequest, &request), -1);
    EXPECT_EQ(errno, EINVAL) << "the driver checks the pin too";

    const int other = board::Open("/dev/i2c-0", O_RDWR);
    ASSERT_GE(other, 0);
    errno = 0;
    EXPECT_EQ(board::Ioctl(other, kI2cSlaveRequest, reinterpret_cast<void*>(uintptr_t{0x45})), -1);
    EXPECT_EQ(errno, ENXIO);
    const uint8_t byte = 0x00;
    EXPECT_EQ(board::Write(other, &byte, 1), -1) << "an unbound descriptor reaches no processor";
    board::Close(other);
    EXPECT_EQ(bus_.Chips()[0].bytes, 3u) << "start-up's bytes only";
}

TEST(GpioDebounce, CountsPollsInTotalAndWaitsTheLostDelay) {
    EXPECT_EQ(GpioLostLimit(3), 500);
    EXPECT_EQ(GpioLostLimit(4), 500);
    EXPECT_EQ(GpioLostLimit(5), 500);
    EXPECT_EQ(GpioLostLimit(12), 1200);

    // Active for single polls: the inactive ones do not clear the count.
    GpioDebounce state;
    int active = 0;
    GpioInputEvent event = GpioInputEvent::kNone;
    for (int poll = 0; poll < 1000 && event == GpioInputEvent::kNone; ++poll) {
        const int input = poll % 2 == 0;
        active += input;
        event = GpioDebounceStep(&state, input, 500);
    }
    EXPECT_EQ(event, GpioInputEvent::kDetected);
    EXPECT_EQ(active, 21);

    // Detected: active polls between the inactive ones do not clear the lost count.
    int inactive = 0;
    event = GpioInputEvent::kNone;
    for (int poll = 0; poll < 5000 && event == GpioInputEvent::kNone; ++poll) {
        const int input = poll % 3 == 0;
        inactive += !input;
        event = GpioDebounceStep(&state, input, 1200);
    }
    EXPECT_EQ(event, GpioInputEvent::kLost);
    EXPECT_EQ(inactive, 1201);

    // After a loss detection needs 21 fresh active polls.
    for (int poll = 1; poll <= 20; ++poll) EXPECT_EQ(GpioDebounceStep(&state, 1, 500), GpioInputEvent::kNone);
    EXPECT_EQ(GpioDebounceStep(&state, 1, 500), GpioInputEvent::kDetected);
}

}  // namespace
