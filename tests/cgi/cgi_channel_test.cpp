// The CGI side of the channel to paterm, in the test's own network
// namespace: request datagrams byte for byte, the reply socket's address,
// and discarding stale replies.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>

#include "cgi/cgicommon.h"
#include "tests/cgi/private_net.h"

using cgitest::Bytes;
using cgitest::UdpListener;

namespace {

class CgiChannel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cgitest::EnterPrivateNetwork()) << "a private network namespace needs root"; }
};

bool Waiting(int fd) {
    pollfd waiting = {fd, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1;
}

}  // namespace

TEST_F(CgiChannel, SendsTypeAndPayloadToPaterm) {
    UdpListener paterm(8690);
    ASSERT_TRUE(paterm.bound());
    const uint8_t record[8] = {0x0A, 0x00, 0x01, 0, 0, 0, 0, 0};
    SendDataToPlayerMgmt(PLAYER_CGI_MSG_TYPE_EXT_OPTS, record, sizeof record);
    EXPECT_EQ(paterm.Receive(2000), (Bytes{4, 0x0A, 0x00, 0x01, 0, 0, 0, 0, 0}));

    SendDataToPlayerMgmt(PLAYER_CGI_MSG_TYPE_GET_SYS_STATE, nullptr, 0);
    EXPECT_EQ(paterm.Receive(2000), (Bytes{0}));
    // Without data the payload is zeros, never leftover memory.
    SendDataToPlayerMgmt(PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, nullptr, 2);
    EXPECT_EQ(paterm.Receive(2000), (Bytes{1, 0, 0}));
}

TEST_F(CgiChannel, RequestsFillAtMostTheSendBuffer) {
    UdpListener paterm(8690);
    ASSERT_TRUE(paterm.bound());
    Bytes payload(600);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    SendDataToPlayerMgmt(2, payload.data(), 511);
    Bytes expected = {2};
    expected.insert(expected.end(), payload.begin(), payload.begin() + 511);
    EXPECT_EQ(paterm.Receive(2000), expected);

    SendDataToPlayerMgmt(2, payload.data(), 512);
    SendDataToPlayerMgmt(2, payload.data(), 0xFFFFFFFFu);
    EXPECT_FALSE(paterm.Receive(200));
}

TEST_F(CgiChannel, ReplySocketIsBoundToLoopback) {
    int sock = CreatePlayerCgiUdpSock(8691);
    ASSERT_GE(sock, 0);
    sockaddr_in local;
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&local), &len), 0);
    EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(ntohs(local.sin_port), 8691);
    int on = 0;
    len = sizeof on;
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, &len), 0);
    EXPECT_EQ(on, 1);

    ASSERT_TRUE(cgitest::SendTo(8691, Bytes(273, 0x5A)));
    uint8_t buf[512];
    EXPECT_EQ(recv(sock, buf, sizeof buf, MSG_DONTWAIT), 273);
    close(sock);
}

TEST_F(CgiChannel, ReplySocketMayBeDescriptorZero) {
    close(0);  // as under a web server that closed standard input
    EXPECT_EQ(CreatePlayerCgiUdpSock(8691), 0);
}

TEST_F(CgiChannel, ReplySocketFailsOnATakenPort) {
    UdpListener taken(8691);  // bound without SO_REUSEADDR
    ASSERT_TRUE(taken.bound());
    EXPECT_EQ(CreatePlayerCgiUdpSock(8691), -1);
}

TEST_F(CgiChannel, FlushDiscardsOnlyWhatIsWaiting) {
    int sock = CreatePlayerCgiUdpSock(8691);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(FlushCgiRcvSocket(sock), 0);  // nothing waiting: returns at once

    for (int i = 0; i < 5; ++i) ASSERT_TRUE(cgitest::SendTo(8691, Bytes(300, static_cast<uint8_t>(i))));
    ASSERT_TRUE(Waiting(sock));
    EXPECT_EQ(FlushCgiRcvSocket(sock), 0);
    EXPECT_FALSE(Waiting(sock));

    ASSERT_TRUE(cgitest::SendTo(8691, Bytes{7, 8}));
    uint8_t buf[16];
    EXPECT_EQ(recv(sock, buf, sizeof buf, MSG_DONTWAIT), 2);
    EXPECT_EQ(buf[0], 7);
    close(sock);
}

TEST_F(CgiChannel, FlushOfABadDescriptorFails) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);  // fd is now a descriptor number that is not open
    EXPECT_EQ(FlushCgiRcvSocket(fd), -1);
}
