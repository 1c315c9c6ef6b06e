// The central control's SD card and MP3 rows: card insertion and removal,
// folder and file selection, play/stop, the end of a file and the RF
// remote's file keys. Channel 4 is the MP3 player's channel: its on flag is
// the central control's own record of whether the player is in use.
#include <unistd.h>

#include <cstdio>

#include "board/board.h"
#include "mp3/mp3_library.h"
#include "mp3/mp3_play.h"
#include "player/central_steps.h"
#include "player/player_state.h"
#include "runtime/vos.h"

namespace {

constexpr int kMp3Channel = 4;
constexpr uint32_t kCardSettleMs = 1000;
constexpr uint8_t kRfPauseKey = 11;

void StopAndSilence() {
    Mp3Stop();
    PlayerSetChnOn(kMp3Channel, 0);
}

void PlayAndOpen() {
    Mp3Play();
    PlayerSetChnOn(kMp3Channel, 1);
}

void TogglePause() {
    if (Mp3IsPlaying() == 0) return;
    if (Mp3IsPaused() != 0) {
        printf("resume mp3 player");
        Mp3SetPaused(0);
    } else {
        Mp3SetPaused(1);
        printf("pause mp3 player");
    }
}

}  // namespace

namespace central {

// The card's partition node appears a little after the insertion event.
void OnCardInsert(const PlayerMsg* /*m*/) {
    VosSleepMs(kCardSettleMs);
    if (board::Access(kMp3CardNode, F_OK) == 0) Mp3CardReady();
}

void OnCardRemove(const PlayerMsg* /*m*/) {
    if (GetChn4On() != 0) Mp3Stop();
    Mp3CardAbsent();
    PlayerSetChnOn(kMp3Channel, 0);
}

void OnNextDir(const PlayerMsg* /*m*/) {
    Mp3NextDir();
    PlayerSetChnOn(kMp3Channel, 0);
}

void OnPrevDir(const PlayerMsg* /*m*/) {
    Mp3PrevDir();
    PlayerSetChnOn(kMp3Channel, 0);
}

void OnNextFile(const PlayerMsg* /*m*/) {
    Mp3NextFile();
    PlayerSetChnOn(kMp3Channel, 0);
}

void OnPrevFile(const PlayerMsg* /*m*/) {
    Mp3PrevFile();
    PlayerSetChnOn(kMp3Channel, 0);
}

// The key toggles on channel 4's flag, not on the player's state.
void OnPlayStop(const PlayerMsg* /*m*/) {
    if (GetChn4On() == 0) {
        PlayAndOpen();
    } else {
        StopAndSilence();
    }
}

void OnPlayEnd(const PlayerMsg* /*m*/) { StopAndSilence(); }

void OnRfFilePlay(const PlayerMsg* m) {
    printf("enter ProcRfCmdFilePlay");
    if (m->len < 1) return;
    const uint8_t key = m->data[0];
    if (key == kRfPauseKey) {
        TogglePause();
        return;
    }
    if (Mp3SelectFile(key) == 1) PlayAndOpen();
}

void OnRfStop(const PlayerMsg* /*m*/) {
    if (GetChn4On() == 1) StopAndSilence();
}

}  // namespace central
