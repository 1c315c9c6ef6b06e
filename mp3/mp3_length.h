// The MP3 length reader: one libmpg123 handle, set up once at start-up, that
// works out a file's playing time for the music listing.
#ifndef PATERM_MP3_MP3_LENGTH_H
#define PATERM_MP3_MP3_LENGTH_H

#include <mpg123.h>

// Sets up libmpg123 and keeps one handle; without it every length is 0.
void Mp3LengthInit(void);
// The handle kept by Mp3LengthInit, or null.
mpg123_handle* Mp3LengthHandle(void);
// Playing time of the file at a terminal path, in whole seconds; 0 on failure.
int Mp3GetFileLength(mpg123_handle* handle, const char* path);

#endif  // PATERM_MP3_MP3_LENGTH_H
