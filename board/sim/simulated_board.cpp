// Assembling the board from its parts and supervising the program's power
// cycles.
#include "board/sim/simulated_board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "board/sim/audio_bus.h"
#include "board/sim/audio_detector.h"
#include "board/sim/card_slot.h"
#include "board/sim/decoder_part.h"
#include "board/sim/eeprom.h"
#include "board/sim/factory.h"
#include "board/sim/fd_io.h"
#include "board/sim/file_device.h"
#include "board/sim/flash.h"
#include "board/sim/kernel_part.h"
#include "board/sim/netlink.h"
#include "board/sim/panel_port.h"
#include "board/sim/rf_remote.h"
#include "board/sim/sound_card.h"
#include "board/sim/wall_clock.h"
#include "board/sim/watchdog.h"

namespace sim {
namespace {

constexpr int kSuperviseTickMs = 50;
constexpr size_t kMaxLogEntriesPerReply = 1000;
constexpr int64_t kMaxPowerCutDelayMs = 600000;

// The instant of a seeded power cut, 0 to withinMs: SplitMix64 of the seed,
// the same on every host and library, so a seed replays its cut.
int64_t SeededDelayMs(uint64_t seed, int64_t withinMs) {
    uint64_t z = seed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<int64_t>(z % static_cast<uint64_t>(withinMs + 1));
}

Json LogEntryJson(const LogEntry& e) {
    return Json{{"pos", e.position}, {"ms", e.ms}, {"kind", LogKindName(e.kind)}, {"detail", e.detail}};
}

}  // namespace

SimulatedBoard::SimulatedBoard(Options options)
    : options_(std::move(options)), startTime_(std::chrono::steady_clock::now()) {}

SimulatedBoard::~SimulatedBoard() { Shutdown(); }

int64_t SimulatedBoard::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startTime_)
        .count();
}

Result<> SimulatedBoard::Start() {
    layout_ = std::make_unique<RootLayout>(options_.root);
    if (Result<> prepared = layout_->Prepare(); !prepared) return prepared;
    log_ = std::make_unique<OpLog>([this] { return NowMs(); }, layout_->SimFile("board.log"));
    console_ = std::make_unique<Console>(layout_->SimFile("console.log"), !options_.quiet);
    log_->SetEventEcho([console = console_.get()](const std::string& text) { console->BoardLine(text); });
    tools_ = std::make_unique<ToolRunner>(console_.get(), log_.get());
    log_->Add(LogKind::kBoard, "root " + layout_->dir() + ", program " + options_.program);

    if (Result<> installed = FactoryInstall(*layout_, tools_.get(), log_.get()); !installed) return installed;
    Result<bool> eeprom = EnsureEepromFile(layout_->Host(kEepromNode), options_);
    if (!eeprom) return eeprom.error();
    if (eeprom.value())
        log_->Add(LogKind::kBoard, "EEPROM created: device ID " + options_.deviceId + ", watchdog flag " +
                                       std::to_string(options_.watchdogFlag));
    if (Result<> nand = EnsureNandFile(layout_->Host("/dev/mtd2")); !nand) return nand;
    Assemble();

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return Error::FromErrno("pipe for the board's wake-ups");
    wakeRead_.Reset(wake[0]);
    wakeWrite_.Reset(wake[1]);
    seam_ = std::make_unique<SeamServer>(SeamServices{&devices_, netlink_, clock_, shell_.get(), log_.get()});
    if (Result<> seam = seam_->Start(layout_->SimFile("board.sock")); !seam) return seam;
    // The first power-on: the board answers its first control request with
    // the program already started and the kernel's devices in place.
    log_->Event(LogKind::kBoard, "power-on");
    PowerOn();
    StartProgram();
    return {};
}

