// A device that is a plain file under the board root (the EEPROM
// "/dev/i2c-eeprom0"): the program gets a real descriptor of the file and
// reads, writes and seeks it directly. FileDevicePart puts one on the board.
#ifndef PATERM_BOARD_SIM_FILE_DEVICE_H
#define PATERM_BOARD_SIM_FILE_DEVICE_H

#include <fcntl.h>

#include <string>

#include "board/sim/device.h"
#include "board/sim/part.h"

namespace sim {

class FileDevice : public Device {
public:
    explicit FileDevice(std::string hostPath) : hostPath_(std::move(hostPath)) {}

    OpenResult Open(int flags) override {
        // A device node is never created or truncated by opening it.
        int allowed = flags & (O_ACCMODE | O_NONBLOCK | O_SYNC | O_APPEND);
        UniqueFd fd(::open(hostPath_.c_str(), allowed | O_CLOEXEC));
        if (!fd) return OpenResult::Failed(errno == ENOENT ? ENODEV : errno);
        OpenResult result;
        result.descriptor = std::move(fd);
        return result;
    }

private:
    std::string hostPath_;
};

class FileDevicePart : public BoardPart {
public:
    FileDevicePart(std::string path, std::string hostPath) : path_(std::move(path)), hostPath_(std::move(hostPath)) {}
    void Attach(DeviceRegistry& devices, ControlRegistry&) override {
        devices.Add(path_, std::make_shared<FileDevice>(hostPath_));
    }

private:
    std::string path_;
    std::string hostPath_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_FILE_DEVICE_H
