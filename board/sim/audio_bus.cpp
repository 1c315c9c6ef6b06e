// The GPIO driver, the I2C adapter and the four audio processors behind it.
#include "board/sim/audio_bus.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace sim {
namespace {

constexpr unsigned long kGpioRead = 0x80046700UL, kGpioSet = 0x40046700UL;
constexpr unsigned long kI2cSlave = 0x0703UL;
constexpr uint64_t kHighestI2cAddress = 0x7F;
constexpr size_t kGpioRecord = 8;  // int32 pin, int32 value
constexpr uint8_t kSelectMask = 0x0F;

std::string HexByte(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// The processors whose select lines are low, by channel: "4", "1,2", "none".
std::string Selected(uint8_t lowLines) {
    std::string text;
    for (int pin = 0; pin < AudioBus::kChips; ++pin)
        if (lowLines & (1u << pin)) text += (text.empty() ? "" : ",") + std::to_string(pin + 1);
    return text.empty() ? "none" : text;
}

Json Register(int value) { return value < 0 ? Json(nullptr) : Json(value); }
Json Muted(int attenuation) { return attenuation < 0 ? Json(nullptr) : Json(attenuation == 31); }

class GpioSession : public DeviceSession {
public:
    explicit GpioSession(AudioBus* bus) : bus_(bus), generation_(bus->Generation()) {}
    IoResult Ioctl(unsigned long request, uint64_t rawArg, std::vector<uint8_t>* arg) override {
        return bus_->GpioIoctl(generation_, request, rawArg, arg);
    }

private:
    AudioBus* bus_;
    const uint64_t generation_;
};

// i2c-dev keeps the slave address per open descriptor.
class I2cSession : public DeviceSession {
public:
    explicit I2cSession(AudioBus* bus) : bus_(bus), generation_(bus->Generation()) {}
    IoResult Read(uint8_t*, size_t) override { return IoResult::Failed(ENXIO); }  // the processors are write-only
    IoResult Write(const uint8_t* data, size_t count) override {
        if (!bound_) return IoResult::Failed(ENXIO);
        return bus_->I2cWrite(generation_, data, count);
    }
    IoResult Ioctl(unsigned long request, uint64_t rawArg, std::vector<uint8_t>*) override {
        if (request != kI2cSlave) return IoResult::Failed(ENOTTY);
        if (rawArg > kHighestI2cAddress) return IoResult::Failed(EINVAL);
        if (rawArg != AudioBus::kChipAddress) return IoResult::Failed(ENXIO);
        bound_ = true;
        return IoResult::Done(0);
    }

private:
    AudioBus* bus_;
    const uint64_t generation_;
    bool bound_ = false;  // the session's thread alone touches it
};

template <typename Session>
class BusDevice : public Device {
public:
    explicit BusDevice(AudioBus* bus) : bus_(bus) {}
    OpenResult Open(int) override {
        if (bus_->Generation() % 2 == 0) return OpenResult::Failed(ENODEV);
        OpenResult result;
        result.session = std::make_unique<Session>(bus_);
        return result;
    }

private:
    AudioBus* bus_;
};

}  // namespace

// PT2314 command classes by the byte's top bits.
void AudioBus::Chip::Decode(uint8_t byte) {
    ++bytes;
    if (byte < 0x40) {
        volume = byte;
    } else if (byte < 0x60) {
        input = byte;
    } else if (byte < 0x70) {
        bass = byte & 0x0F;
    } else if (byte < 0x80) {
        treble = byte & 0x0F;
    } else if (byte < 0xC0) {
        ++unknownBytes;
    } else if (byte < 0xE0) {
        leftAttenuation = byte & 0x1F;
    } else {
        rightAttenuation = byte & 0x1F;
    }
}

void AudioBus::Attach(DeviceRegistry& devices, ControlRegistry& controls) {
    devices.Add("/dev/gpio", std::make_shared<BusDevice<GpioSession>>(this));
    devices.Add("/dev/i2c-0", std::make_shared<BusDevice<I2cSession>>(this));
    controls.Add("gpio.input", [this](const Json& request) {
        const auto pin = IntegerArg(request, "pin", 0, INT32_MAX, kInputPin);
        if (!pin || *pin != kInputPin) return ControlError("\"pin\" must be 4, the audio-present input");
        const auto value = IntegerArg(request, "value", 0, 1, std::nullopt);
        if (!value) return ControlError("\"value\" must be 0 or 1");
        SetInput(static_cast<int>(*value));
        log_->Add(LogKind::kControl, "gpio.input 4 = " + std::to_string(*value));
        return ControlOk();
    });
    controls.Add("audio.chips", [this](const Json&) { return ChipsJson(); });
}

uint64_t AudioBus::Generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

IoResult AudioBus::GpioIoctl(uint64_t generation, unsigned long request, uint64_t rawArg, std::vector<uint8_t>* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return IoResult::Failed(EIO);
    if (request != kGpioRead && request != kGpioSet) return IoResult::Failed(EINVAL);
    if (rawArg == 0 || arg->size() < kGpioRecord) return IoResult::Failed(EFAULT);
    return request == kGpioRead ? ReadInput(arg) : SetOutput(*arg);
}

IoResult AudioBus::ReadInput(std::vector<uint8_t>* arg) {
    int32_t pin;
    std::memcpy(&pin, arg->data(), sizeof pin);
    if (pin != kInputPin) return IoResult::Failed(EINVAL);
    const int32_t value = input_;
    std::memcpy(arg->data() + sizeof pin, &value, sizeof value);
    return IoResult::Done(0);
}

IoResult AudioBus::SetOutput(const std::vector<uint8_t>& arg) {
    int32_t pin, value;
    std::memcpy(&pin, arg.data(), sizeof pin);
    std::memcpy(&value, arg.data() + sizeof pin, sizeof value);
    if (pin < 0 || pin >= kOutputs || (value != 0 && value != 1)) return IoResult::Failed(EINVAL);
    if (value) {
        outputs_ |= static_cast<uint8_t>(1u << pin);
    } else {
        outputs_ &= static_cast<uint8_t>(~(1u << pin));
    }
    Record("gpio " + std::to_string(pin) + "=" + std::to_string(value));
    return IoResult::Done(0);
}

IoResult AudioBus::I2cWrite(uint64_t generation, const uint8_t* data, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return IoResult::Failed(EIO);
    const uint8_t low = static_cast<uint8_t>(~outputs_ & kSelectMask);
    for (size_t i = 0; i < count; ++i) {
        Record("i2c " + HexByte(data[i]) + " sel " + Selected(low));
        for (int chip = 0; chip < kChips; ++chip)
            if (low & (1u << chip)) chips_[static_cast<size_t>(chip)].Decode(data[i]);
    }
    const bool oneSelected = low != 0 && (low & (low - 1)) == 0;
    if (count == 0 || oneSelected) return IoResult::Done(static_cast<long>(count));
    ++busFaults_;
    log_->Add(LogKind::kBoard, "/dev/i2c-0: " + std::to_string(count) + " byte(s) from " + HexByte(data[0]) +
                                   " with select lines low: " + Selected(low) + " (bus fault)");
    if (low == 0) return IoResult::Failed(ENXIO);  // no processor acknowledges
    return IoResult::Done(static_cast<long>(count));
}

void AudioBus::Record(std::string event) {
    if (trace_.size() == kTraceKeep) trace_.pop_front();
    trace_.push_back(std::move(event));
}

void AudioBus::SetInput(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    input_ = value;
}

std::array<AudioBus::Chip, AudioBus::kChips> AudioBus::Chips() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chips_;
}

