// The CGI channel's requests as the terminal takes them: the message each type
// posts and prints, and the datagrams it drops (unknown types, datagrams
// shorter or longer than their type's, whatever the receive buffer held
// before).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/cgi_channel.h"
#include "net_test_support.h"

using nettest::Bytes;
using nettest::Posted;

namespace {

std::string HandleInStaleBuffer(const Bytes& datagram) {
    // As large as any datagram the channel's receiver takes.
    static uint8_t buffer[2048];
    std::memset(buffer, 0x5A, sizeof buffer);
    if (!datagram.empty()) std::memcpy(buffer, datagram.data(), datagram.size());
    testing::internal::CaptureStdout();
    CgiInfoHandle(buffer, datagram.size());
    return testing::internal::GetCapturedStdout();
}

Bytes Request(uint8_t type, Bytes payload) {
    payload.insert(payload.begin(), type);
    return payload;
}

}  // namespace

TEST(CgiChannel, EachRequestPostsItsPayload) {
    const uint32_t queue = nettest::CreatePlayerQueue();
    Bytes sysCtrl(16);
    for (size_t i = 0; i < sysCtrl.size(); ++i) sysCtrl[i] = static_cast<uint8_t>(i + 1);
    const Bytes extOpts = {0x0A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};  // delayTime 10, autoFlag 1

    std::string out = HandleInStaleBuffer(Request(PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, {0x02, 0x05}));
    out += HandleInStaleBuffer(Request(PLAYER_CGI_MSG_TYPE_EXT_OPTS, extOpts));
    out += HandleInStaleBuffer(Request(PLAYER_CGI_MSG_TYPE_GET_SYS_STATE, {}));
    out += HandleInStaleBuffer(Request(PLAYER_CGI_MSG_TYPE_SYS_CTRL, sysCtrl));
    EXPECT_EQ(out,
              "\nCMD:PLAYER_CGI_MSG_TYPE_SET_BRD_GRP,1 2 5 "
              "\nCMD:PLAYER_CGI_MSG_TYPE_SYS_CTRL,2 ");

    const std::vector<Posted> posted = nettest::TakeAll(queue);
    ASSERT_EQ(posted.size(), 4u);
    for (const Posted& p : posted) EXPECT_EQ(p.src, eMSG_SRC_NET);
    EXPECT_EQ(posted[0].type, eSVC_MSG_TYPE_CGI_SET_BRD_GRP);
    EXPECT_EQ(posted[0].data, (Bytes{0x02, 0x05}));
    EXPECT_EQ(posted[1].type, eSVC_MSG_TYPE_CGI_EXT_OPTS);
    EXPECT_EQ(posted[1].data, extOpts);
    EXPECT_EQ(posted[2].type, eSVC_MSG_TYPE_CGI_GET_SYS_STATE);
    EXPECT_TRUE(posted[2].data.empty());
    EXPECT_EQ(posted[3].type, eSVC_MSG_TYPE_CGI_SYS_CTRL);
    EXPECT_EQ(posted[3].data, sysCtrl);
}

TEST(CgiChannel, UnknownAndShortRequestsPostNothing) {
    const uint32_t queue = nettest::CreatePlayerQueue();
    const Bytes dropped[] = {
        {},                                                     // not even a type
        Request(PLAYER_CGI_MSG_TYPE_SET_SYS_STATE, {1, 2, 3}),  // type 3 is ignored
        Request(9, {1, 2}),
        Request(0xFF, {}),
        Request(PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, {}),
        Request(PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, {0x02}),
        Request(PLAYER_CGI_MSG_TYPE_SYS_CTRL, Bytes(15, 1)),
        Request(PLAYER_CGI_MSG_TYPE_EXT_OPTS, Bytes(7, 1)),
        // Longer than any CGI program sends: junk that starts like a request.
        Request(PLAYER_CGI_MSG_TYPE_GET_SYS_STATE, {0}),
        Request(PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, {0x00, 0x01, 0xFF, 0xFF}),
        Request(PLAYER_CGI_MSG_TYPE_SYS_CTRL, Bytes(17, 1)),
        Request(PLAYER_CGI_MSG_TYPE_EXT_OPTS, Bytes(1400, 0)),
    };
    std::string out;
    for (const Bytes& datagram : dropped) out += HandleInStaleBuffer(datagram);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(nettest::TakeAll(queue).empty());
}