// The board's parts in power-on order. A new device is one more line here.
void SimulatedBoard::Assemble() {
    auto now = [this] { return NowMs(); };
    auto clock = std::make_unique<WallClock>(layout_->SimFile("clock"), layout_->SimFile("hwclock"), log_.get());
    auto watchdog = std::make_unique<Watchdog>(now, options_.watchdogTimeoutS, log_.get());
    auto netlink = std::make_unique<NetlinkModel>(log_.get());
    auto kernel = std::make_unique<KernelPart>(layout_->SimFile("decoder.wav"), layout_->SimFile("kernel.log"),
                                               netlink.get(), log_.get());
    clock_ = clock.get();
    watchdog_ = watchdog.get();
    netlink_ = netlink.get();
    KernelPart* k = kernel.get();
    parts_.push_back(std::move(clock));
    parts_.push_back(std::make_unique<FileDevicePart>("/dev/i2c-eeprom0", layout_->Host("/dev/i2c-eeprom0")));
    parts_.push_back(std::move(watchdog));
    parts_.push_back(std::move(netlink));
    parts_.push_back(std::move(kernel));
    parts_.push_back(std::make_unique<DecoderPart>(k, log_.get()));
    parts_.push_back(std::make_unique<RfRemote>(k, log_.get()));
    parts_.push_back(std::make_unique<CardSlot>(options_.cardPresent, layout_.get(), k, log_.get()));
    parts_.push_back(std::make_unique<AudioDetector>(k, log_.get()));
    parts_.push_back(std::make_unique<AudioBus>(log_.get()));
    parts_.push_back(std::make_unique<PanelPort>(now, layout_->SimFile("panel.sock"), log_.get()));
    parts_.push_back(std::make_unique<SoundCard>(layout_->dir(), log_.get()));

    for (auto& part : parts_) part->Attach(devices_, controls_);
    AttachBoardCommands();
    shell_ = std::make_unique<Shell>(layout_.get(), tools_.get(), clock_, log_.get(), console_.get(),
                                     [this] { RequestReset("reboot"); });
}

void SimulatedBoard::AttachBoardCommands() {
    controls_.Add("status", [this](const Json&) { return StatusJson(); });
    controls_.Add("log", [this](const Json& request) {
        const auto from = IntegerArg(request, "from", 0, INT64_MAX, 0);
        if (!from) return ControlError("\"from\" must be an integer, 0 or more");
        uint64_t next = 0;
        Json entries = Json::array();
        for (const LogEntry& e : log_->From(static_cast<uint64_t>(*from), kMaxLogEntriesPerReply, &next))
            entries.push_back(LogEntryJson(e));
        Json reply = ControlOk();
        reply["entries"] = std::move(entries);
        reply["next"] = next;
        return reply;
    });
    controls_.Add("power.cut", [this](const Json& request) { return PowerCutCommand(request); });
    // The reply goes out first; then the board powers off.
    controls_.Add("stop", [this](const Json&) {
        return ControlReply(ControlOk(), [this] {
            log_->Add(LogKind::kControl, "stop: power off");
            RequestStop();
        });
    });
}

// Either "after_ms", or "seed" with "within_ms": the cut's instant from now.
Json SimulatedBoard::PowerCutCommand(const Json& request) {
    const bool seeded = request.contains("seed") || request.contains("within_ms");
    if (seeded == request.contains("after_ms"))
        return ControlError("give either \"after_ms\" or \"seed\" with \"within_ms\"");
    int64_t delay = 0;
    if (seeded) {
        const auto seed = IntegerArg(request, "seed", 0, INT64_MAX, std::nullopt);
        const auto within = IntegerArg(request, "within_ms", 0, kMaxPowerCutDelayMs, std::nullopt);
        if (!seed || !within)
            return ControlError("\"seed\" must be an integer, 0 or more, and \"within_ms\" 0..600000");
        delay = SeededDelayMs(static_cast<uint64_t>(*seed), *within);
    } else {
        const auto after = IntegerArg(request, "after_ms", 0, kMaxPowerCutDelayMs, std::nullopt);
        if (!after) return ControlError("\"after_ms\" must be 0..600000");
        delay = *after;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        powerCutAtMs_ = NowMs() + delay;  // a later request replaces a pending cut
    }
    log_->Add(LogKind::kControl, "power cut in " + std::to_string(delay) + " ms");
    Wake();
    Json reply = ControlOk();
    reply["after_ms"] = delay;
    return reply;
}

// Milliseconds until a pending power cut (clamped to the supervising tick).
int SimulatedBoard::NextTickMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!powerCutAtMs_) return kSuperviseTickMs;
    const int64_t left = *powerCutAtMs_ - NowMs();
    return static_cast<int>(std::clamp<int64_t>(left, 0, kSuperviseTickMs));
}

