// The board tests' helpers: directories, files, the control client and the
// board process.
#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "board/sim/unix_socket.h"

extern char** environ;

namespace simtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "paterm-sim-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::optional<sim::Json> ControlRequest(const std::string& root, const std::string& request) {
    sim::UniqueFd fd = sim::ConnectUnix(root + "/sim/control", SOCK_STREAM | SOCK_CLOEXEC);
    if (!fd) return std::nullopt;
    std::string line = request + "\n";
    if (::send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        return std::nullopt;
    std::string reply;
    char chunk[4096];
    auto until = std::chrono::steady_clock::now() + 10s;
    while (reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd p{fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        ssize_t n = ::recv(fd.Get(), chunk, sizeof chunk, 0);
        if (n <= 0) break;
        reply.append(chunk, static_cast<size_t>(n));
    }
    size_t eol = reply.find('\n');
    if (eol == std::string::npos) return std::nullopt;
    sim::Json parsed = sim::Json::parse(reply.substr(0, eol), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

BoardRun::~BoardRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void BoardRun::Script(const std::string& text, int boot) {
    WriteFile(At(boot ? "/opt/probe/script." + std::to_string(boot) : "/opt/probe/script"), text);
}

bool BoardRun::Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {PATERM_SIM_EXE, "--root", root(), "--program", program_, "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    // The board must not outlive a test that crashes or is killed by its time-out.
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execv(raw[0], raw.data());
        _exit(127);
    }
    if (pid_ < 0) {
        pid_ = -1;
        return false;
    }
    return WaitUntil([&] { return ControlRequest(root(), R"({"cmd":"status"})").has_value(); }, 10s);
}

sim::Json BoardRun::Control(const std::string& request) {
    return ControlRequest(root(), request).value_or(sim::Json::object());
}

std::vector<sim::Json> BoardRun::Log() {
    std::vector<sim::Json> entries;
    uint64_t from = 0;
    for (int page = 0; page < 100; ++page) {
        sim::Json reply = Control(R"({"cmd":"log","from":)" + std::to_string(from) + "}");
        const sim::Json* items = Member(reply, "entries");
        if (!items || items->empty()) break;
        entries.insert(entries.end(), items->begin(), items->end());
        from = reply.value("next", uint64_t{0});
    }
    return entries;
}

size_t BoardRun::CountLog(const std::string& kind, const std::string& text) {
    size_t count = 0;
    for (const sim::Json& e : Log())
        if (e.value("kind", "") == kind && e.value("detail", "").find(text) != std::string::npos) ++count;
    return count;
}

std::string BoardRun::Console() const { return ReadFile(root() + "/sim/console.log"); }

bool BoardRun::WaitForConsole(const std::string& text, std::chrono::milliseconds deadline) {
    return WaitUntil([&] { return Console().find(text) != std::string::npos; }, deadline);
}

int BoardRun::Stop() {
    if (pid_ <= 0) return -1;
    ControlRequest(root(), R"({"cmd":"stop"})");
    return Reap(10s);
}

int BoardRun::Reap(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) return -1;
    int status = 0;
    bool exited = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, deadline);
    if (!exited) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        status = -1;
    }
    pid_ = -1;
    return status;
}

}  // namespace simtest
