// The PlayerState record and its accessors.
#include "player/player_state.h"

#include <atomic>

namespace {

struct PlayerStateRecord {
#define PLAYER_STATE_MEMBER(Name, field, width) std::atomic<width> field{0};
    PLAYER_STATE_FIELDS(PLAYER_STATE_MEMBER)
#undef PLAYER_STATE_MEMBER
};

PlayerStateRecord gPlayerState;

constexpr uint32_t kGrpMaskBits = 16;

}  // namespace

#define PLAYER_STATE_DEFINE_ACCESSORS(Name, field, width)                              \
    int Get##Name(void) { return static_cast<int>(gPlayerState.field.load(std::memory_order_relaxed)); } \
    void Set##Name(uint32_t value) {                                                     \
        gPlayerState.field.store(static_cast<width>(value), std::memory_order_relaxed); \
    }
PLAYER_STATE_FIELDS(PLAYER_STATE_DEFINE_ACCESSORS)
#undef PLAYER_STATE_DEFINE_ACCESSORS

int GetBrdGrpBit(uint32_t bit) {
    bit &= 0xFFu;
    if (bit >= kGrpMaskBits) return 0;
    return (GetBrdGrpMask() >> bit) & 1;
}

void SetBrdGrpBit(uint32_t bit, uint32_t on) {
    bit &= 0xFFu;
    if (bit >= kGrpMaskBits) return;
    const uint32_t mask = static_cast<uint32_t>(GetBrdGrpMask());
    SetBrdGrpMask(on == 1 ? (mask | (1u << bit)) : (mask & ~(1u << bit)));
}

void PlayerStateClear(void) {
#define PLAYER_STATE_CLEAR(Name, field, width) Set##Name(0);
    PLAYER_STATE_FIELDS(PLAYER_STATE_CLEAR)
#undef PLAYER_STATE_CLEAR
}
