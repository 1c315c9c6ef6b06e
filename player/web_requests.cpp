// The web requests: the state reply, the group selection, the control record
// and the advanced settings, each from a message the CGI channel posted.
#include "player/web_requests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "localio/ctrl_panel.h"
#include "mp3/mp3_library.h"
#include "mp3/mp3_play.h"
#include "net/cgi_channel.h"
#include "player/central_steps.h"
#include "player/player_state.h"
#include "player/settings.h"

namespace {

static_assert(sizeof(SysStateReply::dirName) == kMp3NameBytes && sizeof(SysStateReply::fileName) == kMp3NameBytes,
              "the reply carries the library's whole name field");

constexpr uint8_t kLedOff = 1;
constexpr uint8_t kLedOn = 2;
constexpr uint32_t kWebGroups = 10;
constexpr int kMp3Channel = 4;

enum : uint8_t { kMp3Stopped = 0, kMp3Playing = 1, kMp3Paused = 2 };
enum : uint8_t { kPlayStop = 0, kPlayStart = 1, kPlayPause = 2 };
enum : uint8_t { kFilePrev = 1, kFileNext = 2, kFileSelect = 3 };

void PutBigEndian16(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

void PutBigEndian32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// The current folder or file of the library: its number, or 255 and an
// all-zero name when there is none.
uint8_t CurrentEntry(int (*get)(uint8_t*, char*), char* name) {
    uint8_t number = MP3_NONE;
    if (get(&number, name) != 0 || number == MP3_NONE) {
        std::memset(name, 0, kMp3NameBytes);
        return MP3_NONE;
    }
    return number;
}

uint8_t Mp3State() {
    if (Mp3IsPaused() != 0) return kMp3Paused;
    return Mp3IsPlaying() != 0 ? kMp3Playing : kMp3Stopped;
}

void ApplyBroadcast(const SysCtrlPair& brd) {
    if (GetAutoMode() == 1 || brd.valid == 0) return;
    if (brd.value != 0) {
        if (GetBrdState() == 0) PlayerBrdRequest();
    } else if (GetBrdState() != 0) {
        PlayerBrdStop();
    }
}

// Every selection but folder-and-file leaves the MP3 channel off.
void ApplyFile(const SysCtrlPair& file, uint8_t folder, uint8_t number) {
    if (file.valid == 0) return;
    switch (file.value) {
        case kFileNext:
            Mp3NextFile();
            PlayerSetChnOn(kMp3Channel, 0);
            break;
        case kFileSelect:
            Mp3SelectDirFile(folder, number);
            break;
        case kFilePrev:
            Mp3PrevFile();
            PlayerSetChnOn(kMp3Channel, 0);
            break;
        default:
            break;
    }
}

void ApplyPlay(const SysCtrlPair& play) {
    if (play.valid == 0) return;
    switch (play.value) {
        case kPlayStart:
            Mp3Play();
            PlayerSetChnOn(kMp3Channel, 1);
            break;
        case kPlayStop:
            Mp3Stop();
            PlayerSetChnOn(kMp3Channel, 0);
            break;
        case kPlayPause:
            if (Mp3IsPlaying() != 0) Mp3SetPaused(Mp3IsPaused() != 0 ? 0 : 1);
            break;
        default:
            break;
    }
}

}  // namespace

void PlayerSysStateReply(void) {
    SysStateReply reply{};
    reply.curDir = CurrentEntry(Mp3GetCurDir, reply.dirName);
    reply.curFile = CurrentEntry(Mp3GetCurFile, reply.fileName);
    reply.brdOn = GetBrdState() != 0 ? 1 : 0;
    reply.chn1On = static_cast<uint8_t>(GetChn1On());
    reply.chn2On = static_cast<uint8_t>(GetChn2On());
    reply.chn3On = static_cast<uint8_t>(GetChn3On());
    reply.mp3State = Mp3State();
    PutBigEndian16(reply.brdGrpMask, static_cast<uint32_t>(GetBrdGrpMask()));
    PutBigEndian32(reply.mp3PlaySeconds, Mp3PlaySeconds());
    SendDataToCgi(&reply, sizeof reply);
}

void PlayerSysCtrl(const SysCtrlRecord* record) {
    ApplyBroadcast(record->brd);
    for (int channel = 1; channel <= 3; ++channel) {
        const SysCtrlPair& chn = record->chn[channel - 1];
        // An on flag is 0 or 1: another value is ignored, not stored.
        if (chn.valid != 0 && chn.value <= 1) PlayerSetChnOn(channel, chn.value);
    }
    ApplyFile(record->file, record->folder, record->fileNumber);
    ApplyPlay(record->play);
}

namespace central {

void OnCgiGetSysState(const PlayerMsg* /*m*/) { PlayerSysStateReply(); }

// The mask comes most significant byte first; bits 10 to 15 name no group.
// The server hears of the new selection with the next status report.
void OnCgiSetBrdGrp(const PlayerMsg* m) {
    if (m->len < 2) return;
    const uint32_t mask = static_cast<uint32_t>(m->data[0] << 8 | m->data[1]);
    for (uint32_t group = 0; group < kWebGroups; ++group) {
        const bool on = ((mask >> group) & 1u) != 0;
        SetBrdGrpBit(group, on ? 1 : 0);
        PanelSendLed(static_cast<uint8_t>(group), on ? kLedOn : kLedOff);
    }
}

void OnCgiSysCtrl(const PlayerMsg* m) {
    if (m->len < sizeof(SysCtrlRecord)) return;
    SysCtrlRecord record;
    std::memcpy(&record, m->data, sizeof record);
    PlayerSysCtrl(&record);
}

// The file first: the web page shows what the file holds, so the terminal
// takes the new settings only once they are stored; a failed write leaves
// the running settings as they were. extopts sends an auto flag of 0 or 1
// and zero reserved bytes: a record with anything else is junk on the
// channel, and neither the file nor the running settings take it.
void OnCgiExtOpts(const PlayerMsg* m) {
    if (m->len < sizeof(player_ext_opts_t)) return;
    player_ext_opts_t record;
    std::memcpy(&record, m->data, sizeof record);
    if (record.autoFlag > 1 ||
        std::any_of(std::begin(record.rsv), std::end(record.rsv), [](uint8_t b) { return b != 0; }))
        return;
    if (PlayerSaveExtOpts(m->data) != 0) {
        printf("Error:  ");
        printf("Save gPlayerExtOpts Error, settings unchanged\r\n");
        return;
    }
    PlayerSetExtOpts(m->data);
}

}  // namespace central
