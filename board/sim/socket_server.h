// An accept loop on a listening socket with one thread per connection, used
// for the seam socket and the control socket. The server owns every
// connection's descriptor (handlers never close it); Stop shuts the
// connections down, which ends handlers blocked in a receive, and joins them.
#ifndef PATERM_BOARD_SIM_SOCKET_SERVER_H
#define PATERM_BOARD_SIM_SOCKET_SERVER_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "board/sim/unique_fd.h"

namespace sim {

class SocketServer {
public:
    using Handler = std::function<void(int fd)>;

    SocketServer(UniqueFd listener, Handler handler, size_t maxConnections);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    bool Start();
    void Stop();

private:
    struct Connection {
        UniqueFd fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void ReapFinished();

    UniqueFd listener_;
    Handler handler_;
    const size_t maxConnections_;
    UniqueFd wakeRead_, wakeWrite_;
    std::thread acceptThread_;
    std::list<std::unique_ptr<Connection>> connections_;  // touched by the accept thread, then by Stop
    bool stopped_ = false;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SOCKET_SERVER_H
