// The central control's shared steps: the broadcast cycle, the channels and
// the panel refresh. They run only in the player manager task (the central
// control, the group list and web handlers, the MP3 player's auto hooks).
#ifndef PATERM_PLAYER_CENTRAL_STEPS_H
#define PATERM_PLAYER_CENTRAL_STEPS_H

#include <cstdint>

#include "player/player_msg.h"

// The broadcast cycle (brd_cycle.cpp).
void PlayerBrdRequest(void);
void PlayerBrdStop(void);
// The server's broadcast mode: 0 off, 1 on, 2 auto; other modes do nothing.
void PlayerSetPwrMode(uint8_t mode);
void PlayerAudioDetected(void);

// The channels (channels.cpp). Channels 1 to 4: 1, or 0 for any other
// channel, which changes nothing.
int PlayerSetChnOn(int channel, uint32_t on);
int PlayerSetChnLevel(int channel, uint8_t level);
// The new on flag of a channel key: 1 - old for 0 and 1, 0 for a damaged flag.
uint32_t PlayerToggleChnOn(uint32_t old);
// A channel's volume: level x master / 60, truncated, one byte.
uint8_t PlayerChnVolume(uint32_t level, uint32_t master);
// Start-up: channels, auto mode and groups from the channel settings.
void PlayerRestoreChnCfg(void);

// The panel (panel_refresh.cpp).
void PlayerPanelRefresh(void);
void PlayerSetServerLink(uint32_t value);

// The message handlers behind the dispatch table; each takes the message
// whole, so a handler that needs a payload byte can refuse a message without one.
namespace central {
void OnPwrOnOff(const PlayerMsg* m);
void OnTick(const PlayerMsg* m);
void OnBrdStart(const PlayerMsg* m);
void OnBrdStop(const PlayerMsg* m);
void OnGrpKey(const PlayerMsg* m);
void OnBrdKey(const PlayerMsg* m);
void OnAutoKey(const PlayerMsg* m);
void OnAudioDetected(const PlayerMsg* m);
void OnAudioLost(const PlayerMsg* m);
void OnChnKey(const PlayerMsg* m);
void OnChnLevel(const PlayerMsg* m);
void OnMasterLevel(const PlayerMsg* m);
void OnBassLevel(const PlayerMsg* m);
void OnTrebleLevel(const PlayerMsg* m);
void OnServerLink(const PlayerMsg* m);
void OnPanelReady(const PlayerMsg* m);
void OnCardInsert(const PlayerMsg* m);
void OnCardRemove(const PlayerMsg* m);
void OnNextDir(const PlayerMsg* m);
void OnPrevDir(const PlayerMsg* m);
void OnNextFile(const PlayerMsg* m);
void OnPrevFile(const PlayerMsg* m);
void OnPlayStop(const PlayerMsg* m);
void OnPlayEnd(const PlayerMsg* m);
void OnRfFilePlay(const PlayerMsg* m);
void OnRfStop(const PlayerMsg* m);
}  // namespace central

#endif  // PATERM_PLAYER_CENTRAL_STEPS_H
