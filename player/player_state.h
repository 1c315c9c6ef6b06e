// PlayerState: the terminal's run-time state record, owned by the central
// control task. Other tasks read single fields without a lock, so every field
// is an atomic of the field's width (relaxed loads and stores are enough).
#ifndef PATERM_PLAYER_PLAYER_STATE_H
#define PATERM_PLAYER_PLAYER_STATE_H

#include <cstdint>

// X(Name, field, width): each field has Get<Name> (widened to int) and
// Set<Name> (truncated to the field's width).
#define PLAYER_STATE_FIELDS(X)          \
    X(BrdState, brdState, uint32_t)     \
    X(BrdId, brdId, uint16_t)           \
    X(BrdGrpMask, brdGrpMask, uint16_t) \
    X(AutoMode, autoMode, uint32_t)     \
    X(AudioDetected, audioDetected, uint32_t) \
    X(Chn1On, chn1On, uint32_t)         \
    X(Chn1Level, chn1Level, uint8_t)    \
    X(Chn2On, chn2On, uint32_t)         \
    X(Chn2Level, chn2Level, uint8_t)    \
    X(Chn3On, chn3On, uint32_t)         \
    X(Chn3Level, chn3Level, uint8_t)    \
    X(Chn4On, chn4On, uint32_t)         \
    X(Chn4Level, chn4Level, uint8_t)    \
    X(MasterLevel, masterLevel, uint8_t) \
    X(BassLevel, bassLevel, uint8_t)    \
    X(TrebleLevel, trebleLevel, uint8_t) \
    X(PanelReady, panelReady, uint32_t) \
    X(ServerOnline, serverOnline, uint32_t) \
    X(GrpListActive, grpListActive, uint32_t) \
    X(GrpListPage, grpListPage, uint8_t)

#define PLAYER_STATE_DECLARE_ACCESSORS(Name, field, width) \
    int Get##Name(void);                                   \
    void Set##Name(uint32_t value);
PLAYER_STATE_FIELDS(PLAYER_STATE_DECLARE_ACCESSORS)
#undef PLAYER_STATE_DECLARE_ACCESSORS

// Bit `bit` (taken modulo 256) of brdGrpMask; bits beyond the field read as 0.
int GetBrdGrpBit(uint32_t bit);
// on == 1 sets the bit, any other value clears it; bits beyond the field change nothing.
void SetBrdGrpBit(uint32_t bit, uint32_t on);

// Every field back to 0 (start-up).
void PlayerStateClear(void);

#endif  // PATERM_PLAYER_PLAYER_STATE_H
