// The GPIO lines and the audio processors: the two descriptors, the select
// lines, the processors' command bytes and the start-up that mutes them.
#include "localio/audio_gpio.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "board/board.h"
#include "runtime/vos.h"

std::atomic<int> PlayerGpiotDevFD{-1};

namespace {

constexpr const char* kI2cDevice = "/dev/i2c-0";
constexpr const char* kGpioDevice = "/dev/gpio";
constexpr uint32_t kInputTaskStack = 4096;

constexpr uint8_t kLeftMute = 0xDF, kRightMute = 0xFF;
constexpr uint8_t kLeftFull = 0xC0, kRightFull = 0xE0;
constexpr uint8_t kInputSwitchLine = 0x50;     // channels 1 to 3
constexpr uint8_t kInputSwitchDecoder = 0x40;  // channel 4
constexpr int kToneChannel = 3;                // its source needs its own tone offsets
constexpr int kBassRaise = 12, kTrebleLower = 8;
constexpr int kStartBass = 10, kStartTreble = 50;

// "/dev/i2c-0", published only once it is bound to the processors' address.
std::atomic<int> gAudioChipFd{-1};

// Guards the select lines and the I2C descriptor for one whole command.
std::mutex gAudioBusMutex;

// One command to one processor: selected on construction, deselected on
// destruction, the bus held in between.
class ChipCommand {
public:
    explicit ChipCommand(int channel) : lock_(gAudioBusMutex) { AudioChanSelect(channel); }
    ~ChipCommand() { AudioChanSelect(0); }
    ChipCommand(const ChipCommand&) = delete;
    ChipCommand& operator=(const ChipCommand&) = delete;
    void Send(uint8_t byte) { AudioChipWrite(byte); }

private:
    std::lock_guard<std::mutex> lock_;
};

bool IsProcessor(int channel) { return channel >= 1 && channel <= kAudioChannels; }

void SendTone(int channel, uint8_t code) {
    ChipCommand command(channel);
    command.Send(code);
}

}  // namespace

int SetCntGpioOut(int pin, int value) {
    if (pin < 0 || pin > kGpioHighestPin || (value != 0 && value != 1)) return -1;
    GpioRequest request{pin, value};
    if (board::Ioctl(PlayerGpiotDevFD.load(), kGpioSetRequest, &request) < 0) {
        printf("SetCntGpioOut ioctl fail\r");
        return -1;
    }
    return 0;
}

int GetCntGpioIn(int pin, int* value) {
    if (value == nullptr) return -1;
    *value = 0;
    if (pin != kGpioAudioPresentPin) return -1;
    GpioRequest request{pin, 0};
    if (board::Ioctl(PlayerGpiotDevFD.load(), kGpioReadRequest, &request) < 0) {
        printf("Error:  ");
        printf("PlayerGpiotDevFD ioctl fail\r");
        return -1;
    }
    *value = request.value;
    return 0;
}

// Deselects before selecting, so two processors are never selected at once.
void AudioChanSelect(int channel) {
    const int chosen = IsProcessor(channel) ? channel - 1 : -1;
    for (int pin = 0; pin < kAudioChannels; ++pin)
        if (pin != chosen) SetCntGpioOut(pin, 1);
    if (chosen >= 0) SetCntGpioOut(chosen, 0);
}

void AudioChipWrite(uint8_t byte) {
    if (board::Write(gAudioChipFd.load(), &byte, 1) != 1) printf("Write audio device fail! device:%s\r\n", kI2cDevice);
}

uint8_t AudioVolumeByte(int level) {
    if (level > kAudioMaxLevel) return 0;
    if (level < 30) return static_cast<uint8_t>(60 - 4 * level / 3);
    return static_cast<uint8_t>(30 - level / 2);
}

int AudioSetVolume(int channel, int level) {
    // Bytes with no processor selected would reach none of them.
    if (!IsProcessor(channel)) return 0;
    ChipCommand command(channel);
    if (level <= 0) {
        command.Send(kLeftMute);
        command.Send(kRightMute);
        return 1;
    }
    command.Send(AudioVolumeByte(level));
    command.Send(kLeftFull);
    command.Send(kRightFull);
    return 1;
}

int AudioSetBass(int channel, int level) {
    if (!IsProcessor(channel)) return 0;
    level = std::clamp(level, 0, kAudioMaxLevel);
    if (channel == kToneChannel) level = std::min(level + kBassRaise, kAudioMaxLevel);
    SendTone(channel, kBassTable[static_cast<size_t>(level / 4)]);
    return 0;
}

int AudioSetTreble(int channel, int level) {
    if (!IsProcessor(channel)) return 0;
    level = std::clamp(level, 0, kAudioMaxLevel);
    if (channel == kToneChannel) level = std::max(level - kTrebleLower, 0);
    SendTone(channel, kTrebleTable[static_cast<size_t>(level / 4)]);
    return 0;
}

int AudioGpioInit(void) {
    const int chipFd = board::Open(kI2cDevice, O_RDWR);
    if (chipFd < 0) {
        printf("Can't open device:%s\r\n", kI2cDevice);
        return -1;
    }
    const int gpioFd = board::Open(kGpioDevice, O_RDONLY);
    if (gpioFd < 0) {
        printf("open /dev/gpio: fail\r");
        board::Close(chipFd);
        return -1;
    }
    OdTaskId taskId{};
    if (VosTaskCreate(CntGpioInputReadTask, nullptr, eOD_PRIO_HIGH, kInputTaskStack, &taskId) != eOD_RET_OK) {
        printf("Error:  ");
        printf("Start CntGpioInputReadTask fail! \r");
    }
    const bool bound =
        board::Ioctl(chipFd, kI2cSlaveRequest, reinterpret_cast<void*>(static_cast<uintptr_t>(kAudioChipAddress))) >=
        0;
    {
        // Both descriptors appear to commands at once, never between a
        // command's select and its bytes: a command from another task sees
        // both or neither.
        std::lock_guard<std::mutex> lock(gAudioBusMutex);
        PlayerGpiotDevFD.store(gpioFd);
        if (bound) {
            gAudioChipFd.store(chipFd);
            AudioChanSelect(0);
        }
    }
    if (!bound) {
        printf("IOCTL fail! device:%s\r\n", kI2cDevice);
        board::Close(chipFd);
        return -1;
    }
    for (int channel : {4, 1, 2, 3}) AudioSetVolume(channel, 0);
    AudioSetBass(kToneChannel, kStartBass);
    AudioSetTreble(kToneChannel, kStartTreble);
    for (int channel : {1, 2, 3}) {
        ChipCommand command(channel);
        command.Send(kInputSwitchLine);
    }
    ChipCommand(4).Send(kInputSwitchDecoder);
    return 0;
}
