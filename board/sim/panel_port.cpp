// The panel port: the pty, its line thread, the panel socket and the
// backdoor commands.
#include "board/sim/panel_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include "board/sim/unix_socket.h"
#include "localio/panel_frame.h"

namespace sim {
namespace {

constexpr size_t kChunk = 4096;
constexpr std::chrono::milliseconds kLineTakeWait{1000};

class PanelDevice : public Device {
public:
    explicit PanelDevice(PanelPort* port) : port_(port) {}
    OpenResult Open(int flags) override { return port_->Open(flags); }

private:
    PanelPort* port_;
};

// A raw pty with a non-blocking master: nothing the line carries is
// echoed, translated or taken for a signal before the program sets its
// own mode, and the line thread never blocks on a full line.
Result<> OpenPanelPty(UniqueFd* master, UniqueFd* slave, std::string* name) {
    master->Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    char path[64];
    if (!*master || ::grantpt(master->Get()) != 0 || ::unlockpt(master->Get()) != 0 ||
        ::ptsname_r(master->Get(), path, sizeof path) != 0)
        return Error::FromErrno("open the panel pty");
    slave->Reset(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode;
    if (!*slave || ::tcgetattr(slave->Get(), &mode) != 0)
        return Error::FromErrno(std::string("open the panel pty ") + path);
    ::cfmakeraw(&mode);
    if (::tcsetattr(slave->Get(), TCSANOW, &mode) != 0)
        return Error::FromErrno(std::string("make the panel pty ") + path + " raw");
    *name = path;
    return {};
}

struct BaudPair {
    speed_t constant;
    int baud;
};
constexpr std::array<BaudPair, 8> kBauds = {{{B300, 300},
                                             {B1200, 1200},
                                             {B2400, 2400},
                                             {B4800, 4800},
                                             {B9600, 9600},
                                             {B19200, 19200},
                                             {B38400, 38400},
                                             {B115200, 115200}}};

int BaudOf(speed_t constant) {
    for (const BaudPair& pair : kBauds)
        if (pair.constant == constant) return pair.baud;
    return 0;
}

// 8N1 with nothing processed either way.
bool IsRaw(const termios& mode) {
    return (mode.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (mode.c_oflag & OPOST) == 0 &&
           (mode.c_iflag & (IXON | ICRNL | ISTRIP)) == 0 && (mode.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty()) text.push_back(' ');
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

// The wire bytes of a "panel.send" request, or an error reply.
std::variant<std::string, Json> WireOf(const Json& request) {
    auto payload = request.find("payload");
    auto raw = request.find("raw");
    if ((payload == request.end()) == (raw == request.end()))
        return ControlError("give either \"payload\" or \"raw\": a JSON array of bytes or a hex string");
    if (payload != request.end()) {
        std::optional<std::string> bytes = BytesArg(*payload);
        if (!bytes || bytes->size() > kPanelMaxPayload)
            return ControlError("\"payload\" must be up to 255 bytes: a JSON array of 0..255 or a hex string");
        std::array<uint8_t, kPanelMaxWire> wire{};
        const size_t size = PanelStuffFrame(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size(),
                                            wire.data(), wire.size());
        return std::string(reinterpret_cast<const char*>(wire.data()), size);
    }
    std::optional<std::string> bytes = BytesArg(*raw);
    if (!bytes || bytes->empty() || bytes->size() > PanelPort::kMaxRaw)
        return ControlError("\"raw\" must be 1 to 4096 bytes: a JSON array of 0..255 or a hex string");
    return *bytes;
}

}  // namespace

struct PanelPort::Line {
    std::shared_ptr<UniqueFd> master;
    uint64_t generation = 0;
    PanelDeframer deframer;
    UniqueFd client;
};

PanelPort::PanelPort(std::function<int64_t()> nowMs, std::string socketPath, OpLog* log)
    : nowMs_(std::move(nowMs)), socketPath_(std::move(socketPath)), log_(log) {}

PanelPort::~PanelPort() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    Wake();
    if (thread_.joinable()) thread_.join();
    if (listener_) ::unlink(socketPath_.c_str());
}

void PanelPort::Attach(DeviceRegistry& devices, ControlRegistry& controls) {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_.Reset(wake[0]);
        wakeWrite_.Reset(wake[1]);
    }
    listener_ = ListenUnix(socketPath_, SOCK_STREAM | SOCK_CLOEXEC, 4);
    if (!listener_) log_->Add(LogKind::kBoard, Error::FromErrno("panel socket " + socketPath_).Text());
    devices.Add(kDevicePath, std::make_shared<PanelDevice>(this));

    controls.Add("panel.send", [this](const Json& request) -> ControlReply {
        std::variant<std::string, Json> wire = WireOf(request);
        if (Json* error = std::get_if<Json>(&wire)) return *error;
        const std::string& bytes = std::get<std::string>(wire);
        if (Result<> sent = SendToTerminal(bytes); !sent) return ControlError(sent.error().what);
        log_->Add(LogKind::kControl, "panel.send " + std::to_string(bytes.size()) + " bytes");
        Json reply = ControlOk();
        reply["bytes"] = bytes.size();
        return reply;
    });
    controls.Add("panel.frames", [this](const Json& request) -> ControlReply {
        const auto from = IntegerArg(request, "from", 0, INT64_MAX, 0);
        if (!from) return ControlError("\"from\" must be an integer, 0 or more");
        uint64_t next = 0;
        Json frames = Json::array();
        for (const Frame& f : FramesFrom(static_cast<uint64_t>(*from), kMaxFramesPerReply, &next))
            frames.push_back(Json{{"pos", f.position}, {"ms", f.ms}, {"hex", HexText(f.payload)}});
        Json reply = ControlOk();
        reply["frames"] = std::move(frames);
        reply["next"] = next;
        return reply;
    });
    thread_ = std::thread([this] { Serve(); });
}

void PanelPort::PowerOn() {
    UniqueFd master, slave;
    std::string name;
    if (Result<> pty = OpenPanelPty(&master, &slave, &name); !pty) {
        log_->Event(LogKind::kBoard, "power-on: no panel line: " + pty.error().Text());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        master_ = std::make_shared<UniqueFd>(std::move(master));
        boardSlave_ = std::move(slave);
        slaveName_ = std::move(name);
        toTerminal_.clear();
        ++generation_;
    }
    Wake();
}

// Returns once the line thread has let go of the old pty, so the old
// program's side is cut before anything is powered on.
void PanelPort::PowerOff() {
    std::unique_lock<std::mutex> lock(mutex_);
    master_.reset();
    boardSlave_.Reset();
    slaveName_.clear();
    toTerminal_.clear();
    const uint64_t generation = ++generation_;
    lock.unlock();
    Wake();
    lock.lock();
    lineTaken_.wait_for(lock, kLineTakeWait,
                        [&] { return takenGeneration_ >= generation || stopping_ || !thread_.joinable(); });
}

// The line's mode as the program set it, read on the board's own slave.
void PanelPort::AddStatus(Json& status) const {
    std::lock_guard<std::mutex> lock(mutex_);
    termios mode{};
    const bool known = boardSlave_ && ::tcgetattr(boardSlave_.Get(), &mode) == 0;
    status["panel"] = Json{{"line_up", master_ != nullptr},
                           {"baud", known ? BaudOf(::cfgetispeed(&mode)) : 0},
                           {"raw", known && IsRaw(mode)},
                           {"client", clientConnected_.load()},
                           {"frames_received", frames_.NextNumber()},
                           {"pending_bytes", toTerminal_.size()}};
}

OpenResult PanelPort::Open(int flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!master_) return OpenResult::Failed(ENODEV);
    // The board never takes the line as a controlling terminal.
    const int allowed = (flags & (O_ACCMODE | O_NONBLOCK)) | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::open(slaveName_.c_str(), allowed));
    if (!fd) return OpenResult::Failed(errno);
    OpenResult result;
    result.descriptor = std::move(fd);
    return result;
}

