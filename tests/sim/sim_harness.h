// Helpers for the board's tests: temporary directories, bounded waits, and
// BoardRun, which starts paterm-sim with the probe program on a temporary
// root, talks to its control socket, and never leaves a process behind.
#ifndef PATERM_TESTS_SIM_SIM_HARNESS_H
#define PATERM_TESTS_SIM_SIM_HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/control.h"

namespace simtest {

using namespace std::chrono_literals;

// A fresh directory under the host's temporary directory, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool Exists(const std::string& path);

// Polls pred every 20 ms until it holds or the deadline passes.
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// A member of a JSON object, or null when it is missing (or j is no object).
inline const sim::Json* Member(const sim::Json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

// One request on a control socket; no value if the board did not answer.
std::optional<sim::Json> ControlRequest(const std::string& root, const std::string& request);

class BoardRun {
public:
    BoardRun() = default;
    ~BoardRun();  // kills a board still running
    BoardRun(const BoardRun&) = delete;
    BoardRun& operator=(const BoardRun&) = delete;

    const std::string& root() const { return dir_.path(); }
    std::string At(const std::string& terminalPath) const { return root() + terminalPath; }
    // The probe's script for every start (boot 0) or for its boot-th start.
    void Script(const std::string& text, int boot = 0);

    // The program the board runs (default: the seam probe).
    void UseProgram(const std::string& path) { program_ = path; }
    // Starts paterm-sim --root ROOT --program PROGRAM --quiet ARGS and
    // waits for its control socket.
    bool Start(const std::vector<std::string>& args = {});
    sim::Json Control(const std::string& request);
    sim::Json Status() { return Control(R"({"cmd":"status"})"); }
    std::vector<sim::Json> Log();
    // Log entries of a kind whose detail contains text.
    size_t CountLog(const std::string& kind, const std::string& text = "");
    std::string Console() const;
    bool WaitForConsole(const std::string& text, std::chrono::milliseconds deadline);
    // Asks the board to stop and waits for it; returns its wait status, or -1
    // if it had to be killed.
    int Stop();
    // Waits for a board told to stop some other way; -1 (and killed) on time-out.
    int Reap(std::chrono::milliseconds deadline);
    pid_t pid() const { return pid_; }

private:
    TempDir dir_;
    std::string program_ = SEAM_PROBE_EXE;
    pid_t pid_ = -1;
};

}  // namespace simtest

#endif  // PATERM_TESTS_SIM_SIM_HARNESS_H
