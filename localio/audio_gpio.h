// The terminal's analogue audio path and its GPIO lines: four audio
// processors on "/dev/i2c-0", all at one I2C address, each reached while
// its select line on "/dev/gpio" is low; the audio-present input, polled
// and debounced by CntGpioInputReadTask.
//
// Levels are 0 to 60 (0 mutes); channels 1 to 4, channel 4 being the MP3
// decoder's output. The central control and start-up may send commands
// from different tasks: each command (select, its bytes, select none) runs
// under one lock, so no byte reaches a processor it was not meant for.
#ifndef PATERM_LOCALIO_AUDIO_GPIO_H
#define PATERM_LOCALIO_AUDIO_GPIO_H

#include <array>
#include <atomic>
#include <cstdint>

// The record both GPIO requests carry.
struct GpioRequest {
    int32_t pin;
    int32_t value;
};
static_assert(sizeof(GpioRequest) == 8, "the GPIO driver copies 8 bytes");

// The board GPIO driver's requests: read fills value for pin; set drives pin to value.
constexpr unsigned long kGpioReadRequest = 0x80046700UL;
constexpr unsigned long kGpioSetRequest = 0x40046700UL;
// i2c-dev's request binding a descriptor to a slave address, and the
// processors' 7-bit address.
constexpr unsigned long kI2cSlaveRequest = 0x0703UL;
constexpr int kAudioChipAddress = 0x44;

constexpr int kGpioAudioPresentPin = 4;
constexpr int kGpioHighestPin = 4;
constexpr int kAudioChannels = 4;
constexpr int kAudioMaxLevel = 60;

// Tone codes from the strongest cut (index 0) through flat to the strongest
// boost (index 15); the high nibble is the command class.
constexpr std::array<uint8_t, 16> kTrebleTable = {0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77,
                                                  0x7F, 0x7E, 0x7D, 0x7C, 0x7B, 0x7A, 0x79, 0x78};
constexpr std::array<uint8_t, 16> kBassTable = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
                                                0x6F, 0x6E, 0x6D, 0x6C, 0x6B, 0x6A, 0x69, 0x68};

// Descriptor of "/dev/gpio"; -1 until AudioGpioInit has opened it.
extern std::atomic<int> PlayerGpiotDevFD;

// Start-up: opens both devices, starts CntGpioInputReadTask, binds the
// processors' address and brings them to their muted start state.
// 0, or -1 when a device cannot be opened or the address cannot be set.
int AudioGpioInit(void);

// pin 0..4, value 0 or 1: 0, or -1 (bad argument or failed request).
int SetCntGpioOut(int pin, int value);
// Only pin 4 is accepted. 0 with *value filled, or -1.
int GetCntGpioIn(int pin, int* value);

// Channel 1..4 selects that processor; any other value selects none.
// AudioChanSelect and AudioChipWrite are the pieces of a command: callers
// outside this file use the Audio* commands, which hold the bus lock.
void AudioChanSelect(int channel);
void AudioChipWrite(uint8_t byte);

// The processor's volume byte for a level (0 is the loudest), 1..60 and above.
uint8_t AudioVolumeByte(int level);

// Channel 1..4, level 0..60 (above 60 acts as 60; 0 mutes). 1, or 0 when
// the channel names no processor and nothing was sent.
int AudioSetVolume(int channel, int level);
// Channel 1..4 (others do nothing), level 0..60. 0.
int AudioSetBass(int channel, int level);
int AudioSetTreble(int channel, int level);

// The audio-present input's debounce, one poll at a time. Counters are not
// cleared by the opposite level: detection comes after 21 active polls in
// total since the last loss, loss after lostLimit + 1 inactive polls in
// total since the detection.
struct GpioDebounce {
    int detected = 0;
    int detectCount = 0;
    int lostCount = 0;
};
enum class GpioInputEvent { kNone, kDetected, kLost };

constexpr int kGpioDetectPolls = 20;     // detection when the count exceeds it
constexpr int kGpioMinLostPolls = 500;   // for a delay of 4 s or less
constexpr int kGpioPollsPerSecond = 100;

// Polls of 10 ms that make the lost delay of delayTimeS seconds.
int GpioLostLimit(int delayTimeS);
GpioInputEvent GpioDebounceStep(GpioDebounce* state, int input, int lostLimit);

// Polls the audio-present input every 10 ms and posts
// eSVC_MSG_TYPE_AUTO_DECTED / eSVC_MSG_TYPE_AUTO_LOST. Never returns.
void* CntGpioInputReadTask(void* unused);

#endif  // PATERM_LOCALIO_AUDIO_GPIO_H