Json SimulatedBoard::StatusJson() const {
    Json status = ControlOk();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status["uptime_ms"] = NowMs();
        status["program_starts"] = programStarts_;
        status["program_running"] = programPid_ > 0;
        status["program_pid"] = programPid_;
        status["last_exit"] = lastExit_;
    }
    for (const auto& part : parts_) part->AddStatus(status);
    Json resets = Json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ResetRecord& r : resets_) resets.push_back(Json{{"cause", r.cause}, {"ms", r.ms}});
    status["resets"] = std::move(resets);
    return status;
}

void SimulatedBoard::Wake() {
    char byte = 1;
    (void)!::write(wakeWrite_.Get(), &byte, 1);  // a full pipe already wakes the loop
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

// Calls in flight of the old program return before anything is powered on:
// its connections are cut, each part lets go of what it holds, and the
// threads that served them are joined.
void SimulatedBoard::PowerOff() {
    seam_->ShutdownSessions();
    tools_->KillRunning();
    for (auto it = parts_.rbegin(); it != parts_.rend(); ++it) (*it)->PowerOff();
    if (!seam_->WaitSessions(kSessionDrain))
        log_->Add(LogKind::kBoard, "power-off: sessions of the old program still running");
}

void SimulatedBoard::PowerOn() {
    Result<> emptied = layout_->EmptyTmp();
    if (!emptied) log_->Event(LogKind::kBoard, "power-on: /tmp not emptied: " + emptied.error().Text());
    for (auto& part : parts_) part->PowerOn();
}

void SimulatedBoard::StartProgram() {
    Result<> started = program_.Start(options_.program, layout_->dir(), console_.get());
    std::lock_guard<std::mutex> lock(mutex_);
    ++programStarts_;
    if (!started) {
        programPid_ = 0;
        exitedAtMs_ = NowMs();
        lastExit_ = "not started: " + started.error().Text();
        log_->Add(LogKind::kProgramExit, lastExit_);
        return;
    }
    programPid_ = program_.pid();
    exitedAtMs_ = -1;
    log_->Add(LogKind::kProgramStart,
              "pid " + std::to_string(programPid_) + " (start " + std::to_string(programStarts_) + ")");
}

void SimulatedBoard::Reset(const std::string& cause) {
    // The supply takes the host tools the program started down with it.
    if (cause == "power cut") tools_->KillRunning();
    if (program_.Running()) {
        int pid = program_.pid();
        int status = program_.Kill();
        std::lock_guard<std::mutex> lock(mutex_);
        lastExit_ = DescribeExitStatus(status) + " (killed by the reset)";
        log_->Add(LogKind::kProgramExit, "pid " + std::to_string(pid) + " " + lastExit_);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resets_.push_back({cause, NowMs()});
        pendingReset_.reset();
        programPid_ = 0;
    }
    log_->Event(LogKind::kReset, cause);
    PowerOff();
    PowerOn();
    StartProgram();
}

void SimulatedBoard::Supervise() {
    std::optional<std::string> cause;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cause = pendingReset_;
        // A power cut ends the program with SIGKILL wherever it is, as the
        // supply dropping would, and the board powers on again.
        if (!cause && powerCutAtMs_ && NowMs() >= *powerCutAtMs_) cause = "power cut";
        if (cause == "power cut") powerCutAtMs_.reset();
    }
    if (cause) return Reset(*cause);

    int status = 0;
    if (program_.Running() && program_.Exited(&status)) {
        std::lock_guard<std::mutex> lock(mutex_);
        lastExit_ = DescribeExitStatus(status);
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
    while (!stopRequested_) {
        pollfd fds[2] = {{wakeRead_.Get(), POLLIN, 0}, {signalFd, POLLIN, 0}};
        int rc = ::poll(fds, signalFd >= 0 ? 2 : 1, NextTickMs());
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
        log_->Add(LogKind::kProgramExit,
                  "pid " + std::to_string(pid) + " " + DescribeExitStatus(status) + " (power off)");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    programPid_ = 0;
}

void SimulatedBoard::Shutdown() {
    if (!seam_) return;
    log_->Event(LogKind::kBoard, "stop: powered off");
    shell_->Shutdown();  // for good: no host tool starts any more
    PowerOff();
    seam_->Stop();
    seam_.reset();
    ::unlink(layout_->SimFile("board.sock").c_str());
}

}  // namespace sim
