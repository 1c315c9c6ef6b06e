// The HTTP/1.0 file server of paterm-server.
#include "tools/server/http_file_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace srvproto {
namespace {

constexpr int kPollMs = 200;          // how often the loop looks at the stop flag
constexpr int kIoTimeoutSeconds = 5;  // a silent or stuck client is dropped
constexpr size_t kMaxHead = 4096;

bool SendAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

// The request head up to the blank line; false on time-out, close or a
// head over kMaxHead.
bool ReadHead(int fd, std::string* head) {
    char buf[512];
    while (head->find("\r\n\r\n") == std::string::npos && head->find("\n\n") == std::string::npos) {
        if (head->size() > kMaxHead) return false;
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        head->append(buf, static_cast<size_t>(got));
    }
    return true;
}

// Ends our side and reads what the client still sends for a moment, so that
// closing with unread bytes does not reset the connection before the client
// has read the answer.
void CloseGently(int fd) {
    ::shutdown(fd, SHUT_WR);
    const timeval tv{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    for (int i = 0; i < 16 && ::recv(fd, buf, sizeof buf, 0) > 0; ++i) {
    }
    ::close(fd);
}

void SendStatus(int fd, int code, const char* reason) {
    const std::string body = std::to_string(code) + " " + reason + "\n";
    const std::string reply = "HTTP/1.0 " + std::to_string(code) + " " + reason +
                              "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
    SendAll(fd, reply.data(), reply.size());
}

}  // namespace

bool ParseRequestLine(const std::string& line, std::string* method, std::string* target) {
    const size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos || sp1 == 0) return false;
    const size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp2 == sp1 + 1) return false;
    const std::string version = line.substr(sp2 + 1);
    if (version != "HTTP/1.0" && version != "HTTP/1.1") return false;
    *method = line.substr(0, sp1);
    *target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    return (*target)[0] == '/';
}

int HttpFileServer::Start(uint32_t bindAddr, uint16_t port, const std::string& file, const std::string& urlPath,
                          Logger log, std::string* error) {
    Stop();
    Serve(file, urlPath);
    log_ = std::move(log);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("http socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(bindAddr);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = "http port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    listenFd_ = fd;
    port_ = ntohs(addr.sin_port);
    stop_ = false;
    thread_ = std::thread(&HttpFileServer::Loop, this);
    return 0;
}

void HttpFileServer::Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
}

void HttpFileServer::Serve(const std::string& file, const std::string& urlPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = file;
    path_ = urlPath;
}

void HttpFileServer::Loop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const timeval tv{kIoTimeoutSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        Handle(fd, text);
        CloseGently(fd);
    }
}

void HttpFileServer::Handle(int fd, const std::string& peer) {
    std::string head;
    std::string method, target;
    const bool whole = ReadHead(fd, &head);
    const std::string line = head.substr(0, head.find_first_of("\r\n"));
    if (!whole || !ParseRequestLine(line, &method, &target)) {
        SendStatus(fd, 400, "Bad Request");
        if (log_) log_("http: bad request from " + peer);
        return;
    }
    std::string file, path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        file = file_;
        path = path_;
    }
    const std::string where = target.substr(0, target.find('?'));
    auto note = [&](const std::string& what) {
        if (log_) log_("http: " + method + " " + target + " from " + peer + ": " + what);
    };
    if (method != "GET" && method != "HEAD") {
        SendStatus(fd, 501, "Not Implemented");
        return note("501");
    }
    if (where != path) {
        SendStatus(fd, 404, "Not Found");
        return note("404");
    }
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || ::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in >= 0) ::close(in);
        SendStatus(fd, 404, "Not Found");
        return note("404, cannot read " + file);
    }
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                              std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
    bool ok = SendAll(fd, reply.data(), reply.size());
    long long sent = 0;
    char buf[16384];
    while (ok && method == "GET") {
        const ssize_t got = ::read(in, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        ok = SendAll(fd, buf, static_cast<size_t>(got));
        if (ok) sent += got;
    }
    ::close(in);
    note(ok ? "200, " + std::to_string(sent) + " bytes" : "200, client gone after " + std::to_string(sent) + " bytes");
}

}  // namespace srvproto
