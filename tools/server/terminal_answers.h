// Decoders of what terminals send to the server: the status report and the
// version answer (port 8206), the discovery and login answers (group port
// 7806), and the one-line texts paterm-server prints for them.
#ifndef PATERM_TOOLS_SERVER_TERMINAL_ANSWERS_H
#define PATERM_TOOLS_SERVER_TERMINAL_ANSWERS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace srvproto {

constexpr uint8_t PLAYER_CMD_STATUS = 0x81;
constexpr uint8_t PLAYER_CMD_VERSION_INFO = 0x49;
constexpr uint8_t PLAYER_CMD_SEARCH_ACK = 0x82;
constexpr uint8_t PLAYER_CMD_LOGIN_ACK = 0x84;

constexpr size_t kStatusPayload = 73;
constexpr size_t kVersionPayload = 34;
constexpr size_t kSearchAckPayload = 140;
constexpr size_t kLoginAckPayload = 1;

// Decoders answer 0, or -1 when the bytes are not a valid frame of their
// kind with exactly its payload length; the out-record is cleared first.
struct StatusReport {
    std::string devId;
    uint8_t brdState = 0;  // 0 idle, 1 requested, 2 broadcasting
    uint16_t grpMask = 0;  // bit i = group i
    uint16_t brdId = 0;
    uint8_t request = 0;  // 1 when the group list was just opened
    uint8_t fixed = 0;    // 1 when the terminal's server address is fixed
};
int DecodeStatus(const uint8_t* buf, size_t n, StatusReport* out);

struct VersionInfo {
    std::string devId;
    uint8_t kind0 = 0, kind1 = 0;  // bytes 0 and 1 of the payload
    std::string text;             // up to the first zero of bytes 2-33
};
int DecodeVersion(const uint8_t* buf, size_t n, VersionInfo* out);

// Addresses as host-order values.
struct SearchAck {
    std::string devId;  // of the frame
    std::string id;     // the identifier in the payload
    uint32_t addr = 0, mask = 0, gateway = 0;
};
int DecodeSearchAck(const uint8_t* buf, size_t n, SearchAck* out);

struct LoginAck {
    std::string devId;
    uint8_t result = 0;  // 0 success, 1 failure
};
int DecodeLoginAck(const uint8_t* buf, size_t n, LoginAck* out);

std::string DottedAddress(uint32_t hostOrder);
// from: the dotted address the datagram came from.
std::string FormatStatus(const StatusReport& s, const std::string& from);
std::string FormatVersion(const VersionInfo& v, const std::string& from);
std::string FormatSearchAck(const SearchAck& a, const std::string& from);
std::string FormatLoginAck(const LoginAck& a, const std::string& from);

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_TERMINAL_ANSWERS_H
