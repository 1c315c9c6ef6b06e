// A plain HTTP/1.0 GET, all the terminal's download tool is ever asked for.
// The host is a numeric IPv4 address (the server's address as the program
// prints it); the whole exchange has one time-out.
#ifndef PATERM_BOARD_SIM_HTTP_GET_H
#define PATERM_BOARD_SIM_HTTP_GET_H

#include <atomic>
#include <cstdint>
#include <string>

namespace sim {

struct HttpResult {
    int status = 0;  // the HTTP status code; 0 if no response was read
    std::string body;
    std::string error;  // why there is no response
};

inline constexpr size_t kMaxHttpBody = 64 * 1024 * 1024;

// cancel (may be null) ends the wait early, as the board's power-off does.
HttpResult HttpGet(const std::string& host, uint16_t port, const std::string& path, int timeoutMs,
                   const std::atomic<bool>* cancel);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_HTTP_GET_H
