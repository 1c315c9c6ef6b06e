// The MP3 player's play state as the central control reads it.
#ifndef PATERM_MP3_MP3_PLAY_H
#define PATERM_MP3_MP3_PLAY_H

// 1 while a file plays (paused included), else 0. No player is wired in
// yet, so nothing ever plays.
int Mp3IsPlaying(void);

#endif  // PATERM_MP3_MP3_PLAY_H
