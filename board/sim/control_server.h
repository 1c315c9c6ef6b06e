// The board's control interface: the UNIX stream socket DIR/sim/control,
// one JSON object per line each way. A request names its command in "cmd";
// every reply carries "ok" (true, or false with "error"). The commands are
// described in docs/sim-control.md.
#ifndef PATERM_BOARD_SIM_CONTROL_SERVER_H
#define PATERM_BOARD_SIM_CONTROL_SERVER_H

#include <memory>
#include <string>

#include "board/sim/json.h"
#include "board/sim/simulated_board.h"
#include "board/sim/socket_server.h"

namespace sim {

class ControlServer {
public:
    static constexpr size_t kMaxLine = 65536;

    explicit ControlServer(SimulatedBoard* board) : board_(board) {}
    bool Start(const std::string& socketPath, std::string* error);
    void Stop();

    // One request line in, one reply line out (without the line end);
    // *stop tells that the board powers off once the reply is sent.
    std::string Handle(const std::string& line, bool* stop = nullptr);

private:
    void Serve(int fd);

    SimulatedBoard* board_;
    std::unique_ptr<SocketServer> server_;
};

// The JSON forms of the board's state, shared with tests.
Json StatusJson(const BoardStatus& status);
Json LogEntryJson(const LogEntry& entry);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_CONTROL_SERVER_H
