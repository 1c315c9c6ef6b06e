// An accept loop on a listening socket with one thread per connection, used
// for the seam socket and the control socket. The server owns every
// connection's descriptor (handlers never close it). Past the connection
// limit a new connection is handed to the refusal handler (which may say
// why) and closed. ShutdownConnections shuts the current connections down,
// which ends handlers blocked in a receive; Stop also ends the accept loop
// and joins every handler.
#ifndef PATERM_BOARD_SIM_SOCKET_SERVER_H
#define PATERM_BOARD_SIM_SOCKET_SERVER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "board/sim/result.h"
#include "board/sim/unique_fd.h"

namespace sim {

class SocketServer {
public:
    using Handler = std::function<void(int fd)>;

    SocketServer(UniqueFd listener, Handler handler, size_t maxConnections, Handler refuse = nullptr);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    [[nodiscard]] Result<> Start();
    void Stop();

    // Shuts every open connection down; new ones are still accepted.
    void ShutdownConnections();
    // Waits up to `wait` for every handler to return. False if some did not.
    [[nodiscard]] bool WaitConnections(std::chrono::milliseconds wait);
    size_t OpenConnections();

private:
    struct Connection {
        UniqueFd fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void ReapFinished();  // mutex_ held

    UniqueFd listener_;
    Handler handler_;
    Handler refuse_;
    const size_t maxConnections_;
    UniqueFd wakeRead_, wakeWrite_;
    std::thread acceptThread_;
    std::mutex mutex_;  // guards connections_
    std::list<std::unique_ptr<Connection>> connections_;
    bool stopped_ = false;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SOCKET_SERVER_H
