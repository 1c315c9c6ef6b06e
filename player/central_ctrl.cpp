// The central control's dispatcher: one table row per message type.
//
// Every type from 1 to 39 has a row; a type outside that range is reported
// as invalid.
#include "player/central_ctrl.h"

#include <array>
#include <cstdio>

#include "player/central_steps.h"
#include "player/grp_list.h"
#include "player/web_requests.h"

namespace {

using Handler = void (*)(const PlayerMsg*);

constexpr std::array<Handler, kPlayerMsgTypeLast + 1> BuildTable() {
    std::array<Handler, kPlayerMsgTypeLast + 1> table{};
    table[eSVC_MSG_TYPE_PWR_ON_OFF] = central::OnPwrOnOff;
    table[eSVC_MSG_TYPE_TIMER_1S] = central::OnTick;
    table[eSVC_MSG_TYPE_MMC_INSERT] = central::OnCardInsert;
    table[eSVC_MSG_TYPE_MMC_REMOVE] = central::OnCardRemove;
    table[eSVC_MSG_TYPE_NEXT_DIR] = central::OnNextDir;
    table[eSVC_MSG_TYPE_PREV_DIR] = central::OnPrevDir;
    table[eSVC_MSG_TYPE_NEXT_FILE] = central::OnNextFile;
    table[eSVC_MSG_TYPE_PREV_FILE] = central::OnPrevFile;
    table[eSVC_MSG_TYPE_PLAY_STOP] = central::OnPlayStop;
    table[eSVC_MSG_TYPE_PLAY_END] = central::OnPlayEnd;
    table[eSVC_MSG_TYPE_DGT_BRD_START] = central::OnBrdStart;
    table[eSVC_MSG_TYPE_DGT_BRD_STOP] = central::OnBrdStop;
    table[eSVC_MSG_TYPE_GRP_KEY] = central::OnGrpKey;
    table[eSVC_MSG_TYPE_BRD_KEY] = central::OnBrdKey;
    table[eSVC_MSG_TYPE_AUTO_KEY] = central::OnAutoKey;
    table[eSVC_MSG_TYPE_AUTO_DECTED] = central::OnAudioDetected;
    table[eSVC_MSG_TYPE_AUTO_LOST] = central::OnAudioLost;
    table[eSVC_MSG_TYPE_CHN1_KEY] = central::OnChnKey;
    table[eSVC_MSG_TYPE_CHN1_LEVEL] = central::OnChnLevel;
    table[eSVC_MSG_TYPE_CHN2_KEY] = central::OnChnKey;
    table[eSVC_MSG_TYPE_CHN2_LEVEL] = central::OnChnLevel;
    table[eSVC_MSG_TYPE_CHN3_KEY] = central::OnChnKey;
    table[eSVC_MSG_TYPE_CHN3_LEVEL] = central::OnChnLevel;
    table[eSVC_MSG_TYPE_CHN4_LEVEL] = central::OnChnLevel;
    table[eSVC_MSG_TYPE_MASTER_LEVEL] = central::OnMasterLevel;
    table[eSVC_MSG_TYPE_BASS_LEVEL] = central::OnBassLevel;
    table[eSVC_MSG_TYPE_TREBLE_LEVEL] = central::OnTrebleLevel;
    table[eSVC_MSG_TYPE_RF_FILE_PLAY] = central::OnRfFilePlay;
    table[eSVC_MSG_TYPE_RF_STOP] = central::OnRfStop;
    table[eSVC_MSG_TYPE_SERVER_LINK] = central::OnServerLink;
    table[eSVC_MSG_TYPE_PANEL_READY] = central::OnPanelReady;
    table[eSVC_MSG_TYPE_PLAYER_GRP_INFO] = central::OnGrpInfo;
    table[eSVC_MSG_TYPE_GRP_LIST_OPEN] = central::OnGrpListOpen;
    table[eSVC_MSG_TYPE_GRP_LIST_CLOSE] = central::OnGrpListClose;
    table[eSVC_MSG_TYPE_GRP_LIST_PAGE] = central::OnGrpListPage;
    table[eSVC_MSG_TYPE_CGI_GET_SYS_STATE] = central::OnCgiGetSysState;
    table[eSVC_MSG_TYPE_CGI_SET_BRD_GRP] = central::OnCgiSetBrdGrp;
    table[eSVC_MSG_TYPE_CGI_SYS_CTRL] = central::OnCgiSysCtrl;
    table[eSVC_MSG_TYPE_CGI_EXT_OPTS] = central::OnCgiExtOpts;
    return table;
}

constexpr std::array<Handler, kPlayerMsgTypeLast + 1> kHandlers = BuildTable();

}  // namespace

void PlayerCentralCtrl(const PlayerMsg* message) {
    const uint16_t type = message->msgType;
    if (type < kPlayerMsgTypeFirst || type > kPlayerMsgTypeLast) {
        printf("Central ctrl received invalid msgType:%d \r\n", type);
        return;
    }
    if (kHandlers[type] != nullptr) kHandlers[type](message);
}
