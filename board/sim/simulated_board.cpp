// Assembling the board and supervising the program's power cycles.
#include "board/sim/simulated_board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "board/sim/eeprom.h"
#include "board/sim/factory.h"
#include "board/sim/file_device.h"
#include "board/sim/flash.h"
#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/misc_node.h"

namespace sim {
namespace {

constexpr int kSuperviseTickMs = 50;

// Kernel event types raised by the kernel code outside the system.
constexpr uint8_t kEventCardInserted = 0, kEventCardRemoved = 1, kEventAudioDetected = 3, kEventAudioLost = 4;

std::string DescribeExit(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace

SimulatedBoard::SimulatedBoard(Options options)
    : options_(std::move(options)), startTime_(std::chrono::steady_clock::now()), cardPresent_(options_.cardPresent) {}

SimulatedBoard::~SimulatedBoard() { Shutdown(); }

int64_t SimulatedBoard::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startTime_)
        .count();
}

bool SimulatedBoard::Start(std::string* error) {
    layout_ = std::make_unique<RootLayout>(options_.root);
    if (!layout_->Prepare(error)) return false;
    auto now = [this] { return NowMs(); };
    log_ = std::make_unique<OpLog>(now, layout_->SimFile("board.log"));
    console_ = std::make_unique<Console>(layout_->SimFile("console.log"), !options_.quiet);
    tools_ = std::make_unique<ToolRunner>(console_.get());
    clock_ = std::make_unique<WallClock>(layout_->SimFile("clock"), layout_->SimFile("hwclock"), log_.get());
    watchdog_ = std::make_unique<WatchdogModel>(now, options_.watchdogTimeoutS, log_.get());
    netlink_ = std::make_unique<NetlinkModel>(log_.get());
    log_->Add(LogKind::kBoard, "root " + layout_->dir() + ", program " + options_.program);

    if (!FactoryInstall(*layout_, tools_.get(), log_.get(), error)) return false;
    bool created = false;
    if (!EnsureEepromFile(layout_->Host("/dev/i2c-eeprom0"), options_, &created)) {
        *error = "cannot create the EEPROM file " + layout_->Host("/dev/i2c-eeprom0");
        return false;
    }
    if (created)
        log_->Add(LogKind::kBoard, "EEPROM created: device ID " + options_.deviceId + ", watchdog flag " +
                                       std::to_string(options_.watchdogFlag));
    if (!EnsureNandFile(layout_->Host("/dev/mtd2"))) {
        *error = "cannot create the NAND file " + layout_->Host("/dev/mtd2");
        return false;
    }

    devices_.Add("/dev/watchdog", std::make_shared<WatchdogDevice>(watchdog_.get()));
    devices_.Add("/dev/i2c-eeprom0", std::make_shared<FileDevice>(layout_->Host("/dev/i2c-eeprom0")));

    machine_ = std::make_unique<hw::Machine>(layout_->SimFile("decoder.wav"));
    kernel::Kernel::Hooks hooks;
    hooks.deviceAdded = [this](const std::string& name) {
        devices_.Add("/dev/" + name, std::make_shared<kernel::MiscDeviceNode>(&kernel_->misc(), name));
    };
    hooks.deviceRemoved = [this](const std::string& name) { devices_.Remove("/dev/" + name); };
    hooks.netlinkDeliver = [this](uint32_t port, const uint8_t* data, size_t len) {
        return netlink_->Deliver(port, data, len);
    };
    hooks.logMirror = layout_->SimFile("kernel.log");
    kernel_ = std::make_unique<kernel::Kernel>(machine_.get(), std::move(hooks));
    RebootKernel();
    kernelFresh_ = true;

    shell_ = std::make_unique<Shell>(layout_.get(), tools_.get(), clock_.get(), log_.get(), console_.get(),
                                     [this] { RequestReset("reboot"); });
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = "pipe failed";
        return false;
    }
    wakeRead_.Reset(wake[0]);
    wakeWrite_.Reset(wake[1]);
    seam_ = std::make_unique<SeamServer>(
        SeamServices{&devices_, netlink_.get(), clock_.get(), shell_.get(), log_.get()});
    return seam_->Start(layout_->SimFile("board.sock"), error);
}

