// The board's control interface: the UNIX stream socket DIR/sim/control,
// one JSON object per line each way. This file only frames lines and
// dispatches them to the ControlRegistry the board's parts filled; the
// commands themselves live with their parts (docs/sim-control.md).
//
// Limits: a line of at most kMaxLine bytes; at most kMaxConnections clients
// at once (one more is told so and closed); a client that sends nothing for
// the idle time-out is told so and closed, so that silent clients cannot
// lock everyone out. Every reply is valid UTF-8 JSON, whatever the request.
#ifndef PATERM_BOARD_SIM_CONTROL_SERVER_H
#define PATERM_BOARD_SIM_CONTROL_SERVER_H

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "board/sim/control.h"
#include "board/sim/result.h"
#include "board/sim/socket_server.h"

namespace sim {

class ControlServer {
public:
    static constexpr size_t kMaxLine = 65536;
    static constexpr size_t kMaxConnections = 16;
    static constexpr std::chrono::milliseconds kIdleTimeout{30000};

    explicit ControlServer(const ControlRegistry* registry, std::chrono::milliseconds idleTimeout = kIdleTimeout)
        : registry_(registry), idleTimeout_(idleTimeout) {}
    [[nodiscard]] Result<> Start(const std::string& socketPath);
    void Stop();

    // One request line in, its reply (not yet serialised) out.
    ControlReply Handle(std::string_view line) const;
    // A reply as one line of valid UTF-8 JSON, without the line end.
    static std::string Serialize(const Json& reply);

private:
    void Serve(int fd);

    const ControlRegistry* registry_;
    const std::chrono::milliseconds idleTimeout_;
    std::unique_ptr<SocketServer> server_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_CONTROL_SERVER_H
