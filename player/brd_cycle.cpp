// The broadcast cycle: request, grant, stop, the server's broadcast mode,
// the group, broadcast and auto keys and the audio-detect input.
#include <cstdio>

#include "broadcast/brd_encode.h"
#include "localio/ctrl_panel.h"
#include "mp3/mp3_play.h"
#include "net/server_cmd.h"
#include "player/central_steps.h"
#include "player/player_state.h"
#include "player/settings.h"

namespace {

enum : uint32_t { kBrdIdle = 0, kBrdRequested = 1, kBrdBroadcasting = 2 };

constexpr uint8_t kLedAuto = 12;
constexpr uint8_t kLedBrd = 13;
constexpr uint8_t kLedOff = 1;
constexpr uint8_t kLedOn = 2;
constexpr uint8_t kLedBrdActive = 3;

constexpr uint16_t kGrantLength = 8;
constexpr uint8_t kLastGroup = 9;

void LeaveAutoMode() {
    SetAutoMode(0);
    PanelSendLed(kLedAuto, kLedOff);
}

// Mode 2: the broadcast follows the line audio from now on.
void EnterAutoMode() {
    if (GetAutoMode() != 0) return;
    SetAutoMode(1);
    if (GetAudioDetected() == 1 && GetBrdState() == kBrdIdle) PlayerBrdRequest();
    if (GetAudioDetected() != 1 && GetBrdState() != kBrdIdle) PlayerBrdStop();
    PanelSendLed(kLedAuto, kLedOn);
}

uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

void PlayerBrdRequest(void) {
    SetBrdState(kBrdRequested);
    StatusReport(0);
    PanelSendLed(kLedBrd, kLedBrdActive);
}

void PlayerBrdStop(void) {
    BrdEncodeStop();
    SetBrdState(kBrdIdle);
    SetBrdId(0);
    StatusReport(0);
    PanelSendLed(kLedBrd, kLedOff);
}

void PlayerSetPwrMode(uint8_t mode) {
    switch (mode) {
        case 0:
            if (GetAutoMode() == 1) LeaveAutoMode();
            if (GetBrdState() != kBrdIdle) PlayerBrdStop();
            break;
        case 1:
            if (GetAutoMode() == 1 || GetBrdState() != kBrdIdle) return;
            PlayerBrdRequest();
            break;
        case 2:
            EnterAutoMode();
            break;
        default:
            break;
    }
}

void PlayerAudioDetected(void) {
    SetAudioDetected(1);
    if (GetAutoMode() != 0 && GetBrdState() == kBrdIdle) PlayerBrdRequest();
}

namespace central {

void OnPwrOnOff(const PlayerMsg* m) {
    if (m->len < 1) return;
    PlayerSetPwrMode(m->data[0]);
}

// The grant: id, the address as the server wrote it (bytes 5..2) and the port.
void OnBrdStart(const PlayerMsg* m) {
    if (GetBrdState() != kBrdRequested || m->len < kGrantLength) return;
    const uint8_t* d = m->data;
    char address[16];
    snprintf(address, sizeof address, "%d.%d.%d.%d", d[5], d[4], d[3], d[2]);
    const uint16_t port = LittleEndian16(d + 6);
    // The encoder reads the id while it sets up.
    SetBrdId(LittleEndian16(d));
    BrdEncodeStart(address, port);
    printf("start broadcast on: %s : %d\n", address, port);
    SetBrdState(kBrdBroadcasting);
}

void OnBrdStop(const PlayerMsg* /*m*/) {
    if (GetAutoMode() != 0 && (Mp3IsPlaying() != 0 || GetAudioDetected() != 0)) return;
    PlayerBrdStop();
}

// Keys 0..9 select groups; any other group byte still reports.
void OnGrpKey(const PlayerMsg* m) {
    if (m->len < 1) return;
    const uint8_t group = m->data[0];
    if (group <= kLastGroup) {
        const bool selected = GetBrdGrpBit(group) != 0;
        SetBrdGrpBit(group, selected ? 0 : 1);
        PanelSendLed(group, selected ? kLedOff : kLedOn);
    }
    StatusReport(0);
}

void OnBrdKey(const PlayerMsg* /*m*/) {
    if (GetAutoMode() == 1) return;
    if (GetBrdState() != kBrdIdle)
        PlayerBrdStop();
    else
        PlayerBrdRequest();
}

// Without autoFlag the key can only leave auto mode.
void OnAutoKey(const PlayerMsg* /*m*/) {
    if (GetAutoMode() == 1) {
        LeaveAutoMode();
        return;
    }
    if (GetAutoFlag() != 0) EnterAutoMode();
}

void OnAudioDetected(const PlayerMsg* /*m*/) { PlayerAudioDetected(); }

void OnAudioLost(const PlayerMsg* /*m*/) {
    SetAudioDetected(0);
    if (GetAutoMode() == 0 || Mp3IsPlaying() != 0) return;
    if (GetBrdState() == kBrdIdle) {
        printf("Error:  ");
        puts("Broadcast state error2!");
    }
    PlayerBrdStop();
}

}  // namespace central
