// paterm-panel as a person uses it: on a pseudo-terminal of the test's own,
// attached to a panel line the test serves, it announces itself, draws what
// the terminal's frames say, sends a typed key as its frame, and gives the
// terminal back in its normal mode when it is told to end.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "board/sim/unix_socket.h"
#include "localio/panel_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(5);

Bytes Wire(const Bytes& payload) {
    Bytes wire(kPanelMaxWire);
    wire.resize(PanelStuffFrame(payload.data(), payload.size(), wire.data(), wire.size()));
    return wire;
}

// Screen text without its escape sequences (ESC [ ... final byte) and
// carriage returns.
std::string Strip(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            for (i += 2; i < raw.size() && (raw[i] < 0x40 || raw[i] > 0x7E);) ++i;
        } else if (raw[i] != '\r') {
            text += raw[i];
        }
    }
    return text;
}

// paterm-panel on a pty, its line served on a Unix socket in a temp dir.
class PanelOnPty {
public:
    PanelOnPty() {
        std::string pattern = (std::filesystem::temp_directory_path() / "paterm-panel-XXXXXX").string();
        if (::mkdtemp(pattern.data())) dir_ = pattern;
        listener_ = sim::ListenUnix(dir_ + "/panel.sock", SOCK_STREAM | SOCK_CLOEXEC, 1);
    }
    ~PanelOnPty() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    bool Start() {
        if (!listener_) return false;
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 160;
        const std::string socketPath = dir_ + "/panel.sock";
        pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            ::execl(PATERM_PANEL_EXE, "paterm-panel", "--socket", socketPath.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        if (pid_ < 0) return false;
        pollfd p{listener_.Get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return false;
        line_.Reset(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        return line_.Valid();
    }

    // Moves what arrives on the pty and the line into output_ and received_
    // until done() holds or the wait runs out.
    template <typename Done>
    bool Until(Done done) {
        const auto deadline = Clock::now() + kWait;
        while (!done()) {
            if (Clock::now() >= deadline) return false;
            pollfd fds[2] = {{master_, POLLIN, 0}, {line_.Get(), POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0) continue;
            char buffer[4096];
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0) output_.append(buffer, static_cast<size_t>(n));
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::recv(line_.Get(), buffer, sizeof buffer, 0);
                if (n > 0) received_.insert(received_.end(), buffer, buffer + n);
            }
        }
        return true;
    }
    bool ScreenShows(const std::vector<std::string>& texts) {
        return Until([&] {
            const std::string screen = Screen();
            for (const std::string& t : texts)
                if (screen.find(t) == std::string::npos) return false;
            return true;
        });
    }
    // The latest page: everything since the last cursor-home.
    std::string Screen() const {
        const size_t home = output_.rfind("\x1b[H");
        return Strip(home == std::string::npos ? output_ : output_.substr(home));
    }

    void Send(const Bytes& payload) {
        const Bytes wire = Wire(payload);
        ASSERT_EQ(::send(line_.Get(), wire.data(), wire.size(), MSG_NOSIGNAL), static_cast<ssize_t>(wire.size()));
    }
    void Type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    tcflag_t LocalModes() const {
        termios modes{};
        return ::tcgetattr(master_, &modes) == 0 ? modes.c_lflag : 0;
    }
    // Sends sig and returns the wait status, or -1 if it does not end in time.
    int Stop(int sig) {
        ::kill(pid_, sig);
        int status = -1;
        exited_ = Until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
        if (exited_) DrainScreen();
        return exited_ ? status : -1;
    }

    // What the program wrote last may still wait in the pty after it exited:
    // read to the end (EIO once no slave is open), within a bound.
    void DrainScreen() {
        char buffer[4096];
        for (int i = 0; i < 100; ++i) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) return;
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) return;
            output_.append(buffer, static_cast<size_t>(n));
        }
    }

    const Bytes& received() const { return received_; }
    const std::string& output() const { return output_; }

private:
    std::string dir_;
    sim::UniqueFd listener_, line_;
    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string output_;
    Bytes received_;
};

}  // namespace

TEST(PanelTool, ShowsTheTerminalsFramesAndSendsTypedKeys) {
    PanelOnPty panel;
    ASSERT_TRUE(panel.Start());
    const Bytes announce = {0x7E, 0x00, 0x80, 0x7E};
    ASSERT_TRUE(panel.Until([&] { return panel.received().size() >= 4; }));
    EXPECT_EQ(panel.received(), announce);
    ASSERT_TRUE(panel.ScreenShows({"paterm-panel  attached to", "not acknowledged"})) << panel.Screen();
    EXPECT_EQ(panel.LocalModes() & (ICANON | ECHO), 0u);  // raw while it runs

    // The terminal's hello asks for the announce again.
    panel.Send({0x02, 0x00});
    ASSERT_TRUE(panel.Until([&] { return panel.received().size() >= 8; }));
    EXPECT_EQ(Bytes(panel.received().begin() + 4, panel.received().end()), announce);

    panel.Send({0x02, 0x01, 0x00});                                      // acknowledged
    panel.Send({0x04, 0x02, 0x03, 0x02});                                // indicator 2 state 2
    panel.Send({0x08, 0x04, 0x02, 0x04, 0x00, 0x00, 0x01, 0x2C});        // 300 s
    panel.Send({0x0C, 0x04, 0x01, 0x08, 0xD6, 0xD0, 0xCE, 0xC4, ' ', 'o', 'k', 0x00});  // "中文 ok" in GB2312
    EXPECT_TRUE(panel.ScreenShows({"terminal   acknowledged", " 2:2 ", "play time   05:00",
                                   "track       \xE4\xB8\xAD\xE6\x96\x87 ok"}))
        << panel.Screen();

    // b is the broadcast key, panel key 14, pressed.
    panel.Type("b");
    ASSERT_TRUE(panel.Until([&] { return panel.received().size() >= 14; }));
    EXPECT_EQ(Bytes(panel.received().begin() + 8, panel.received().end()),
              (Bytes{0x7E, 0x04, 0x81, 0x0E, 0x01, 0x7E}));
    EXPECT_TRUE(panel.ScreenShows({"last key    key 14 (broadcast)"})) << panel.Screen();

    const int status = panel.Stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(panel.LocalModes() & (ICANON | ECHO), tcflag_t{ICANON | ECHO});  // given back
    EXPECT_NE(panel.output().rfind("\x1b[?1049l"), std::string::npos);        // main screen back
}
