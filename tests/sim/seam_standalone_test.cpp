// The seam with a board root but no running board, as the CGI programs run:
// files only; the EEPROM file is the one device; no clock setting, no
// shell, no kernel events; rtnetlink is this namespace's own.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/sim/unix_socket.h"
#include "sim_harness.h"

namespace {

class Standalone : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("PATERM_ROOT", root.path().c_str(), 1);
        ::mkdir((root.path() + "/dev").c_str(), 0755);
        ::mkdir((root.path() + "/sim").c_str(), 0755);
        ::mkdir((root.path() + "/opt").c_str(), 0755);
    }
    simtest::TempDir root;
};

TEST_F(Standalone, EepromFileIsTheOnlyDevice) {
    simtest::WriteFile(root.path() + "/dev/i2c-eeprom0", "0123456789abcdefW");
    int fd = board::Open("/dev/i2c-eeprom0", O_RDONLY);
    ASSERT_GE(fd, 0);
    char byte = 0;
    ASSERT_EQ(::lseek(fd, 16, SEEK_SET), 16);
    ASSERT_EQ(board::Read(fd, &byte, 1), 1);
    EXPECT_EQ(byte, 'W');
    EXPECT_EQ(board::Close(fd), 0);

    ::mkdir((root.path() + "/dev/dir").c_str(), 0755);
    for (const char* device : {"/dev/watchdog", "/dev/dir", "/dev/vs10xx"}) {
        errno = 0;
        EXPECT_EQ(board::Open(device, O_RDWR), -1) << device;
        EXPECT_EQ(errno, ENODEV) << device;
    }
}

TEST_F(Standalone, StaleSocketFileStillMeansStandalone) {
    {  // a socket nobody listens on any more, as a crashed board leaves it
        sim::UniqueFd gone = sim::ListenUnix(root.path() + "/sim/board.sock", SOCK_SEQPACKET, 1);
        ASSERT_TRUE(gone);
    }
    ASSERT_TRUE(simtest::Exists(root.path() + "/sim/board.sock"));
    errno = 0;
    EXPECT_EQ(board::Open("/dev/watchdog", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);
    errno = 0;
    EXPECT_EQ(board::System("reboot"), -1);
    EXPECT_EQ(errno, ENOSYS);
}

TEST_F(Standalone, ClockShellAndNetlinkAreRefused) {
    struct timeval tv = {2000000000, 0};
    errno = 0;
    EXPECT_EQ(board::SetTimeOfDay(&tv), -1);
    EXPECT_EQ(errno, EPERM);
    struct timeval now = {}, host = {};
    ASSERT_EQ(board::GetTimeOfDay(&now), 0);
    ::gettimeofday(&host, nullptr);
    EXPECT_LE(std::labs(host.tv_sec - now.tv_sec), 2);

    errno = 0;
    EXPECT_EQ(board::System("/bin/rm -rf /opt"), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(board::System(nullptr), 0);  // no shell here

    errno = 0;
    EXPECT_EQ(board::NetlinkSocket(21), -1);  // kernel events come from a board only
    EXPECT_EQ(errno, EPROTONOSUPPORT);
}

// A read-only dump of this namespace's IPv4 routes, as the network code asks
// for the default gateway: request and records go through the seam.
TEST_F(Standalone, RouteDumpThroughTheSeamEndsInDone) {
    int fd = board::NetlinkSocket(NETLINK_ROUTE);
    ASSERT_GE(fd, 0);
    timeval limit = {2, 0};
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    ASSERT_EQ(board::NetlinkBind(fd, 0), 0);  // the kernel picks the port id
    struct {
        nlmsghdr header;
        rtmsg route;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 4711;
    request.route.rtm_family = AF_INET;
    ASSERT_EQ(board::NetlinkSend(fd, &request, sizeof request), static_cast<ssize_t>(sizeof request));
    bool done = false;
    int strangers = 0;
    std::vector<char> buf(32768);
    for (int reads = 0; reads < 100 && !done; ++reads) {
        ssize_t n = board::NetlinkRecv(fd, buf.data(), buf.size());
        ASSERT_GT(n, 0) << std::strerror(errno);
        size_t left = static_cast<size_t>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != 4711) ++strangers;
            if (h->nlmsg_type == NLMSG_DONE) done = true;
            else if (h->nlmsg_type != RTM_NEWROUTE) ++strangers;
        }
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(strangers, 0);
    EXPECT_EQ(board::Close(fd), 0);
}

TEST_F(Standalone, PlainDescriptorsPassStraightThrough) {
    int fd = board::Open("/opt/file", O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(board::Write(fd, "abc", 3), 3);
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    char back[4] = {};
    EXPECT_EQ(board::Read(fd, back, 3), 3);
    EXPECT_STREQ(back, "abc");
    errno = 0;
    EXPECT_EQ(board::NetlinkBind(fd, 1), -1);
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_EQ(board::Close(fd), 0);
    EXPECT_EQ(board::Close(fd), -1);  // closed once only
    EXPECT_EQ(board::Access("/opt/file", R_OK), 0);
    EXPECT_EQ(board::Access("/opt/missing", F_OK), -1);
}

}  // namespace
