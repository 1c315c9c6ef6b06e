// The accept loop, connection threads, cutting and reaping them.
#include "board/sim/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace sim {

SocketServer::SocketServer(UniqueFd listener, Handler handler, size_t maxConnections, Handler refuse)
    : listener_(std::move(listener)),
      handler_(std::move(handler)),
      refuse_(std::move(refuse)),
      maxConnections_(maxConnections) {}

SocketServer::~SocketServer() { Stop(); }

Result<> SocketServer::Start() {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) return Error::FromErrno("pipe for the accept loop");
    wakeRead_.Reset(wake[0]);
    wakeWrite_.Reset(wake[1]);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return {};
}

void SocketServer::ReapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void SocketServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
        int rc = ::poll(fds, 2, 1000);
        if (rc < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        std::lock_guard<std::mutex> lock(mutex_);
        ReapFinished();
        if (rc <= 0 || !(fds[0].revents & POLLIN)) continue;
        UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) continue;
        if (connections_.size() >= maxConnections_) {
            if (refuse_) refuse_(fd.Get());  // then closed
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        Connection* c = connection.get();
        connection->thread = std::thread([this, c] {
            handler_(c->fd.Get());
            c->done.store(true);
        });
        connections_.push_back(std::move(connection));
    }
}

void SocketServer::ShutdownConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& c : connections_) ::shutdown(c->fd.Get(), SHUT_RDWR);
}

bool SocketServer::WaitConnections(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ReapFinished();
            if (connections_.empty()) return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

size_t SocketServer::OpenConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    ReapFinished();
    return connections_.size();
}

void SocketServer::Stop() {
    if (stopped_ || !acceptThread_.joinable()) return;
    stopped_ = true;
    char byte = 1;
    (void)!::write(wakeWrite_.Get(), &byte, 1);
    acceptThread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& c : connections_) ::shutdown(c->fd.Get(), SHUT_RDWR);
    for (auto& c : connections_) c->thread.join();
    connections_.clear();
    listener_.Reset();
}

}  // namespace sim
