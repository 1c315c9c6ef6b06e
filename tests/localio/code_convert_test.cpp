// GB2312 <-> UTF-8 conversion: exact bytes both ways, the counts left over,
// and what stays in the output when a conversion stops early.
#include <gtest/gtest.h>

#include <string>

#include "localio/code_convert.h"

namespace {

// "A中b": the character is D6 D0 in GB2312 and E4 B8 AD in UTF-8.
const std::string kGb = "A\xD6\xD0" "b";
const std::string kUtf8 = "A\xE4\xB8\xAD" "b";
constexpr char kUntouched = '\x5A';

using Convert = int (*)(const char*, size_t*, char*, size_t*);
int GbToUtf8Counted(const char* in, size_t* inLeft, char* out, size_t* outLeft) {
    return CodeConvert("gb2312", "utf-8", in, inLeft, out, outLeft);
}

struct Converted {
    int rc;
    std::string written;  // the buffer size minus the count left
    size_t inputLeft;
};

// Converts into an outSize-byte buffer and checks nothing was written
// beyond the count the conversion reports (no terminating zero either).
Converted ConvertInto(Convert convert, const std::string& in, size_t outSize) {
    std::string buffer(outSize + 1, kUntouched);
    size_t inLeft = in.size(), outLeft = outSize;
    const int rc = convert(in.data(), &inLeft, buffer.data(), &outLeft);
    const size_t written = outSize - outLeft;
    EXPECT_EQ(buffer.find_first_not_of(kUntouched, written), std::string::npos) << "written past its count";
    return {rc, buffer.substr(0, written), inLeft};
}

}  // namespace

TEST(CodeConvert, ChineseAndAsciiConvertBothWays) {
    Converted r = ConvertInto(Utf8ToGb2312, kUtf8, 16);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.written, kGb);
    EXPECT_EQ(r.inputLeft, 0u);
    r = ConvertInto(GbToUtf8Counted, kGb, 16);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.written, kUtf8);
    for (Convert convert : {Convert{Utf8ToGb2312}, Convert{GbToUtf8Counted}}) {
        r = ConvertInto(convert, "Hall 3 / Yard-7", 16);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.written, "Hall 3 / Yard-7");
    }
    // The by-value form: the caller's zero-filled buffer ends the text.
    char out[16] = {};
    ASSERT_EQ(Gb2312ToUtf8(kGb.data(), kGb.size(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), kUtf8);
}

TEST(CodeConvert, AFailureKeepsTheWholeCharactersConvertedBeforeIt) {
    // U+D55C (Hangul) has no GB2312 form: the text before it stays.
    Converted r = ConvertInto(Utf8ToGb2312, "ab\xE4\xB8\xAD\xED\x95\x9C" "c", 16);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.written, "ab\xD6\xD0");
    EXPECT_EQ(r.inputLeft, 4u);

    // "中文" into too small an output, both ways: no half character.
    r = ConvertInto(Utf8ToGb2312, "\xE4\xB8\xAD\xE6\x96\x87", 3);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.written, "\xD6\xD0");
    EXPECT_EQ(r.inputLeft, 3u);
    r = ConvertInto(GbToUtf8Counted, "\xD6\xD0\xCE\xC4", 5);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.written, "\xE4\xB8\xAD");
    EXPECT_EQ(r.inputLeft, 2u);

    // A GB2312 character cut in half, and an unknown encoding.
    r = ConvertInto(GbToUtf8Counted, "x\xD6", 16);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.written, "x");
    size_t inLeft = 1, outLeft = 4;
    char out[4];
    EXPECT_EQ(CodeConvert("no-such-code", "utf-8", "x", &inLeft, out, &outLeft), -1);
}
