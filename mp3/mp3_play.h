// MP3 playback: the play task copies the current file of the library to the
// decoder device "/dev/vs10xx" through a ring of 4096-byte blocks that a
// 10 ms timer keeps filled. The central control starts, stops and pauses it.
#ifndef PATERM_MP3_MP3_PLAY_H
#define PATERM_MP3_MP3_PLAY_H

#include <cstdint>

// Creates the play gate (held by the controller: stopped) and the play task.
// 0, or -1 after "Start Mp3PlayTask fail! \r".
int Mp3PlayTaskStart(void);
void* Mp3PlayTask(void* argument);
// One file, from its open to the closing of file and device (the play task).
void Mp3PlayFile(void);

// Starts the current file when stopped; a running playback only loses its pause.
void Mp3Play(void);
// Stops playback; returns once the task has closed the file and the device.
void Mp3Stop(void);
// Once a second from the central control: counts and shows the play time.
void Mp3PlayTick(void);

// 1 while a file plays (paused included), else 0.
int Mp3IsPlaying(void);
int Mp3IsPaused(void);
void Mp3SetPaused(int paused);
// Seconds played of the current file.
uint32_t Mp3PlaySeconds(void);

#endif  // PATERM_MP3_MP3_PLAY_H
