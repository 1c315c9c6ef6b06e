// paterm-simctl: sends one request to a running paterm-sim's control socket
// and prints the reply line.
//   paterm-simctl --root DIR '{"cmd":"status"}'
//   paterm-simctl --root DIR status          (a bare command name)
// Without --root the board root is ./sim-root, the one `make run` uses.
// Exit status: 0 for a reply with "ok":true, 1 for "ok":false, 2 when no
// reply could be had.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "board/sim/control.h"
#include "board/sim/fd_io.h"
#include "board/sim/unix_socket.h"

namespace {

constexpr int kReplyTimeoutMs = 30000;

int Usage() {
    std::fputs("usage: paterm-simctl [--root DIR] REQUEST\n"
               "  DIR defaults to ./sim-root, the board root of `make run`\n"
               "  REQUEST is a JSON object such as '{\"cmd\":\"status\"}', or a command name\n",
               stderr);
    return 2;
}

bool ReadLine(int fd, std::string* line) {
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
        ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line->empty();
        if (c == '\n') return true;
        line->push_back(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string root = "sim-root", request;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) root = argv[++i];
        else if (request.empty()) request = argv[i];
        else return Usage();
    }
    if (root.empty() || request.empty()) return Usage();
    if (request[0] != '{') request = sim::Json{{"cmd", request}}.dump(-1, ' ', false, sim::Json::error_handler_t::replace);

    sim::UniqueFd fd = sim::ConnectUnix(root + "/sim/control", SOCK_STREAM | SOCK_CLOEXEC);
    if (!fd) {
        std::fprintf(stderr, "paterm-simctl: no board on %s: %s\n", root.c_str(), std::strerror(errno));
        return 2;
    }
    std::string reply;
    if (!sim::WriteAll(fd.Get(), request + "\n", /*socket=*/true) || !ReadLine(fd.Get(), &reply)) {
        std::fprintf(stderr, "paterm-simctl: no reply\n");
        return 2;
    }
    std::puts(reply.c_str());
    const sim::Json parsed = sim::Json::parse(reply, nullptr, /*allow_exceptions=*/false);
    const auto ok = parsed.is_object() ? parsed.find("ok") : parsed.end();
    return ok != parsed.end() && ok->is_boolean() && ok->get<bool>() ? 0 : 1;
}
