// Building and posting player messages.
#include "player/player_msg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/vos.h"

std::atomic<int32_t> gPlayerQueueId{-1};

namespace {

// The texts each poster prints on failure, and how.
struct PostFailureTexts {
    const char* prefix;  // printed first, or null
    const char* allocFailed;
    const char* sendFailed;
    bool viaPuts;
};

constexpr PostFailureTexts kNetTexts = {"Error:  ", "alloc memory fail!\r", "Send msg fail!\r", false};
constexpr PostFailureTexts kPanelTexts = {nullptr, "alloc memory fail 111!\r", "Send msg fail!\r", true};
constexpr PostFailureTexts kKnlTexts = {nullptr, "alloc memory fail!\r", "Send msg fail!\r", false};

void PrintFailure(const PostFailureTexts& texts, const char* text) {
    if (texts.prefix != nullptr) printf("%s", texts.prefix);
    if (texts.viaPuts) {
        puts(text);
    } else {
        printf("%s", text);
    }
}

// malloc, not calloc: the byte after the payload is left as it is.
PlayerMsg* BuildMsg(uint16_t src, uint16_t type, const void* payload, uint16_t len) {
    auto* message = static_cast<PlayerMsg*>(malloc(len + kPlayerMsgOverhead));
    if (message == nullptr) return nullptr;
    message->src = src;
    message->msgType = type;
    message->len = len;
    message->rsv = 0;
    if (payload != nullptr && len != 0) std::memcpy(message->data, payload, len);
    return message;
}

int Post(uint16_t src, uint16_t type, const void* payload, uint16_t len, const PostFailureTexts& texts) {
    PlayerMsg* message = BuildMsg(src, type, payload, len);
    if (message == nullptr) {
        PrintFailure(texts, texts.allocFailed);
        return -1;
    }
    if (PlayerMsgSend(message) != 0) {
        PrintFailure(texts, texts.sendFailed);
        free(message);
        return -1;
    }
    return 0;
}

}  // namespace

int PlayerMsgSend(PlayerMsg* message) {
    const int32_t queueId = gPlayerQueueId.load();
    if (queueId == -1) return -1;
    return VosQueueSend(static_cast<uint32_t>(queueId), message) == eOD_RET_OK ? 0 : -1;
}

void PlayerMsgPostNet(uint16_t type, const void* payload, uint16_t len) {
    Post(eMSG_SRC_NET, type, payload, len, kNetTexts);
}

int PanelPostMsg(uint16_t type, const void* payload, uint16_t len) {
    return Post(eMSG_SRC_PANEL, type, payload, len, kPanelTexts);
}

int PlayerMsgPostKnl(uint16_t type, const void* payload, uint16_t len) {
    return Post(eMSG_SRC_KNL, type, payload, len, kKnlTexts);
}

int PlayerTickPost(void* /*unused*/) {
    return Post(eMSG_SRC_TIMER, eSVC_MSG_TYPE_TIMER_1S, nullptr, 0, kKnlTexts);
}
