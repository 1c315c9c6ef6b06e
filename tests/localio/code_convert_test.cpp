// GB2312 <-> UTF-8 conversion: exact bytes both ways, the counts left over,
// and what stays in the output when a conversion stops early.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "localio/code_convert.h"

namespace {

// "A中b": the character is D6 D0 in GB2312 and E4 B8 AD in UTF-8.
const std::string kGb = "A\xD6\xD0" "b";
const std::string kUtf8 = "A\xE4\xB8\xAD" "b";
constexpr char kUntouched = '\x5A';

template <size_t N>
std::string Written(const std::array<char, N>& out, size_t outputLeft) {
    return std::string(out.data(), N - outputLeft);
}

}  // namespace

TEST(CodeConvert, ChineseAndAsciiConvertBothWaysWithoutATerminatingZero) {
    std::array<char, 16> out;
    out.fill(kUntouched);
    size_t inLeft = kUtf8.size(), outLeft = out.size();
    ASSERT_EQ(Utf8ToGb2312(kUtf8.data(), &inLeft, out.data(), &outLeft), 0);
    EXPECT_EQ(inLeft, 0u);
    EXPECT_EQ(Written(out, outLeft), kGb);
    EXPECT_EQ(out[kGb.size()], kUntouched);

    out.fill(0);
    ASSERT_EQ(Gb2312ToUtf8(kGb.data(), kGb.size(), out.data(), out.size()), 0);
    EXPECT_EQ(std::string(out.data()), kUtf8);

    const std::string ascii = "Hall 3 / Yard-7";
    out.fill(kUntouched);
    inLeft = ascii.size();
    outLeft = out.size();
    ASSERT_EQ(CodeConvert("gb2312", "utf-8", ascii.data(), &inLeft, out.data(), &outLeft), 0);
    EXPECT_EQ(Written(out, outLeft), ascii);
    EXPECT_EQ(out[ascii.size()], kUntouched);
}

TEST(CodeConvert, StopsAtACharacterGb2312LacksKeepingTheTextBeforeIt) {
    // U+D55C (Hangul) has no GB2312 form.
    const std::string text = "ab\xE4\xB8\xAD\xED\x95\x9C" "c";
    std::array<char, 16> out;
    out.fill(kUntouched);
    size_t inLeft = text.size(), outLeft = out.size();
    EXPECT_EQ(Utf8ToGb2312(text.data(), &inLeft, out.data(), &outLeft), -1);
    EXPECT_EQ(Written(out, outLeft), "ab\xD6\xD0");
    EXPECT_EQ(inLeft, 4u);  // the Hangul character and "c"

    // A GB2312 character cut in half is an incomplete sequence, not text.
    out.fill(0);
    EXPECT_EQ(Gb2312ToUtf8("x\xD6", 2, out.data(), out.size()), -1);
    EXPECT_STREQ(out.data(), "x");

    inLeft = 1;
    outLeft = out.size();
    EXPECT_EQ(CodeConvert("no-such-code", "utf-8", "x", &inLeft, out.data(), &outLeft), -1);
}

TEST(CodeConvert, TooSmallAnOutputHoldsOnlyWholeCharacters) {
    // "中文": 6 UTF-8 bytes, 4 GB2312 bytes.
    const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87";
    std::array<char, 3> gb;
    gb.fill(kUntouched);
    size_t inLeft = utf8.size(), outLeft = gb.size();
    EXPECT_EQ(Utf8ToGb2312(utf8.data(), &inLeft, gb.data(), &outLeft), -1);
    EXPECT_EQ(outLeft, 1u);
    EXPECT_EQ(inLeft, 3u);
    EXPECT_EQ(std::string(gb.data(), 2), "\xD6\xD0");
    EXPECT_EQ(gb[2], kUntouched);  // no half of the second character

    std::array<char, 5> back;
    back.fill(kUntouched);
    const std::string gbText = "\xD6\xD0\xCE\xC4";
    inLeft = gbText.size();
    outLeft = back.size();
    EXPECT_EQ(CodeConvert("gb2312", "utf-8", gbText.data(), &inLeft, back.data(), &outLeft), -1);
    EXPECT_EQ(outLeft, 2u);
    EXPECT_EQ(inLeft, 2u);
    EXPECT_EQ(std::string(back.data(), 3), "\xE4\xB8\xAD");
    EXPECT_EQ(back[3], kUntouched);
}
