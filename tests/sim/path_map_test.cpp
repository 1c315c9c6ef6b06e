// The lexical path map shared by the seam and the board, and the seam's
// Path, Open and Access with and without a board root.
#include <fcntl.h>
#include <stdlib.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/sim/path_map.h"
#include "sim_harness.h"

namespace {

TEST(PathMap, NormalisesLexicallyAndClampsAtTheTop) {
    const std::pair<const char*, const char*> cases[] = {
        {"/", "/"},
        {"/opt/lpc3250/chncfg", "/opt/lpc3250/chncfg"},
        {"/a//b/", "/a/b"},
        {"/a/./b/.", "/a/b"},
        {"/a/../b", "/b"},
        {"/..", "/"},
        {"/../../etc/passwd", "/etc/passwd"},
        {"/a/b/../../../..", "/"},
        {"/a/..b/c..", "/a/..b/c.."},  // only whole ".." components climb
        {"/dev/../dev/./watchdog", "/dev/watchdog"},
        {"//", "/"},                 // no host root name: just "/"
        {"///opt//x", "/opt/x"},
        {"/.", "/"},
        {"/a/b/..", "/a"},           // lexically_normal leaves "/a/": the slash must go
        {"/a/b/./", "/a/b"},
        {"../x", "/x"},              // read as if from "/"
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(sim::NormalizeTerminalPath(in), out) << in;
}

TEST(PathMap, MapsAbsolutePathsUnderTheRootOnly) {
    EXPECT_EQ(sim::MapUnderRoot("/r", "/"), "/r");
    EXPECT_EQ(sim::MapUnderRoot("/r", "/tmp/"), "/r/tmp");
    EXPECT_EQ(sim::MapUnderRoot("/r", "/x/../../../y"), "/r/y");
    EXPECT_EQ(sim::MapUnderRoot("/r", "x/../../y"), "x/../../y");  // relative: the caller's business
    EXPECT_EQ(sim::MapUnderRoot("/r", ""), "");
}

TEST(PathMap, FindsDotDotComponentsAndPrefixes) {
    for (const char* yes : {"..", "/..", "a/..", "../a", "/opt/../x", "a//../"})
        EXPECT_TRUE(sim::HasDotDotComponent(yes)) << yes;
    for (const char* no : {"a..b", "...", "/a/..b", "/b../c", "", "/"})
        EXPECT_FALSE(sim::HasDotDotComponent(no)) << no;
    EXPECT_TRUE(sim::PathIsUnder("/sim", "/sim"));
    EXPECT_TRUE(sim::PathIsUnder("/sim/board.sock", "/sim"));
    EXPECT_FALSE(sim::PathIsUnder("/simulation", "/sim"));
    EXPECT_FALSE(sim::PathIsUnder("/si", "/sim"));
}

TEST(SeamPath, MapsUnderTheRootAndKeepsRelativePaths) {
    simtest::TempDir root;
    ::setenv("PATERM_ROOT", root.path().c_str(), 1);
    EXPECT_EQ(board::Path("/opt/lpc3250/chncfg"), root.path() + "/opt/lpc3250/chncfg");
    EXPECT_EQ(board::Path("/opt/../../../etc/passwd"), root.path() + "/etc/passwd");
    EXPECT_EQ(board::Path("relative/../x"), "relative/../x");
    // Opening through ".." creates the file inside the root, never above it.
    int fd = board::Open("/../../escaped", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    board::Close(fd);
    EXPECT_TRUE(simtest::Exists(root.path() + "/escaped"));
}

TEST(SeamPath, WithoutRootEveryMappedAccessFailsWithEnoent) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value) ::setenv("PATERM_ROOT", value, 1);
        else ::unsetenv("PATERM_ROOT");
        EXPECT_EQ(board::Path("/opt/lpc3250/chncfg"), "");
        errno = 0;
        EXPECT_EQ(board::Open("/opt/lpc3250/chncfg", O_RDONLY), -1);
        EXPECT_EQ(errno, ENOENT);
        errno = 0;
        EXPECT_EQ(board::Open("/dev/i2c-eeprom0", O_RDONLY), -1);
        EXPECT_EQ(errno, ENOENT);
        errno = 0;
        EXPECT_EQ(board::Access("/", F_OK), -1);  // not the host's "/"
        EXPECT_EQ(errno, ENOENT);
    }
}

}  // namespace
