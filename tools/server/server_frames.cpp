// Builders of the frames paterm-server sends.
#include "tools/server/server_frames.h"

#include <algorithm>

#include "net/net_frame.h"

namespace srvproto {
namespace {

Bytes Frame(uint8_t cmd, const uint8_t* id, const uint8_t* payload, size_t n) {
    Bytes out(n + kNetFrameOverhead);
    const size_t built = NetFrameBuild(out.data(), out.size(), cmd, id, payload, n);
    out.resize(built);
    return out;
}

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

bool PathByteSafe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
           c == '_' || c == '-';
}

}  // namespace

bool ParseDeviceId(const std::string& text, DevId* out) {
    if (text.size() != out->size()) return false;
    for (char c : text) {
        if (c < 0x21 || c > 0x7E) return false;
    }
    for (size_t i = 0; i < out->size(); ++i) (*out)[i] = static_cast<uint8_t>(text[i]);
    return true;
}

std::string DeviceIdText(const uint8_t* id) {
    std::string text;
    for (size_t i = 0; i < kNetFrameDevIdLength; ++i) {
        const uint8_t c = id[i];
        text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return text;
}

std::array<uint8_t, 8> GrantPayload(const Grant& grant) {
    std::array<uint8_t, 8> p{};
    PutLe16(&p[0], grant.brdId);
    PutLe32(&p[2], grant.addr);  // host-order value stored little-endian: last octet first
    PutLe16(&p[6], grant.port);
    return p;
}

std::array<uint8_t, 12> NetParamsPayload(const NetParams& params) {
    std::array<uint8_t, 12> p{};
    PutBe32(&p[0], params.addr);
    PutBe32(&p[4], params.mask);
    PutBe32(&p[8], params.gateway);
    return p;
}

Bytes GroupNamesBlock(const std::vector<std::string>& names) {
    if (names.size() > kGroupCount) return {};
    Bytes block(2);
    for (size_t g = 0; g < kGroupCount; ++g) {
        const std::string name = g < names.size() ? names[g] : std::string();
        if (name.size() > 255) return {};
        block.push_back(static_cast<uint8_t>(name.size()));
        block.insert(block.end(), name.begin(), name.end());
    }
    if (block.size() + kNetFrameOverhead > kMaxCommandFrame) return {};
    PutLe16(block.data(), static_cast<uint16_t>(block.size()));
    return block;
}

bool UpgradePathSafe(const std::string& path) {
    if (path.size() < 2 || path.size() > kMaxUpgradePath || path[0] != '/') return false;
    for (char c : path) {
        if (!PathByteSafe(c)) return false;
    }
    return path.find("..") == std::string::npos;
}

Bytes BuildMode(const DevId& id, uint8_t mode) { return Frame(SERVER_CMD_PWR_ON_OFF, id.data(), &mode, 1); }

Bytes BuildGrant(const DevId& id, const Grant& grant) {
    const auto p = GrantPayload(grant);
    return Frame(SERVER_CMD_DGT_BRD_START, id.data(), p.data(), p.size());
}

Bytes BuildStop(const DevId& id, uint16_t brdId) {
    // The terminal passes these 8 bytes on unread; they name the broadcast
    // the way the grant did.
    std::array<uint8_t, 8> p{};
    PutLe16(&p[0], brdId);
    return Frame(SERVER_CMD_DGT_BRD_STOP, id.data(), p.data(), p.size());
}

Bytes BuildGroupNames(const DevId& id, const std::vector<std::string>& names) {
    const Bytes block = GroupNamesBlock(names);
    if (block.empty()) return {};
    return Frame(SERVER_CMD_PLAYER_GRP_INFO, id.data(), block.data(), block.size());
}

Bytes BuildVersionQuery(const DevId& id) { return Frame(SERVER_CMD_GET_VERSION, id.data(), nullptr, 0); }

Bytes BuildNetParams(const DevId& id, const NetParams& params) {
    const auto p = NetParamsPayload(params);
    return Frame(SERVER_CMD_SET_NET_PARAM, id.data(), p.data(), p.size());
}

Bytes BuildUpgradeUrl(const DevId& id, const std::string& path) {
    if (!UpgradePathSafe(path)) return {};
    Bytes p(path.begin(), path.end());
    p.push_back(0);
    return Frame(SERVER_CMD_UPGRADE_APP_URL, id.data(), p.data(), p.size());
}

Bytes BuildAnnounce(uint32_t now) {
    DevId area{};
    PutLe32(area.data(), now);
    return Frame(SERVER_CMD_ANNOUNCE, area.data(), nullptr, 0);
}

Bytes BuildAnnounceIp(uint32_t now, uint32_t serverAddr) {
    // Bytes 13-16 straddle the end of the identifier area and the payload.
    DevId area{};
    PutLe32(area.data(), now);
    uint8_t addr[4];
    PutBe32(addr, serverAddr);
    area[8] = addr[0];
    area[9] = addr[1];
    return Frame(SERVER_CMD_ANNOUNCE_IP, area.data(), addr + 2, 2);
}

Bytes BuildSearch(const DevId& id) { return Frame(SERVER_CMD_SEARCH_PLAYER, id.data(), nullptr, 0); }

Bytes BuildLogin(const DevId& id, const std::string& user, const std::string& password, const NetParams& params) {
    if (user.size() > kLoginFieldLength || password.size() > kLoginFieldLength) return {};
    Bytes p(2 * kLoginFieldLength, 0);
    std::copy(user.begin(), user.end(), p.begin());
    std::copy(password.begin(), password.end(), p.begin() + kLoginFieldLength);
    const auto net = NetParamsPayload(params);
    p.insert(p.end(), net.begin(), net.end());
    return Frame(SERVER_CMD_LOGIN_SET_NET, id.data(), p.data(), p.size());
}

}  // namespace srvproto
