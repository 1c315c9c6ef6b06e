// The MP3 player's play state. Playback itself is not built yet: the state
// stays "not playing" until it is.
#include "mp3/mp3_play.h"

int Mp3IsPlaying(void) { return 0; }
