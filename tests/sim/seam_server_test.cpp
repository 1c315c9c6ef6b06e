// The program's seam against the board's seam server in one process, with a
// recording device model: ioctl argument bytes reach the model in every
// direction, and every descriptor the seam hands out is close-on-exec.
#include <fcntl.h>
#include <linux/netlink.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/sim/device.h"
#include "board/sim/file_device.h"
#include "board/sim/netlink.h"
#include "board/sim/op_log.h"
#include "board/sim/seam_server.h"
#include "sim_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Keeps each ioctl's argument bytes as the model got them and doubles them.
class RecordingDevice : public sim::Device {
public:
    sim::OpenResult Open(int) override {
        sim::OpenResult opened;
        opened.session = std::make_unique<Session>(this);
        return opened;
    }
    std::vector<Bytes> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    class Session : public sim::DeviceSession {
    public:
        explicit Session(RecordingDevice* device) : device_(device) {}
        sim::IoResult Ioctl(unsigned long, uint64_t, std::vector<uint8_t>* arg) override {
            {
                std::lock_guard<std::mutex> lock(device_->mutex_);
                device_->seen_.push_back(*arg);
            }
            for (uint8_t& byte : *arg) byte = static_cast<uint8_t>(byte * 2);
            return sim::IoResult::Done(0);
        }

    private:
        RecordingDevice* device_;
    };

    std::mutex mutex_;
    std::vector<Bytes> seen_;
};

class SeamServerTest : public ::testing::Test {
protected:
    SeamServerTest()
        : log([] { return int64_t{0}; }, ""),
          netlink(&log),
          server(sim::SeamServices{&devices, &netlink, nullptr, nullptr, &log}) {}
    void SetUp() override {
        ::setenv("PATERM_ROOT", root.path().c_str(), 1);
        ::mkdir((root.path() + "/sim").c_str(), 0755);
        ::mkdir((root.path() + "/dev").c_str(), 0755);
        simtest::WriteFile(root.path() + "/dev/i2c-eeprom0", "ID");
        devices.Add("/dev/i2c-eeprom0", std::make_shared<sim::FileDevice>(root.path() + "/dev/i2c-eeprom0"));
        devices.Add("/dev/recorder", recorder);
        sim::Result<> started = server.Start(root.path() + sim::kSeamSocketPath);
        ASSERT_TRUE(started) << started.error().Text();
    }
    void TearDown() override { server.Stop(); }

    simtest::TempDir root;
    sim::OpLog log;
    sim::NetlinkModel netlink;
    sim::DeviceRegistry devices;
    std::shared_ptr<RecordingDevice> recorder = std::make_shared<RecordingDevice>();
    sim::SeamServer server;
};

TEST_F(SeamServerTest, ModelGetsTheArgumentBytesOfEverySizedRequest) {
    int fd = board::Open("/dev/recorder", O_RDWR);
    ASSERT_GE(fd, 0);
    int pin = 3;  // a read request carrying its input, as a GPIO read carries the pin
    EXPECT_EQ(board::Ioctl(fd, _IOR('g', 1, int), &pin), 0);
    EXPECT_EQ(pin, 6);
    int value = 5;
    EXPECT_EQ(board::Ioctl(fd, _IOW('g', 2, int), &value), 0);
    EXPECT_EQ(value, 5);  // nothing comes back into a write-only argument
    int both = 7;
    EXPECT_EQ(board::Ioctl(fd, _IOWR('g', 3, int), &both), 0);
    EXPECT_EQ(both, 14);
    board::Close(fd);
    EXPECT_EQ(recorder->Seen(), (std::vector<Bytes>{{3, 0, 0, 0}, {5, 0, 0, 0}, {7, 0, 0, 0}}));
}

TEST_F(SeamServerTest, EveryDescriptorIsCloseOnExec) {
    auto closeOnExec = [](int fd) { return fd >= 0 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; };
    const int fds[] = {
        board::Open("/file", O_RDWR | O_CREAT, 0600),  // a plain file
        board::Open("/dev/recorder", O_RDWR),          // a device session
        board::Open("/dev/i2c-eeprom0", O_RDONLY),     // a descriptor the board passes
        board::NetlinkSocket(21),                      // the board's kernel events
        board::NetlinkSocket(NETLINK_ROUTE),           // a socket of this namespace
    };
    for (size_t i = 0; i < sizeof fds / sizeof fds[0]; ++i) {
        EXPECT_TRUE(closeOnExec(fds[i])) << "descriptor " << i;
        if (fds[i] >= 0) board::Close(fds[i]);
    }
}

}  // namespace