Result<> PanelPort::SendToTerminal(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!master_) return Error{ENODEV, "the panel line is down (the board is powered off)"};
        if (toTerminal_.size() + bytes.size() > kMaxPending)
            return Error{ENOSPC, "the panel line is full: the terminal is not reading"};
        toTerminal_ += bytes;
    }
    Wake();
    return {};
}

std::vector<PanelPort::Frame> PanelPort::FramesFrom(uint64_t from, size_t max, uint64_t* next) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.From(from, max, next);
}

void PanelPort::Wake() {
    char byte = 1;
    (void)!::write(wakeWrite_.Get(), &byte, 1);  // a full pipe already wakes the thread
}

bool PanelPort::TakeLine(Line& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    if (line.generation != generation_) {
        line.master = master_;  // the last holder of an old pty closes it here
        line.generation = generation_;
        line.deframer = PanelDeframer();
        takenGeneration_ = generation_;
        lineTaken_.notify_all();
    }
    return true;
}

void PanelPort::Serve() {
    Line line;
    while (TakeLine(line)) {
        bool outbound, inboundRoom;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            outbound = line.master && !toTerminal_.empty();
            inboundRoom = toTerminal_.size() < kMaxPending;
        }
        const int master = line.master ? line.master->Get() : -1;
        std::array<pollfd, 4> fds = {{
            {wakeRead_.Get(), POLLIN, 0},
            {listener_.Get(), POLLIN, 0},
            {master, static_cast<short>(POLLIN | (outbound ? POLLOUT : 0)), 0},
            {line.client.Get(), static_cast<short>(inboundRoom ? POLLIN : 0), 0},
        }};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            log_->Add(LogKind::kBoard, Error::FromErrno("panel line poll").Text());
            return;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead_.Get(), drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) AcceptClient(line);
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) ReadTerminal(line);
        if (fds[2].revents & POLLOUT) WriteTerminal(line);
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) ReadClient(line);
    }
}

