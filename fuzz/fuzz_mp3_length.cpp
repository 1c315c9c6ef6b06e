// The length reader on whatever a card holds: the input is written as an
// MP3 file on the board root and its playing time read through the one
// libmpg123 handle, as the music listing does for every file.
#include "fuzz/fuzz_support.h"
#include "mp3/mp3_length.h"

namespace {
constexpr const char* kFile = "/mmc/00fuzz.mp3";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::BoardRoot();
    Mp3LengthInit();
    return Mp3LengthHandle() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::WriteFile(kFile, data, size);
    Mp3GetFileLength(Mp3LengthHandle(), kFile);
    return 0;
}
