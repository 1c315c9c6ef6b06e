// paterm-panel: the serial control panel for a simulated board, on a text
// terminal. It attaches to the board's panel line (a Unix stream socket
// carrying the raw serial bytes), shows what the terminal puts on the panel
// and sends the panel's key and setting frames for keys typed.
//   paterm-panel [--root DIR | --socket PATH]
// Without options the line is ./sim-root/sim/panel.sock, the board of
// `make run`. Exit status: 0 after q or a signal, 2 when no line could be
// attached at start or for a usage error.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "board/sim/fd_io.h"
#include "board/sim/unix_socket.h"
#include "tools/panel/panel_model.h"
#include "tools/panel/panel_screen.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReattachPeriod = std::chrono::seconds(1);

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gResized = 0;

void OnStop(int signal) { gStopSignal = signal; }
void OnResize(int) { gResized = 1; }

int Usage() {
    std::fputs("usage: paterm-panel [--root DIR | --socket PATH]\n"
               "  the panel line is DIR/sim/panel.sock; DIR defaults to ./sim-root, the board root of `make run`\n",
               stderr);
    return 2;
}

// The keyboard in raw mode and the alternate screen for the life of the
// object; both are given back on every way out of main.
class TerminalSession {
public:
    TerminalSession() {
        if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        ::cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        raw_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        if (raw_) Write(panel::kScreenEnter);
    }
    ~TerminalSession() {
        if (!raw_) return;
        Write(panel::kScreenLeave);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    static void Write(const std::string& text) { (void)sim::WriteAll(STDOUT_FILENO, text); }

private:
    termios saved_{};
    bool raw_ = false;
};

// SIGINT, SIGTERM and SIGWINCH are held blocked and let through only while
// the loop waits in ppoll, so none can slip in between a check and a wait.
class SignalGate {
public:
    SignalGate() {
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        action.sa_handler = OnStop;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        action.sa_handler = OnResize;
        ::sigaction(SIGWINCH, &action, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        sigaddset(&held, SIGWINCH);
        ::sigprocmask(SIG_BLOCK, &held, &open_);
    }
    const sigset_t* open() const { return &open_; }

private:
    sigset_t open_;
};

class PanelSession {
public:
    explicit PanelSession(std::string path) : path_(std::move(path)) {}

    bool Attach() {
        lastAttempt_ = Clock::now();
        line_ = sim::ConnectUnix(path_, SOCK_STREAM | SOCK_CLOEXEC);
        if (!line_) return false;
        lineText_ = "attached to " + path_;
        Send(panel::AnnounceFrame());
        return true;
    }

    int Run(const SignalGate& gate) {
        Draw();
        while (!gStopSignal) {
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {line_ ? line_.Get() : -1, POLLIN, 0}};
            timespec wait{1, 0};
            const int ready = ::ppoll(fds, 2, line_ ? nullptr : &wait, gate.open());
            if (ready < 0 && errno != EINTR) return 2;
            if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadKeys()) break;
            if (ready > 0 && line_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadLine();
            if (!line_ && Clock::now() - lastAttempt_ >= kReattachPeriod && Attach()) dirty_ = true;
            if (gResized) {
                gResized = 0;
                dirty_ = true;
            }
            if (dirty_) Draw();
        }
        return 0;
    }

private:
    // False when the user quits or the keyboard is gone.
    bool ReadKeys() {
        uint8_t buffer[64];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            panel::PanelKeyboard::Outcome outcome = keyboard_.Feed(buffer[i]);
            if (outcome.quit) return false;
            if (outcome.action.empty()) continue;
            lastAction_ = outcome.action;
            if (!outcome.frame.empty() && !Send(outcome.frame)) lastAction_ += " (not sent: no line)";
            dirty_ = true;
        }
        return true;
    }

    void ReadLine() {
        uint8_t buffer[512];
        const ssize_t n = ::recv(line_.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            Detach(n == 0 ? "the board closed the line" : std::strerror(errno));
            return;
        }
        const panel::Bytes reply = model_.Receive(buffer, static_cast<size_t>(n));
        if (!reply.empty()) Send(reply);
        dirty_ = true;
    }

    bool Send(const panel::Bytes& bytes) {
        if (!line_) return false;
        const sim::Result<> written = sim::WriteAll(line_.Get(), bytes.data(), bytes.size(), /*socket=*/true);
        if (written) return true;
        Detach(written.error().Text());
        return false;
    }

    // The board may be power-cycled: keep the display, try again each second.
    void Detach(const std::string& why) {
        line_.Reset();
        model_.Detach();
        lineText_ = "detached from " + path_ + " (" + why + "), attaching again every second";
        dirty_ = true;
    }

    void Draw() {
        TerminalSession::Write(panel::DrawScreen({model_.view(), keyboard_, lineText_, lastAction_}));
        dirty_ = false;
    }

    std::string path_;
    sim::UniqueFd line_;
    Clock::time_point lastAttempt_{};
    std::string lineText_;
    std::string lastAction_;
    bool dirty_ = false;
    panel::PanelModel model_;
    panel::PanelKeyboard keyboard_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string root, socketPath;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc && root.empty()) root = argv[++i];
        else if (std::strcmp(argv[i], "--socket") == 0 && i + 1 < argc && socketPath.empty()) socketPath = argv[++i];
        else return Usage();
    }
    if (!root.empty() && !socketPath.empty()) return Usage();
    if (socketPath.empty()) socketPath = (root.empty() ? std::string("sim-root") : root) + "/sim/panel.sock";

    SignalGate gate;
    PanelSession session(socketPath);
    if (!session.Attach()) {
        std::fprintf(stderr, "paterm-panel: no panel line at %s: %s\n", socketPath.c_str(), std::strerror(errno));
        return 2;
    }
    TerminalSession terminal;
    return session.Run(gate);
}
