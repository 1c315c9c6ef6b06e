// Control lines: reading them, dispatching, writing the replies.
#include "board/sim/control_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "board/sim/fd_io.h"
#include "board/sim/unix_socket.h"

namespace sim {
namespace {

bool SendLine(int fd, const Json& reply) {
    return WriteAll(fd, ControlServer::Serialize(reply) + "\n", /*socket=*/true).ok();
}

// The parser's message without its "[json.exception...] " tag.
std::string ParseErrorText(const Json::parse_error& e) {
    std::string text = e.what();
    const size_t tag = text.find("] ");
    return tag == std::string::npos ? text : text.substr(tag + 2);
}

}  // namespace

std::string ControlServer::Serialize(const Json& reply) {
    // Replacing invalid UTF-8 keeps a reply that quotes a request well-formed.
    return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

ControlReply ControlServer::Handle(std::string_view line) const {
    Json request;
    try {
        request = Json::parse(line);
    } catch (const Json::parse_error& e) {
        return ControlError("bad JSON: " + ParseErrorText(e));
    }
    if (!request.is_object()) return ControlError("a request is a JSON object");
    return registry_->Dispatch(request);
}

void ControlServer::Serve(int fd) {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        size_t eol;
        while ((eol = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, eol);
            buffer.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            ControlReply reply = Handle(line);
            const bool sent = SendLine(fd, reply.body);
            if (reply.afterSend) reply.afterSend();
            if (!sent) return;
        }
        if (buffer.size() > kMaxLine) {
            // A last word before closing: the connection ends whether or not it arrives.
            (void)SendLine(fd, ControlError("request line too long (over " + std::to_string(kMaxLine) + " bytes)"));
            return;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(idleTimeout_.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            // As above: the idle connection is closed either way.
            (void)SendLine(fd, ControlError("idle for " + std::to_string(idleTimeout_.count()) +
                                            " ms: connection closed"));
            return;
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

Result<> ControlServer::Start(const std::string& socketPath) {
    UniqueFd listener = ListenUnix(socketPath, SOCK_STREAM | SOCK_CLOEXEC, 8);
    if (!listener) return Error::FromErrno("cannot listen on " + socketPath);
    auto refuse = [](int fd) {
        // The one too many is closed whether or not it reads why.
        (void)SendLine(fd, ControlError("too many control connections (" + std::to_string(kMaxConnections) +
                                        " at once): try again later"));
    };
    server_ = std::make_unique<SocketServer>(std::move(listener), [this](int fd) { Serve(fd); }, kMaxConnections,
                                             refuse);
    return server_->Start();
}

void ControlServer::Stop() {
    if (server_) server_->Stop();
}

}  // namespace sim
