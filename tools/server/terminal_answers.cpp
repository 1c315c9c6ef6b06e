// Decoding and printing of the terminals' answers.
#include "tools/server/terminal_answers.h"

#include <cstdio>

#include "net/net_frame.h"
#include "tools/server/server_frames.h"

namespace srvproto {
namespace {

// The payload of a valid frame of command cmd with exactly want bytes, or
// null.
const uint8_t* Payload(const uint8_t* buf, size_t n, uint8_t cmd, size_t want) {
    const int len = FrameCheck(buf, n);
    if (len < kNetFrameLenBase || buf[4] != cmd) return nullptr;
    if (NetFramePayloadLength(len) != want) return nullptr;
    return buf + kNetFramePayloadOffset;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

std::string Text(const uint8_t* p, size_t max) {
    std::string text;
    for (size_t i = 0; i < max && p[i] != 0; ++i) text += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?';
    return text;
}

constexpr const char* kBrdStateNames[] = {"idle", "requested", "broadcasting"};

}  // namespace

int DecodeStatus(const uint8_t* buf, size_t n, StatusReport* out) {
    *out = StatusReport();
    const uint8_t* p = Payload(buf, n, PLAYER_CMD_STATUS, kStatusPayload);
    if (p == nullptr) return -1;
    out->devId = DeviceIdText(buf + 5);
    out->brdState = p[32];
    out->grpMask = Le16(p + 33);
    out->brdId = Le16(p + 35);
    out->request = p[37];
    out->fixed = p[72];
    return 0;
}

int DecodeVersion(const uint8_t* buf, size_t n, VersionInfo* out) {
    *out = VersionInfo();
    const uint8_t* p = Payload(buf, n, PLAYER_CMD_VERSION_INFO, kVersionPayload);
    if (p == nullptr) return -1;
    out->devId = DeviceIdText(buf + 5);
    out->kind0 = p[0];
    out->kind1 = p[1];
    out->text = Text(p + 2, kVersionPayload - 2);
    return 0;
}

int DecodeSearchAck(const uint8_t* buf, size_t n, SearchAck* out) {
    *out = SearchAck();
    const uint8_t* p = Payload(buf, n, PLAYER_CMD_SEARCH_ACK, kSearchAckPayload);
    if (p == nullptr) return -1;
    out->devId = DeviceIdText(buf + 5);
    out->id = Text(p, 10);
    out->addr = Be32(p + 128);
    out->mask = Be32(p + 132);
    out->gateway = Be32(p + 136);
    return 0;
}

int DecodeLoginAck(const uint8_t* buf, size_t n, LoginAck* out) {
    *out = LoginAck();
    const uint8_t* p = Payload(buf, n, PLAYER_CMD_LOGIN_ACK, kLoginAckPayload);
    if (p == nullptr) return -1;
    out->devId = DeviceIdText(buf + 5);
    out->result = p[0];
    return 0;
}

std::string DottedAddress(uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return text;
}

std::string FormatStatus(const StatusReport& s, const std::string& from) {
    std::string groups;
    for (int g = 0; g < 16; ++g) {
        if (s.grpMask & (1u << g)) groups += (groups.empty() ? "" : ",") + std::to_string(g);
    }
    const char* state = s.brdState < 3 ? kBrdStateNames[s.brdState] : "unknown";
    char line[256];
    std::snprintf(line, sizeof line,
                  "status from %s %s: brdState %u (%s), groups 0x%04X [%s], brdId %u, request %u, fixed %u",
                  from.c_str(), s.devId.c_str(), s.brdState, state, s.grpMask, groups.c_str(), s.brdId, s.request,
                  s.fixed);
    return line;
}

std::string FormatVersion(const VersionInfo& v, const std::string& from) {
    char line[160];
    std::snprintf(line, sizeof line, "version from %s %s: %s (0x%02X 0x%02X)", from.c_str(), v.devId.c_str(),
                  v.text.c_str(), v.kind0, v.kind1);
    return line;
}

std::string FormatSearchAck(const SearchAck& a, const std::string& from) {
    return "found " + a.id + " at " + DottedAddress(a.addr) + " mask " + DottedAddress(a.mask) + " gateway " +
           DottedAddress(a.gateway) + " (answer from " + from + ")";
}

std::string FormatLoginAck(const LoginAck& a, const std::string& from) {
    return "login answer from " + from + " " + a.devId + ": " + (a.result == 0 ? "success" : "failure");
}

}  // namespace srvproto
