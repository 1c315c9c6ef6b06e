// The MP3 length reader on libmpg123.
#include "mp3/mp3_length.h"

#include <cstdio>

#include "board/board.h"

namespace {
mpg123_handle* gMp3LengthHandle;
}

void Mp3LengthInit(void) {
    if (gMp3LengthHandle != nullptr) return;  // one handle for the program's life
    if (mpg123_init() != MPG123_OK) return;
    gMp3LengthHandle = mpg123_new(nullptr, nullptr);
}

mpg123_handle* Mp3LengthHandle(void) { return gMp3LengthHandle; }

int Mp3GetFileLength(mpg123_handle* handle, const char* path) {
    if (handle == nullptr) return 0;
    if (mpg123_open(handle, board::Path(path).c_str()) != MPG123_OK) {
        printf(" <mpg123> can't open %s error! :%s\n", path, mpg123_strerror(handle));
        return 0;
    }
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    int seconds = 0;
    if (mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK || rate <= 0) {
        printf("mpg123 get parameter error");
    } else {
        // A length error (-1) truncates to 0 seconds.
        seconds = static_cast<int>(mpg123_length(handle) / rate);
    }
    mpg123_close(handle);
    return seconds;
}