void PanelPort::ReadTerminal(Line& line) {
    if (!line.master) return;
    std::array<uint8_t, kChunk> chunk;
    const ssize_t n = ::read(line.master->Get(), chunk.data(), chunk.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        // The board holds a slave, so this is no program's doing: the line
        // stays down until the next power-on.
        log_->Add(LogKind::kBoard, Error::FromErrno("panel line read").Text());
        line.master.reset();
        return;
    }
    for (ssize_t i = 0; i < n; ++i)
        if (line.deframer.Feed(chunk[i]) && line.deframer.size() > 0)
            RecordFrame(line.deframer.frame(), line.deframer.size());
    if (line.client &&
        ::send(line.client.Get(), chunk.data(), static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL) != n)
        DropClient(line, "not reading: closed");
}

void PanelPort::WriteTerminal(Line& line) {
    if (!line.master) return;  // a read this round found the line dead
    std::string chunk;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        chunk = toTerminal_.substr(0, kChunk);
    }
    const ssize_t n = ::write(line.master->Get(), chunk.data(), chunk.size());
    if (n <= 0) return;  // full again: POLLOUT says when
    std::lock_guard<std::mutex> lock(mutex_);
    // Only this thread takes bytes off the front; power-off may have emptied it.
    if (line.generation == generation_) toTerminal_.erase(0, static_cast<size_t>(n));
}

void PanelPort::AcceptClient(Line& line) {
    UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return;
    if (line.client) {
        log_->Add(LogKind::kBoard, "panel.sock: a second panel refused");
        return;  // closed: one panel on the line at a time
    }
    line.client = std::move(client);
    clientConnected_ = true;
    log_->Event(LogKind::kBoard, "panel.sock: panel connected");
}

void PanelPort::ReadClient(Line& line) {
    std::array<char, kChunk> chunk;
    const ssize_t n = ::recv(line.client.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return DropClient(line, "disconnected");
    std::lock_guard<std::mutex> lock(mutex_);
    // An unpowered terminal hears nothing.
    if (master_) toTerminal_.append(chunk.data(), static_cast<size_t>(n));
}

void PanelPort::DropClient(Line& line, const char* why) {
    line.client.Reset();
    clientConnected_ = false;
    log_->Event(LogKind::kBoard, std::string("panel.sock: panel ") + why);
}

void PanelPort::RecordFrame(const uint8_t* payload, size_t size) {
    Frame frame;
    frame.ms = nowMs_();
    frame.payload.assign(payload, payload + size);
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.Push(std::move(frame));
}

}  // namespace sim
