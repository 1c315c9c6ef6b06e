// The GET request, its time-out and the response's status line and body.
#include "board/sim/http_get.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "board/sim/unique_fd.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for events on fd until the deadline, in short slices so that a
// cancel is seen. False on time-out or cancel.
bool WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load()) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

HttpResult Failure(std::string why) {
    HttpResult r;
    r.error = std::move(why);
    return r;
}

// "HTTP/1.1 200 OK\r\n..." -> 200; 0 if the line is not a status line.
int StatusCode(const std::string& response) {
    if (response.compare(0, 5, "HTTP/") != 0) return 0;
    size_t blank = response.find(' ');
    if (blank == std::string::npos || blank + 4 > response.size()) return 0;
    int code = 0;
    for (size_t i = blank + 1; i < blank + 4; ++i) {
        if (response[i] < '0' || response[i] > '9') return 0;
        code = code * 10 + (response[i] - '0');
    }
    return code;
}

}  // namespace

HttpResult HttpGet(const std::string& host, uint16_t port, const std::string& path, int timeoutMs,
                   const std::atomic<bool>* cancel) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return Failure("not a numeric address: " + host);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return Failure(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS)
        return Failure(std::string("connect: ") + std::strerror(errno));
    if (!WaitFor(fd.Get(), POLLOUT, deadline, cancel)) return Failure("connect timed out");
    int soError = 0;
    socklen_t len = sizeof soError;
    ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) return Failure(std::string("connect: ") + std::strerror(soError));

    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) +
                          "\r\nUser-Agent: Wget\r\nConnection: close\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        if (!WaitFor(fd.Get(), POLLOUT, deadline, cancel)) return Failure("send timed out");
        ssize_t n = ::send(fd.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) return Failure(std::string("send: ") + std::strerror(errno));
        sent += static_cast<size_t>(n);
    }

    std::string response;
    char chunk[16384];
    for (;;) {
        if (!WaitFor(fd.Get(), POLLIN, deadline, cancel)) return Failure("receive timed out");
        ssize_t n = ::recv(fd.Get(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) return Failure(std::string("receive: ") + std::strerror(errno));
        if (n == 0) break;
        response.append(chunk, static_cast<size_t>(n));
        if (response.size() > kMaxHttpBody + 65536) return Failure("response too large");
    }

    HttpResult result;
    result.status = StatusCode(response);
    if (result.status == 0) return Failure("no HTTP status line");
    size_t end = response.find("\r\n\r\n");
    size_t skip = 4;
    if (end == std::string::npos) {
        end = response.find("\n\n");
        skip = 2;
    }
    if (end != std::string::npos) result.body = response.substr(end + skip);
    return result;
}

}  // namespace sim
