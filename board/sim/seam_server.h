// The board's end of the seam: serves DIR/sim/board.sock (protocol.h).
// One thread per connection: a device open becomes a device session served
// until the program closes it, a netlink request a socket of the netlink
// model; clock and shell requests are answered and the connection ends.
#ifndef PATERM_BOARD_SIM_SEAM_SERVER_H
#define PATERM_BOARD_SIM_SEAM_SERVER_H

#include <chrono>
#include <memory>
#include <string>

#include "board/sim/device.h"
#include "board/sim/netlink.h"
#include "board/sim/op_log.h"
#include "board/sim/protocol.h"
#include "board/sim/result.h"
#include "board/sim/shell.h"
#include "board/sim/socket_server.h"
#include "board/sim/wall_clock.h"

namespace sim {

struct SeamServices {
    DeviceRegistry* devices;
    NetlinkModel* netlink;
    WallClock* clock;
    Shell* shell;
    OpLog* log;
};

class SeamServer {
public:
    explicit SeamServer(SeamServices services) : services_(services) {}
    [[nodiscard]] Result<> Start(const std::string& socketPath);
    void Stop();

    // Power cycle: cut every connection of the old program (sessions,
    // netlink sockets, a shell command waiting for its answer), then, once
    // the devices have let their calls in flight go, wait for the threads
    // that served them. False if some did not end within `wait`.
    void ShutdownSessions();
    [[nodiscard]] bool WaitSessions(std::chrono::milliseconds wait);

private:
    void Serve(int fd);
    void ServeOpen(int fd, const Message& request, const std::string& path);
    void ServeSession(int fd, DeviceSession* session, const std::string& path);
    void ServeNetlink(int fd, const Message& request);

    SeamServices services_;
    std::unique_ptr<SocketServer> server_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SEAM_SERVER_H
