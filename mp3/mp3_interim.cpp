// Interim definitions while the library is being built: no card is read.
// Each definition goes as its real one lands.
#include <cstring>

#include "mp3/mp3_library.h"

void Mp3CardReady(void) {}
void Mp3CardAbsent(void) {}
void Mp3NextDir(void) {}
void Mp3PrevDir(void) {}
void Mp3NextFile(void) {}
void Mp3PrevFile(void) {}
int Mp3SelectFile(uint8_t) { return 0; }
int Mp3SelectDirFile(uint8_t, uint8_t) { return 0; }
static int NoSelection(uint8_t* number, char* name) {
    if (number == nullptr || name == nullptr) return -1;
    *number = MP3_NONE;
    std::memset(name, 0, kMp3NameBytes);
    return -1;
}
int Mp3GetCurDir(uint8_t* number, char* name) { return NoSelection(number, name); }
int Mp3GetCurFile(uint8_t* number, char* name) { return NoSelection(number, name); }
void Mp3ShowCurFile(void) {}
bool Mp3CurFilePath(char*, size_t) { return false; }
