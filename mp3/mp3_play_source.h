// Where the play task's file comes from, and the play of one open file:
// the seam through which a test hands the player a descriptor of its own
// (a pipe standing for a card that stops answering, a file of known bytes).
#ifndef PATERM_MP3_MP3_PLAY_SOURCE_H
#define PATERM_MP3_MP3_PLAY_SOURCE_H

#include <functional>

// Opens the file to play: its descriptor, or -1 after printing why.
using Mp3FileSource = std::function<int()>;
// An empty source restores the library's current file (the default).
void Mp3SetFileSource(Mp3FileSource source);

// Plays the open file fd (owned from here on) to the device at devicePath:
// pre-fill, device open, fill timer, play loop, and the closing of both.
void Mp3PlayDescriptor(int fd, const char* devicePath);

#endif  // PATERM_MP3_MP3_PLAY_SOURCE_H
