// The server commands received on port 8205, the status report, the version
// answer and the server watch.
#include "net/server_cmd.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "net/net.h"
#include "net/net_frame.h"
#include "player/player_msg.h"
#include "player/player_state.h"
#include "player/settings.h"
#include "runtime/odwrap.h"

namespace {

constexpr int kVersionMajor = 4;
constexpr int kVersionMinor = 5;
constexpr int kVersionPatch = 1;
constexpr uint32_t kServerLostAfter = 3;  // watches before the one that declares the server lost

uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void PwrOnOff(const uint8_t* payload, size_t /*len*/, size_t /*n*/) {
    PlayerMsgPostNet(eSVC_MSG_TYPE_PWR_ON_OFF, payload, 1);
    printf("\nCMD:eSVC_MSG_TYPE_PWR_ON_OFF,%d ", payload[0]);
}

void SetNetParam(const uint8_t* payload, size_t /*len*/, size_t /*n*/) {
    if (WriteNetParams(payload) != 0) return;
    sleep(1);
    board::System("reboot");
}

// The block's own length field decides what is posted; a block claiming more
// bytes than arrived (or fewer than its length field) is dropped, so the
// central control never reads past the datagram.
void GrpInfo(const uint8_t* payload, size_t len, size_t /*n*/) {
    const uint16_t blockLength = LittleEndian16(payload);
    if (blockLength < 2 || blockLength > len) return;
    PlayerMsgPostNet(eSVC_MSG_TYPE_PLAYER_GRP_INFO, payload, blockLength);
    printf("\nCMD:eSVC_MSG_TYPE_PLAYER_GRP_INFO\n ");
}

void Version(const uint8_t* /*payload*/, size_t /*len*/, size_t /*n*/) {
    uint8_t answer[kVersionPayloadLength];
    BuildVersionPayload(answer);
    SendDataToServer(PLAYER_CMD_VERSION_INFO, answer, sizeof answer);
}

// The path must end inside the payload: the receive buffer's older bytes are
// never taken for its end.
void UpgradeUrl(const uint8_t* payload, size_t len, size_t n) {
    if (std::memchr(payload, 0, len) == nullptr) return;
    UpgradeUrlHandle(reinterpret_cast<const char*>(payload), n);
}

void BrdStart(const uint8_t* payload, size_t /*len*/, size_t /*n*/) {
    PlayerMsgPostNet(eSVC_MSG_TYPE_DGT_BRD_START, payload, 8);
    printf("\nCMD:SERVER_CMD_DGT_BRD_START,%d ", payload[0]);
}

void BrdStop(const uint8_t* payload, size_t /*len*/, size_t /*n*/) {
    PlayerMsgPostNet(eSVC_MSG_TYPE_DGT_BRD_STOP, payload, 8);
    printf("\nCMD:SERVER_CMD_DGT_BRD_STOP,%d ", payload[1]);
}

struct ServerCmd {
    uint8_t code;
    size_t minPayload;  // shorter frames are dropped
    void (*run)(const uint8_t* payload, size_t len, size_t n);
};

constexpr ServerCmd kServerCmds[] = {
    {SERVER_CMD_PWR_ON_OFF, 1, PwrOnOff},
    {SERVER_CMD_SET_NET_PARAM, kNetParamsLength, SetNetParam},
    {SERVER_CMD_PLAYER_GRP_INFO, 2, GrpInfo},
    {SERVER_CMD_GET_VERSION, 0, Version},
    {SERVER_CMD_UPGRADE_APP_URL, 1, UpgradeUrl},
    {SERVER_CMD_DGT_BRD_START, 8, BrdStart},
    {SERVER_CMD_DGT_BRD_STOP, 8, BrdStop},
};

bool AddressedToMe(const uint8_t* buf) {
    return std::memcmp(buf + 5, GetDeviceId(), kNetFrameDevIdLength) == 0;
}

void PutLittleEndian16(uint8_t* out, int value) {
    out[0] = static_cast<uint8_t>(value & 0xFF);
    out[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

}  // namespace

void ServerCmdHandle(const uint8_t* buf, size_t n) {
    const int len = FrameCheck(buf, n);
    if (len < kNetFrameLenBase || !AddressedToMe(buf)) return;
    const size_t payloadLength = NetFramePayloadLength(len);
    for (const ServerCmd& cmd : kServerCmds) {
        if (cmd.code != buf[4]) continue;
        if (payloadLength >= cmd.minPayload) cmd.run(buf + kNetFramePayloadOffset, payloadLength, n);
        return;
    }
}

void BuildStatusPayload(int flag, uint8_t out[kStatusPayloadLength]) {
    std::memset(out, 0, kStatusPayloadLength);
    out[32] = static_cast<uint8_t>(GetBrdState());
    PutLittleEndian16(out + 33, GetBrdGrpMask());
    PutLittleEndian16(out + 35, GetBrdId());
    out[37] = flag != 0 ? 1 : 0;
    out[72] = gServerFixed.load(std::memory_order_relaxed) == 1 ? 1 : 0;
}

void StatusReport(int flag) {
    uint8_t payload[kStatusPayloadLength];
    BuildStatusPayload(flag, payload);
    SendDataToServer(PLAYER_CMD_STATUS, payload, sizeof payload);
}

void BuildVersionPayload(uint8_t out[kVersionPayloadLength]) {
    std::memset(out, 0, kVersionPayloadLength);
    out[1] = 0x02;
    char text[kVersionPayloadLength - 2 + 1];
    snprintf(text, sizeof text, "D%d.%d.%d", kVersionMajor, kVersionMinor, kVersionPatch);
    std::memcpy(out + 2, text, std::strlen(text));
}

void ServerWatch(void) {
    StatusReport(0);
    MutexLock(&gSendMutex);
    const uint32_t watches = gServerLostCnt++;
    if (watches > kServerLostAfter) {
        // A server learned from announcements is forgotten, so the next
        // announcing server can be adopted.
        if (gServerFixed.load(std::memory_order_relaxed) == 0) gServerIp.store(0, std::memory_order_relaxed);
        const uint8_t offline = 0;
        PlayerMsgPostNet(eSVC_MSG_TYPE_SERVER_LINK, &offline, 1);
    }
    MutexUnlock(&gSendMutex);
}
