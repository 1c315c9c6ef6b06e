// Interim definitions while the player is being built: nothing plays. Each
// definition goes as its real one lands.
#include "mp3/mp3_play.h"

int Mp3PlayTaskStart(void) { return 0; }
void* Mp3PlayTask(void*) { return nullptr; }
void Mp3Play(void) {}
void Mp3Stop(void) {}
void Mp3PlayTick(void) {}
int Mp3IsPaused(void) { return 0; }
void Mp3SetPaused(int) {}
uint32_t Mp3PlaySeconds(void) { return 0; }
