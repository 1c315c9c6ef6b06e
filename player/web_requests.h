// The web pages' requests, relayed by the CGI channel: the state query and
// its fixed reply, a new group selection, the control record (broadcast,
// channels, MP3 playback) and new advanced settings. Runs only in the
// player manager task, inside the central control.
#ifndef PATERM_PLAYER_WEB_REQUESTS_H
#define PATERM_PLAYER_WEB_REQUESTS_H

#include <cstddef>
#include <cstdint>

#include "player/player_msg.h"

// The control record: each value applies only when its valid byte is not 0.
#pragma pack(push, 1)
struct SysCtrlPair {
    uint8_t valid;
    uint8_t value;
};

struct SysCtrlRecord {
    SysCtrlPair brd;     // broadcast: non-zero on, 0 off
    SysCtrlPair chn[3];  // channels 1 to 3: the on flag
    SysCtrlPair play;    // 0 stop, 1 play, 2 pause or resume
    SysCtrlPair file;    // 1 previous, 2 next, 3 the folder and file below
    uint8_t folder;
    uint8_t fileNumber;
    uint8_t rsv[2];
};

// The answer to a state query; multi-byte values big-endian.
struct SysStateReply {
    uint8_t zero;
    uint8_t curDir;   // 255: none
    uint8_t curFile;  // 255: none
    uint8_t brdOn;
    uint8_t chn1On;
    uint8_t chn2On;
    uint8_t chn3On;
    uint8_t mp3State;  // 2 paused, 1 playing, 0 stopped
    uint8_t rsv[2];
    uint8_t brdGrpMask[2];
    uint8_t mp3PlaySeconds[4];
    char dirName[128];   // all 0 without a folder
    char fileName[128];  // all 0 without a file
};
#pragma pack(pop)
static_assert(sizeof(SysCtrlRecord) == 16, "the control record is 16 bytes");
static_assert(sizeof(SysStateReply) == 272, "the state reply is 272 bytes");
static_assert(offsetof(SysStateReply, brdGrpMask) == 10 && offsetof(SysStateReply, dirName) == 16 &&
                  offsetof(SysStateReply, fileName) == 144,
              "the web pages read the reply at fixed offsets");

// Sends the terminal's state to the waiting CGI program.
void PlayerSysStateReply(void);
// Applies a control record: broadcast (not in auto mode), channels, file, play.
void PlayerSysCtrl(const SysCtrlRecord* record);

// The message handlers behind the dispatch table (types 36 to 39). A message
// whose payload is shorter than its record is ignored.
namespace central {
void OnCgiGetSysState(const PlayerMsg* m);
void OnCgiSetBrdGrp(const PlayerMsg* m);
void OnCgiSysCtrl(const PlayerMsg* m);
void OnCgiExtOpts(const PlayerMsg* m);
}  // namespace central

#endif  // PATERM_PLAYER_WEB_REQUESTS_H