void SimulatedBoard::Wake() {
    char byte = 1;
    ssize_t ignored = ::write(wakeWrite_.Get(), &byte, 1);
    (void)ignored;  // a full pipe already wakes the loop
}

void SimulatedBoard::RequestStop() {
    stopRequested_ = true;
    Wake();
}

void SimulatedBoard::RequestReset(const std::string& cause) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pendingReset_) pendingReset_ = cause;
    }
    log_->Add(LogKind::kReboot, "reset requested: " + cause);
    Wake();
}

void SimulatedBoard::RebootKernel() {
    if (!kernel_->Halt())
        log_->Add(LogKind::kBoard, "kernel: calls still running at power-off, modules left loaded");
    machine_->PowerOn();
    kernel_->Boot();
    const int result = kernel_->LoadBoardModules();
    std::string loaded;
    for (const kernel::ModuleInfo& m : kernel_->modules().List())
        if (m.loaded) loaded += " " + m.name;
    log_->Add(LogKind::kBoard, std::string("kernel " EMU_VERMAGIC ", modules:") + loaded +
                                   (result ? " (a load failed: " + std::to_string(result) + ")" : ""));
}

void SimulatedBoard::PowerOn() {
    layout_->EmptyTmp();
    watchdog_->PowerOn();
    clock_->PowerOn();
    {
        std::lock_guard<std::mutex> card(cardMutex_);
        bool present;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            present = cardPresent_;
        }
        layout_->SetCardPresent(present);
    }
    // The modules are loaded before the program starts; the first boot was
    // done by Start, before the board took requests.
    if (!kernelFresh_) RebootKernel();
    kernelFresh_ = false;
}

void SimulatedBoard::StartProgram() {
    std::string error;
    bool started = program_.Start(options_.program, layout_->dir(), console_.get(), &error);
    std::lock_guard<std::mutex> lock(mutex_);
    ++programStarts_;
    if (!started) {
        programPid_ = 0;
        exitedAtMs_ = NowMs();
        lastExit_ = "not started: " + error;
        log_->Add(LogKind::kProgramExit, lastExit_);
        return;
    }
    programPid_ = program_.pid();
    exitedAtMs_ = -1;
    log_->Add(LogKind::kProgramStart,
              "pid " + std::to_string(programPid_) + " (start " + std::to_string(programStarts_) + ")");
}

void SimulatedBoard::Reset(const std::string& cause) {
    if (program_.Running()) {
        int pid = program_.pid();
        int status = program_.Kill();
        std::lock_guard<std::mutex> lock(mutex_);
        lastExit_ = DescribeExit(status) + " (killed by the reset)";
        log_->Add(LogKind::kProgramExit, "pid " + std::to_string(pid) + " " + lastExit_);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resets_.push_back({cause, NowMs()});
        pendingReset_.reset();
        programPid_ = 0;
    }
    log_->Add(LogKind::kReset, cause);
    PowerOn();
    StartProgram();
}

void SimulatedBoard::Supervise() {
    std::optional<std::string> cause;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cause = pendingReset_;
    }
    if (cause) return Reset(*cause);

    int status = 0;
    if (program_.Running() && program_.Exited(&status)) {
        std::lock_guard<std::mutex> lock(mutex_);
        lastExit_ = DescribeExit(status);
        log_->Add(LogKind::kProgramExit, "pid " + std::to_string(programPid_) + " " + lastExit_);
        programPid_ = 0;
        exitedAtMs_ = NowMs();
    }
    if (watchdog_->Expired()) return Reset("watchdog");
    if (program_.Running() || watchdog_->Armed()) return;  // an armed watchdog will reset the board
    int64_t exitedAt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exitedAt = exitedAtMs_;
    }
    if (exitedAt >= 0 && NowMs() - exitedAt >= kRestartDelayMs) Reset("program exit");
}

