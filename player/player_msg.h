// The player message record, its sources and types, and the posting
// operations through which every input reaches the central control.
#ifndef PATERM_PLAYER_PLAYER_MSG_H
#define PATERM_PLAYER_PLAYER_MSG_H

#include <atomic>
#include <cstdint>

// One heap block of len + 8 bytes; the receiver frees it.
#pragma pack(push, 1)
struct PlayerMsg {
    uint16_t src;
    uint16_t msgType;
    uint16_t len;
    uint8_t rsv;
    uint8_t data[1];  // len payload bytes; the byte after them is never written
};
#pragma pack(pop)
static_assert(sizeof(PlayerMsg) == 8, "a message with no payload is 8 bytes");
constexpr uint32_t kPlayerMsgOverhead = 8;

enum : uint16_t {
    eMSG_SRC_NET = 0,
    eMSG_SRC_PANEL = 1,
    eMSG_SRC_KNL = 2,
    eMSG_SRC_TIMER = 3,
};

enum : uint16_t {
    eSVC_MSG_TYPE_PWR_ON_OFF = 1,
    eSVC_MSG_TYPE_TIMER_1S = 2,
    eSVC_MSG_TYPE_MMC_INSERT = 3,
    eSVC_MSG_TYPE_MMC_REMOVE = 4,
    eSVC_MSG_TYPE_NEXT_DIR = 5,
    eSVC_MSG_TYPE_PREV_DIR = 6,
    eSVC_MSG_TYPE_NEXT_FILE = 7,
    eSVC_MSG_TYPE_PREV_FILE = 8,
    eSVC_MSG_TYPE_PLAY_STOP = 9,
    eSVC_MSG_TYPE_PLAY_END = 10,
    eSVC_MSG_TYPE_DGT_BRD_START = 11,
    eSVC_MSG_TYPE_DGT_BRD_STOP = 12,
    eSVC_MSG_TYPE_GRP_KEY = 13,
    eSVC_MSG_TYPE_BRD_KEY = 14,
    eSVC_MSG_TYPE_AUTO_KEY = 15,
    eSVC_MSG_TYPE_AUTO_DECTED = 16,
    eSVC_MSG_TYPE_AUTO_LOST = 17,
    eSVC_MSG_TYPE_CHN1_KEY = 18,
    eSVC_MSG_TYPE_CHN1_LEVEL = 19,
    eSVC_MSG_TYPE_CHN2_KEY = 20,
    eSVC_MSG_TYPE_CHN2_LEVEL = 21,
    eSVC_MSG_TYPE_CHN3_KEY = 22,
    eSVC_MSG_TYPE_CHN3_LEVEL = 23,
    eSVC_MSG_TYPE_CHN4_LEVEL = 24,
    eSVC_MSG_TYPE_MASTER_LEVEL = 25,
    eSVC_MSG_TYPE_BASS_LEVEL = 26,
    eSVC_MSG_TYPE_TREBLE_LEVEL = 27,
    eSVC_MSG_TYPE_RF_FILE_PLAY = 28,
    eSVC_MSG_TYPE_RF_STOP = 29,
    eSVC_MSG_TYPE_SERVER_LINK = 30,
    eSVC_MSG_TYPE_PANEL_READY = 31,
    eSVC_MSG_TYPE_PLAYER_GRP_INFO = 32,
    eSVC_MSG_TYPE_GRP_LIST_OPEN = 33,
    eSVC_MSG_TYPE_GRP_LIST_CLOSE = 34,
    eSVC_MSG_TYPE_GRP_LIST_PAGE = 35,
    eSVC_MSG_TYPE_CGI_GET_SYS_STATE = 36,
    eSVC_MSG_TYPE_CGI_SET_BRD_GRP = 37,
    eSVC_MSG_TYPE_CGI_SYS_CTRL = 38,
    eSVC_MSG_TYPE_CGI_EXT_OPTS = 39,
};
constexpr uint16_t kPlayerMsgTypeFirst = eSVC_MSG_TYPE_PWR_ON_OFF;
constexpr uint16_t kPlayerMsgTypeLast = eSVC_MSG_TYPE_CGI_EXT_OPTS;

// The player message queue; -1 until PlayerQueueStart has created it.
extern std::atomic<int32_t> gPlayerQueueId;

// Hands a message to the queue: 0, or -1 (the caller still owns it).
int PlayerMsgSend(PlayerMsg* message);

// The posting operations, one for each kind of source. Each allocates
// len + 8 bytes, copies the payload, posts, and frees on failure.
void PlayerMsgPostNet(uint16_t type, const void* payload, uint16_t len);
int PanelPostMsg(uint16_t type, const void* payload, uint16_t len);
int PlayerMsgPostKnl(uint16_t type, const void* payload, uint16_t len);
// The 1-second tick timer's callback (runs on the timer task).
int PlayerTickPost(void* unused);

#endif  // PATERM_PLAYER_PLAYER_MSG_H
