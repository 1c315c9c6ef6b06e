// The MP3 length reader: whole seconds from libmpg123, 0 with a message for
// files it cannot open or read.
#include <gtest/gtest.h>

#include "mp3/mp3_length.h"
#include "tests/support/board_root.h"
#include "tests/support/mp3_fixture.h"

using testsupport::TempBoardRoot;

TEST(Mp3Length, WholeSecondsOfAFileOnTheCard) {
    TempBoardRoot root;
    Mp3LengthInit();
    ASSERT_NE(Mp3LengthHandle(), nullptr);
    // 400 frames of 1152 samples at 44.1 kHz play for 10.45 s.
    testsupport::WriteSilentMp3(root.at("/mmc/long.mp3"), 400);
    EXPECT_EQ(Mp3GetFileLength(Mp3LengthHandle(), "/mmc/long.mp3"), 10);
    testsupport::WriteSilentMp3(root.at("/mmc/short.mp3"), 30);
    EXPECT_EQ(Mp3GetFileLength(Mp3LengthHandle(), "/mmc/short.mp3"), 0);
}

TEST(Mp3Length, MissingFileIsReportedWithItsTerminalPath) {
    TempBoardRoot root;
    Mp3LengthInit();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Mp3GetFileLength(Mp3LengthHandle(), "/mmc/01a/02none.mp3"), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind(" <mpg123> can't open /mmc/01a/02none.mp3 error! :", 0), 0u);
}

TEST(Mp3Length, FileWithoutMpegFramesHasNoLength) {
    TempBoardRoot root;
    Mp3LengthInit();
    root.write("/mmc/text.mp3", std::vector<uint8_t>(2000, 'x'));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Mp3GetFileLength(Mp3LengthHandle(), "/mmc/text.mp3"), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("mpg123 get parameter error"), std::string::npos);
}

TEST(Mp3Length, NoHandleMeansNoLength) {
    TempBoardRoot root;
    testsupport::WriteSilentMp3(root.at("/mmc/a.mp3"), 400);
    EXPECT_EQ(Mp3GetFileLength(nullptr, "/mmc/a.mp3"), 0);
}
