// The device model interface and the registry of modelled devices by path.
// A device either hands the program a real descriptor (a file standing in
// for the EEPROM, a pty for a serial port) or opens a session: one thread of
// the board serves each session and calls its operations one at a time, as
// the program makes them. Operations may block for as long as the modelled
// hardware would (a decoder chip that is not ready holds a write).
#ifndef PATERM_BOARD_SIM_DEVICE_H
#define PATERM_BOARD_SIM_DEVICE_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim/unique_fd.h"

namespace sim {

// A call's result as the Linux call gives it: value >= 0, or error (errno).
struct IoResult {
    long value = 0;
    int error = 0;
    static IoResult Done(long value) { return {value, 0}; }
    static IoResult Failed(int error) { return {-1, error}; }
};

// An int-sized ioctl argument, as most driver requests take one: false (or
// nothing written) when the request carried fewer bytes.
inline bool ReadIntArg(const std::vector<uint8_t>& arg, int* value) {
    if (arg.size() < sizeof(int)) return false;
    std::memcpy(value, arg.data(), sizeof(int));
    return true;
}

inline void WriteIntArg(std::vector<uint8_t>* arg, int value) {
    if (arg->size() >= sizeof(int)) std::memcpy(arg->data(), &value, sizeof(int));
}

class DeviceSession {
public:
    virtual ~DeviceSession() = default;
    virtual IoResult Read(uint8_t* /*buf*/, size_t /*count*/) { return IoResult::Failed(EINVAL); }
    virtual IoResult Write(const uint8_t* /*buf*/, size_t /*count*/) { return IoResult::Failed(EINVAL); }
    // arg holds the request's _IOC_SIZE bytes as the program passed them, in
    // every direction (a read request may carry input), and is copied back
    // for _IOC_READ on success; rawArg is the caller's argument value itself,
    // for requests that pass a plain number. ENOTTY marks an unmodelled request.
    virtual IoResult Ioctl(unsigned long /*request*/, uint64_t /*rawArg*/, std::vector<uint8_t>* /*arg*/) {
        return IoResult::Failed(ENOTTY);
    }
    // The program closed its descriptor (or ended).
    virtual void Release() {}
};

struct OpenResult {
    int error = 0;
    UniqueFd descriptor;                     // handed to the program, or
    std::unique_ptr<DeviceSession> session;  // served by the board
    static OpenResult Failed(int error) {
        OpenResult r;
        r.error = error;
        return r;
    }
};

class Device {
public:
    virtual ~Device() = default;
    virtual OpenResult Open(int flags) = 0;
};

// Devices by normalised terminal path ("/dev/watchdog"). Later models (a
// kernel module's misc device) may be added while the board runs.
class DeviceRegistry {
public:
    void Add(const std::string& path, std::shared_ptr<Device> device) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_[path] = std::move(device);
    }
    // A kernel module's device goes with its module; open sessions stay.
    void Remove(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.erase(path);
    }
    std::shared_ptr<Device> Find(const std::string& path) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(path);
        return it == devices_.end() ? nullptr : it->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Device>> devices_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_DEVICE_H