void SimulatedBoard::Run(int signalFd) {
    PowerOn();
    StartProgram();
    while (!stopRequested_) {
        pollfd fds[2] = {{wakeRead_.Get(), POLLIN, 0}, {signalFd, POLLIN, 0}};
        int rc = ::poll(fds, signalFd >= 0 ? 2 : 1, kSuperviseTickMs);
        if (rc < 0 && errno != EINTR) break;
        char drain[64];
        while (::read(wakeRead_.Get(), drain, sizeof drain) > 0) {
        }
        if (signalFd >= 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info;
            if (::read(signalFd, &info, sizeof info) == sizeof info)
                log_->Add(LogKind::kBoard, "signal " + std::to_string(info.ssi_signo) + ": power off");
            break;
        }
        if (stopRequested_) break;
        Supervise();
    }
    stopRequested_ = true;
    if (program_.Running()) {
        int pid = program_.pid();
        int status = program_.Kill();
        log_->Add(LogKind::kProgramExit, "pid " + std::to_string(pid) + " " + DescribeExit(status) + " (power off)");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    programPid_ = 0;
}

void SimulatedBoard::Shutdown() {
    if (!seam_) return;
    watchdog_->Shutdown();
    shell_->Shutdown();
    tools_->KillAll();
    kernel_->Halt();  // before the sessions are joined: their calls are revoked
    seam_->Stop();
    seam_.reset();
    ::unlink(layout_->SimFile("board.sock").c_str());
    log_->Add(LogKind::kBoard, "powered off");
}

BoardStatus SimulatedBoard::Status() const {
    BoardStatus s;
    s.uptimeMs = NowMs();
    s.watchdog = watchdog_->GetStatus();
    s.netlinkPort = netlink_->LatestBoundPort();
    std::lock_guard<std::mutex> lock(mutex_);
    s.programStarts = programStarts_;
    s.programPid = programPid_;
    s.programRunning = programPid_ > 0;
    s.lastExit = lastExit_;
    s.resets = resets_;
    s.cardPresent = cardPresent_;
    return s;
}

std::vector<LogEntry> SimulatedBoard::LogFrom(uint64_t position, size_t max, uint64_t* next) const {
    return log_->From(position, max, next);
}

void SimulatedBoard::Stall() {
    watchdog_->Stall();
    log_->Add(LogKind::kControl, "player.stall: the next write to /dev/watchdog is held");
}

void SimulatedBoard::Resume() {
    watchdog_->Resume();
    log_->Add(LogKind::kControl, "player.resume: a held write to /dev/watchdog is released");
}

bool SimulatedBoard::DeliverEvent(uint32_t port, uint8_t type, uint8_t value) {
    if (port == 0) port = netlink_->LatestBoundPort();
    if (port == 0) return false;
    std::vector<uint8_t> record = NetlinkModel::EventRecord(type, value);
    return netlink_->Deliver(port, record.data(), record.size());
}

int SimulatedBoard::SetCardPresent(bool present) {
    {
        std::lock_guard<std::mutex> card(cardMutex_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cardPresent_ = present;
        }
        layout_->SetCardPresent(present);
    }
    log_->Add(LogKind::kControl, present ? "card.insert" : "card.remove");
    return SendEventToUserSpaceByNetLink(present ? kEventCardInserted : kEventCardRemoved, 0);
}

int SimulatedBoard::RaiseAudioEvent(bool detected) {
    log_->Add(LogKind::kControl, detected ? "audio.detect" : "audio.lose");
    return SendEventToUserSpaceByNetLink(detected ? kEventAudioDetected : kEventAudioLost, 0);
}

bool SimulatedBoard::PressRfKey(int code) {
    if (!machine_->rf().Press(code)) return false;
    log_->Add(LogKind::kControl, "rf.key " + std::to_string(code));
    return true;
}

hw::Vs1053::Stats SimulatedBoard::DecoderStats() { return machine_->decoder().GetStats(); }

void SimulatedBoard::SetDreqFault(bool on) {
    machine_->decoder().SetDreqFault(on);
    log_->Add(LogKind::kControl, std::string("decoder.dreq_fault ") + (on ? "on" : "off"));
}

std::vector<kernel::KernelLogLine> SimulatedBoard::KernelLog(uint64_t from, size_t max, uint64_t* next) const {
    return kernel_->log().From(from, max, next);
}

std::vector<kernel::ModuleInfo> SimulatedBoard::KernelModules() const { return kernel_->modules().List(); }

uint64_t SimulatedBoard::KernelBugs() const { return kernel_->Bugs(); }

}  // namespace sim
