// Text encoding conversion between GB2312 (names on the SD card, the panel's
// display, the web pages' state reply) and UTF-8 (the music listing, the
// server's group names), over the iconv interface.
#ifndef PATERM_LOCALIO_CODE_CONVERT_H
#define PATERM_LOCALIO_CODE_CONVERT_H

#include <cstddef>

// Converts *inputLeft bytes of input from fromCode to toCode into output,
// which has *outputLeft free bytes. On return the two counts hold what was
// left over, so the caller's output length is its buffer size minus
// *outputLeft. Returns 0, or -1 when the converter cannot be opened or the
// conversion stopped early (an invalid or incomplete input sequence, a
// character the target cannot represent, too little output space); what was
// converted before the failure stays in output, always whole characters.
// No terminating zero byte is written. Safe from any task: every call opens
// its own converter.
[[nodiscard]] int CodeConvert(const char* fromCode, const char* toCode, const char* input, size_t* inputLeft,
                              char* output, size_t* outputLeft);

// GB2312 to UTF-8 with the lengths passed by value: the caller does not learn
// how much was written and zero-fills output beforehand. 0 or -1.
[[nodiscard]] int Gb2312ToUtf8(const char* input, size_t inputLength, char* output, size_t outputSize);

// UTF-8 to GB2312; the counts work as in CodeConvert. 0 or -1.
[[nodiscard]] int Utf8ToGb2312(const char* input, size_t* inputLeft, char* output, size_t* outputLeft);

#endif  // PATERM_LOCALIO_CODE_CONVERT_H
