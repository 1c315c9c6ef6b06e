// What the panel shows of the terminal's state: the full refresh after the
// panel announces itself, and the server link switch.
#include <chrono>
#include <thread>

#include "localio/ctrl_panel.h"
#include "mp3/mp3_library.h"
#include "player/central_steps.h"
#include "player/player_state.h"

namespace {

constexpr uint8_t kSwitchUnused = 5;
constexpr uint8_t kSwitchServer = 6;
constexpr uint8_t kLedAuto = 12;
constexpr uint8_t kLedBrd = 13;
constexpr uint8_t kLedOff = 1;
constexpr uint8_t kLedOn = 2;
constexpr uint8_t kLedBrdActive = 3;
constexpr uint8_t kGroups = 10;

// A short pause between frames, so the panel's receiver keeps up.
void Pause() { std::this_thread::sleep_for(std::chrono::microseconds(10)); }

uint8_t Byte(int value) { return static_cast<uint8_t>(value); }

}  // namespace

void PlayerPanelRefresh(void) {
    Pause();
    PanelSendSwitch(kSwitchUnused, 0);
    PanelSendSwitch(2, Byte(GetChn2On()));
    PanelSendSwitch(3, Byte(GetChn3On()));
    PanelSendSwitch(1, Byte(GetChn1On()));
    PanelSendSwitch(kSwitchServer, Byte(GetServerOnline()));
    for (uint8_t group = 0; group < kGroups; ++group) {
        Pause();
        PanelSendLed(group, GetBrdGrpBit(group) != 0 ? kLedOn : kLedOff);
    }
    Pause();
    PanelSendLed(kLedBrd, GetBrdState() != 0 ? kLedBrdActive : kLedOff);
    Pause();
    PanelSendLed(kLedAuto, GetAutoMode() != 0 ? kLedOn : kLedOff);
    Pause();
    Mp3ShowCurFile();
}

void PlayerSetServerLink(uint32_t value) {
    if (static_cast<int>(value) == GetServerOnline()) return;
    SetServerOnline(value);
    PanelSendSwitch(kSwitchServer, Byte(static_cast<int>(value)));
}

namespace central {

void OnServerLink(const PlayerMsg* m) {
    if (m->len < 1) return;
    PlayerSetServerLink(m->data[0]);
}

void OnPanelReady(const PlayerMsg* /*m*/) {
    SetPanelReady(1);
    PlayerPanelRefresh();
}

}  // namespace central
