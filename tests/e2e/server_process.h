// The management server simulator as the end-to-end scenarios use it:
// paterm-server reading its commands from a pipe, its output in a file.
#ifndef PATERM_TESTS_E2E_SERVER_PROCESS_H
#define PATERM_TESTS_E2E_SERVER_PROCESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/e2e/panel_client.h"
#include "tests/sim/sim_harness.h"

namespace e2etest {

using simtest::BoardRun;
using simtest::WaitUntil;

inline size_t Count(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// paterm-server reading its commands from a pipe, its output in a file.
class Server {
public:
    // options: how it announces and where it binds (default: silent, on 127.0.0.1).
    Server(const std::string& dir, const std::string& deviceId,
           const std::string& options = "--announce 0 --bind 127.0.0.1", const std::string& name = "server")
        : out_(dir + "/" + name + ".out") {
        const std::string command = std::string(PATERM_SERVER_EXE) + " " + options + " --terminal 127.0.0.1 --id " +
                                    deviceId + " > " + out_ + " 2>&1";
        in_ = ::popen(command.c_str(), "w");
    }
    ~Server() { Close(); }
    bool running() const { return in_ != nullptr; }
    void Command(const std::string& line) {
        if (in_ == nullptr) return;
        std::fputs((line + "\n").c_str(), in_);
        std::fflush(in_);
    }
    void Close() {
        if (in_ == nullptr) return;
        Command("quit");
        ::pclose(in_);
        in_ = nullptr;
    }
    std::string Output() const { return simtest::ReadFile(out_); }
    bool WaitFor(const std::string& text, size_t count, std::chrono::milliseconds deadline) const {
        return WaitUntil([&] { return Count(Output(), text) >= count; }, deadline);
    }

private:
    std::string out_;
    FILE* in_ = nullptr;
};

// Grants broadcast brdId until the server has printed `streamLines` stream
// windows: a grant can be lost on its way, and one more is ignored while
// the terminal streams.
inline bool GrantUntilStreaming(Server& server, int brdId, size_t streamLines,
                                std::chrono::milliseconds perAttempt = std::chrono::milliseconds(4000)) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        server.Command("grant " + std::to_string(brdId));
        if (server.WaitFor("stream: ", streamLines, perAttempt)) return true;
    }
    return false;
}

}  // namespace e2etest

#endif  // PATERM_TESTS_E2E_SERVER_PROCESS_H
