// The panel's end of the board's panel line, as the end-to-end scenarios
// use it: raw bytes both ways through DIR/sim/panel.sock, what comes back
// kept for counting; and the terminal's frames as the board recorded them.
#ifndef PATERM_TESTS_E2E_PANEL_CLIENT_H
#define PATERM_TESTS_E2E_PANEL_CLIENT_H

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "board/sim/unix_socket.h"
#include "tests/sim/sim_harness.h"

namespace e2etest {

class PanelClient {
public:
    explicit PanelClient(const std::string& root)
        : fd_(sim::ConnectUnix(root + "/sim/panel.sock", SOCK_STREAM | SOCK_CLOEXEC)) {}
    bool connected() const { return fd_.Valid(); }
    // Takes what has arrived first, so a long send never meets a full socket.
    bool Send(const std::string& bytes) {
        Drain();
        return ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Takes what has arrived; false at end of stream.
    bool Drain() {
        char chunk[4096];
        for (;;) {
            pollfd p{fd_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) return true;
            const ssize_t n = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            received_.append(chunk, static_cast<size_t>(n));
        }
    }
    const std::string& received() const { return received_; }
    size_t Count(const std::string& bytes) const {
        size_t n = 0;
        for (size_t at = received_.find(bytes); at != std::string::npos; at = received_.find(bytes, at + 1)) ++n;
        return n;
    }
    // Reads until the line has carried `count` copies of `bytes` in all.
    bool WaitForCount(const std::string& bytes, size_t count, std::chrono::milliseconds deadline) {
        return simtest::WaitUntil([&] { return Drain() && Count(bytes) >= count; }, deadline);
    }
    // True once the board has closed this connection.
    bool ClosedByBoard(std::chrono::milliseconds deadline) {
        return simtest::WaitUntil([&] { return !Drain(); }, deadline);
    }

private:
    sim::UniqueFd fd_;
    std::string received_;
};

// The terminal's panel frames of one kind from position `from` on.
inline size_t PanelFrames(simtest::BoardRun& run, const std::string& hex, uint64_t from = 0) {
    const sim::Json reply = run.Control(R"({"cmd":"panel.frames","from":)" + std::to_string(from) + "}");
    size_t n = 0;
    if (const sim::Json* frames = simtest::Member(reply, "frames"))
        for (const sim::Json& f : *frames) n += f.value("hex", std::string()) == hex;
    return n;
}

}  // namespace e2etest

#endif  // PATERM_TESTS_E2E_PANEL_CLIENT_H
