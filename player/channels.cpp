// The four audio channels: on flags, levels, master, bass and treble, and
// their restoration from the channel settings at start-up. Channel 4 is the
// MP3 player's; only channels 1 to 3 have a panel switch.
#include <cstdint>

#include "localio/audio_gpio.h"
#include "localio/ctrl_panel.h"
#include "player/central_steps.h"
#include "player/player_state.h"
#include "player/settings.h"

namespace {

constexpr uint32_t kMaxLevel = 60;
constexpr int kPanelChannels = 3;
constexpr uint8_t kLedAuto = 12;
constexpr uint8_t kLedOff = 1;
constexpr uint8_t kLedOn = 2;
constexpr uint32_t kGroups = 10;

struct ChannelState {
    int (*getOn)();
    void (*setOn)(uint32_t);
    int (*getLevel)();
    void (*setLevel)(uint32_t);
};

constexpr ChannelState kChannelState[kAudioChannels] = {
    {GetChn1On, SetChn1On, GetChn1Level, SetChn1Level},
    {GetChn2On, SetChn2On, GetChn2Level, SetChn2Level},
    {GetChn3On, SetChn3On, GetChn3Level, SetChn3Level},
    {GetChn4On, SetChn4On, GetChn4Level, SetChn4Level},
};

const ChannelState* Channel(int channel) {
    if (channel < 1 || channel > kAudioChannels) return nullptr;
    return &kChannelState[channel - 1];
}

// Master, bass and treble stay within 0..60.
uint8_t LimitLevel(uint8_t value) { return value > kMaxLevel ? kMaxLevel : value; }

void KeyChannel(int channel) {
    const ChannelState* c = Channel(channel);
    PlayerSetChnOn(channel, PlayerToggleChnOn(static_cast<uint32_t>(c->getOn())));
}

}  // namespace

uint32_t PlayerToggleChnOn(uint32_t old) { return old <= 1 ? 1 - old : 0; }

uint8_t PlayerChnVolume(uint32_t level, uint32_t master) { return static_cast<uint8_t>(level * master / kMaxLevel); }

int PlayerSetChnOn(int channel, uint32_t on) {
    const ChannelState* c = Channel(channel);
    if (c == nullptr) return 0;
    c->setOn(on);
    if (channel <= kPanelChannels) PanelSendSwitch(static_cast<uint8_t>(channel), static_cast<uint8_t>(on));
    const uint8_t volume =
        on == 1 ? PlayerChnVolume(static_cast<uint32_t>(c->getLevel()), static_cast<uint32_t>(GetMasterLevel())) : 0;
    AudioSetVolume(channel, volume);
    return 1;
}

int PlayerSetChnLevel(int channel, uint8_t level) {
    const ChannelState* c = Channel(channel);
    if (c == nullptr) return 0;
    c->setLevel(level);
    if (c->getOn() != 0) AudioSetVolume(channel, PlayerChnVolume(level, static_cast<uint32_t>(GetMasterLevel())));
    return 1;
}

void PlayerRestoreChnCfg(void) {
    const player_chn_cfg_t& cfg = *GetChnCfg();
    PlayerSetChnOn(1, cfg.chn1On);
    PlayerSetChnOn(2, cfg.chn2On);
    PlayerSetChnOn(3, cfg.chn3On);
    const bool autoOn = GetAutoFlag() != 0 && cfg.autoMode != 0;
    SetAutoMode(autoOn ? 1 : 0);
    PanelSendLed(kLedAuto, autoOn ? kLedOn : kLedOff);
    const uint32_t groups = cfg.brdGrpMask;
    for (uint32_t group = 0; group < kGroups; ++group) {
        if (((groups >> group) & 1u) == 0) continue;
        SetBrdGrpBit(group, 1);
        PanelSendLed(static_cast<uint8_t>(group), kLedOn);
    }
}

namespace central {

void OnChnKey(const PlayerMsg* m) {
    switch (m->msgType) {
        case eSVC_MSG_TYPE_CHN1_KEY: KeyChannel(1); break;
        case eSVC_MSG_TYPE_CHN2_KEY: KeyChannel(2); break;
        case eSVC_MSG_TYPE_CHN3_KEY: KeyChannel(3); break;
        default: break;
    }
}

void OnChnLevel(const PlayerMsg* m) {
    if (m->len < 1) return;
    int channel = 0;
    switch (m->msgType) {
        case eSVC_MSG_TYPE_CHN1_LEVEL: channel = 1; break;
        case eSVC_MSG_TYPE_CHN2_LEVEL: channel = 2; break;
        case eSVC_MSG_TYPE_CHN3_LEVEL: channel = 3; break;
        case eSVC_MSG_TYPE_CHN4_LEVEL: channel = 4; break;
        default: return;
    }
    // Not limited: the audio side treats a level above 60 as 60.
    PlayerSetChnLevel(channel, m->data[0]);
}

void OnMasterLevel(const PlayerMsg* m) {
    if (m->len < 1) return;
    const uint8_t master = LimitLevel(m->data[0]);
    SetMasterLevel(master);
    for (int channel = 1; channel <= kAudioChannels; ++channel) {
        const ChannelState* c = Channel(channel);
        if (c->getOn() == 1) AudioSetVolume(channel, PlayerChnVolume(master, static_cast<uint32_t>(c->getLevel())));
    }
}

void OnBassLevel(const PlayerMsg* m) {
    if (m->len < 1) return;
    const uint8_t bass = LimitLevel(m->data[0]);
    SetBassLevel(bass);
    for (int channel = 1; channel <= kAudioChannels; ++channel) AudioSetBass(channel, bass);
}

void OnTrebleLevel(const PlayerMsg* m) {
    if (m->len < 1) return;
    const uint8_t treble = LimitLevel(m->data[0]);
    SetTrebleLevel(treble);
    for (int channel = 1; channel <= kAudioChannels; ++channel) AudioSetTreble(channel, treble);
}

}  // namespace central
