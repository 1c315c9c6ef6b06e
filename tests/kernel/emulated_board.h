// A machine and its emulated kernel inside the test process: the board's
// modules loaded into it, netlink records caught instead of delivered, and
// the checks every kernel test ends with (no kernel bug, no coherent memory
// left, no register access nobody decodes).
#ifndef PATERM_TESTS_KERNEL_EMULATED_BOARD_H
#define PATERM_TESTS_KERNEL_EMULATED_BOARD_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/hw/machine.h"
#include "board/sim/kernel/kernel.h"

namespace ktest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Record {
    uint32_t port;
    std::vector<uint8_t> bytes;
};

// Netlink sockets as the test has them: a record to a bound port is kept.
class NetlinkCatcher {
public:
    void Bind(uint32_t port) {
        std::lock_guard<std::mutex> lock(mutex_);
        bound_.insert(port);
    }
    bool Deliver(uint32_t port, const uint8_t* data, size_t len) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!bound_.count(port)) return false;
        records_.push_back({port, std::vector<uint8_t>(data, data + len)});
        return true;
    }
    std::vector<Record> Records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.size();
    }

private:
    mutable std::mutex mutex_;
    std::set<uint32_t> bound_;
    std::vector<Record> records_;
};

class EmulatedBoard {
public:
    explicit EmulatedBoard(const std::string& wavPath = "")
        : machine(wavPath),
          kernel(&machine, sim::kernel::Kernel::Hooks{
                               nullptr, nullptr,
                               [this](uint32_t port, const uint8_t* data, size_t len) {
                                   return netlink.Deliver(port, data, len);
                               },
                               ""}) {
        kernel.Boot();
    }

    std::unique_ptr<sim::kernel::KernelFile> Open(const std::string& name, unsigned flags, int* result) {
        std::unique_ptr<sim::kernel::KernelFile> file;
        *result = kernel.misc().Open(name, flags, &file);
        return file;
    }

    NetlinkCatcher netlink;  // before the kernel, which delivers into it
    sim::hw::Machine machine;
    sim::kernel::Kernel kernel;
};

// Polls pred every 5 ms until it holds or the deadline passes.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (!pred()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The fixture of the kernel tests: a fresh board per test, checked at the end.
class KernelTest : public ::testing::Test {
protected:
    virtual std::string WavPath() { return ""; }
    void SetUp() override { board_ = std::make_unique<EmulatedBoard>(WavPath()); }
    void TearDown() override {
        board_->kernel.Halt();
        EXPECT_EQ(board_->kernel.Bugs(), expectedBugs_) << board_->kernel.log().Dump();
        EXPECT_EQ(board_->machine.memory().Outstanding(), 0u) << "coherent memory left after power-off";
        EXPECT_EQ(board_->machine.bus().Unmapped(), expectedUnmapped_)
            << std::hex << board_->machine.bus().LastUnmapped();
        board_.reset();
    }

    EmulatedBoard& board() { return *board_; }
    sim::kernel::Kernel& kernel() { return board_->kernel; }
    sim::hw::Machine& machine() { return board_->machine; }
    std::string Log() { return kernel().log().Dump(); }

    uint64_t expectedBugs_ = 0;
    uint64_t expectedUnmapped_ = 0;
    std::unique_ptr<EmulatedBoard> board_;
};

}  // namespace ktest

#endif  // PATERM_TESTS_KERNEL_EMULATED_BOARD_H
