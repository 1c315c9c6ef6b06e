// The central control: the one handler of player messages, run by the
// player manager task, which alone changes the terminal's state.
#ifndef PATERM_PLAYER_CENTRAL_CTRL_H
#define PATERM_PLAYER_CENTRAL_CTRL_H

#include "player/player_msg.h"

void PlayerCentralCtrl(const PlayerMsg* message);

#endif  // PATERM_PLAYER_CENTRAL_CTRL_H