uint8_t AudioBus::OutputLevels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

uint64_t AudioBus::BusFaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busFaults_;
}

std::vector<std::string> AudioBus::Trace() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {trace_.begin(), trace_.end()};
}

void AudioBus::ClearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
}

Json AudioBus::ChipsJson() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Json lines = Json::array();
    for (int pin = 0; pin < kOutputs; ++pin) lines.push_back((outputs_ >> pin) & 1);
    Json chips = Json::array();
    for (int n = 0; n < kChips; ++n) {
        const Chip& c = chips_[static_cast<size_t>(n)];
        chips.push_back(Json{{"channel", n + 1},
                             {"selected", ((outputs_ >> n) & 1) == 0},
                             {"volume", Register(c.volume)},
                             {"left_attenuation", Register(c.leftAttenuation)},
                             {"left_muted", Muted(c.leftAttenuation)},
                             {"right_attenuation", Register(c.rightAttenuation)},
                             {"right_muted", Muted(c.rightAttenuation)},
                             {"input", Register(c.input)},
                             {"bass", Register(c.bass)},
                             {"treble", Register(c.treble)},
                             {"bytes", c.bytes},
                             {"unknown_bytes", c.unknownBytes}});
    }
    Json reply = ControlOk();
    reply["lines"] = std::move(lines);
    reply["input"] = input_;
    reply["bus_faults"] = busFaults_;
    reply["chips"] = std::move(chips);
    return reply;
}

void AudioBus::AddStatus(Json& status) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Json lines = Json::array();
    for (int pin = 0; pin < kOutputs; ++pin) lines.push_back((outputs_ >> pin) & 1);
    status["audio_bus"] = Json{{"lines", std::move(lines)}, {"input", input_}, {"bus_faults", busFaults_}};
}

void AudioBus::PowerOff() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_ % 2 == 1) ++generation_;
}

void AudioBus::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_ % 2 == 0) ++generation_;
    outputs_ = static_cast<uint8_t>((1u << kOutputs) - 1);
    chips_ = {};
    busFaults_ = 0;
    trace_.clear();
}

}  // namespace sim
