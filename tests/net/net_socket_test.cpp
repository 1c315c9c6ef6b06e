// The network side on real sockets, each test in a private network namespace
// of its own: frames as they leave the send socket, the socket renewed after a
// failed send, concurrent senders, the server watch's reports, the state reply
// to the CGI programs, the server address from the EEPROM, and the receive
// tasks started by PlayerNetStart end to end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "net/cgi_channel.h"
#include "net/announce.h"
#include "net/net.h"
#include "net/p2p.h"
#include "net/server_cmd.h"
#include "net_test_support.h"
#include "tests/cgi/private_net.h"

using cgitest::UdpListener;
using nettest::Bytes;
using nettest::Frame;
using nettest::Posted;
using testsupport::TempBoardRoot;

namespace {

constexpr uint16_t kPeerTestPort = 9100;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

#define ENTER_PRIVATE_NETWORK()                                                         \
    do {                                                                                \
        if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no network namespace";   \
    } while (0)

uint16_t SourcePort(const UdpListener& listener, Bytes* frame) {
    sockaddr_in from;
    socklen_t fromLen = sizeof from;
    Bytes buf(2048);
    pollfd waiting = {listener.fd(), POLLIN, 0};
    if (poll(&waiting, 1, 1000) != 1) return 0;
    const ssize_t got = recvfrom(listener.fd(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (got < 0) return 0;
    buf.resize(static_cast<size_t>(got));
    if (frame) *frame = buf;
    return ntohs(from.sin_port);
}

std::string Captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(SendDataToPeer, OneSocketForEveryFrameUntilASendFails) {
    ENTER_PRIVATE_NETWORK();
    TempBoardRoot root;
    nettest::LoadIdentity(root);
    UdpListener peer(kPeerTestPort);
    ASSERT_TRUE(peer.bound());

    SendDataToPeer(kLoopback, kPeerTestPort, 0xA2, Bytes(5, 0).data(), 5);
    Bytes frame;
    const uint16_t first = SourcePort(peer, &frame);
    EXPECT_EQ(frame, Frame(0xA2, Bytes(5, 0)));  // 22 bytes, our identity
    const Bytes largest(kNetMaxPayload, 0x11);
    const std::string out = Captured([&] {
        SendDataToPeer(0, kPeerTestPort, 0xA2, nullptr, 0);  // dropped silently: no address,
        SendDataToPeer(INADDR_BROADCAST, kPeerTestPort, 0xA2, nullptr, 0);  // broadcast,
        SendDataToPeer(kLoopback, 0, 0xA2, nullptr, 0);                     // no port
        SendDataToPeer(kLoopback, kPeerTestPort, 0xA3, largest.data(), largest.size() + 1);
        SendDataToPeer(kLoopback, kPeerTestPort, 0xA3, largest.data(), largest.size());
    });
    EXPECT_EQ(out, "Error:  SendDataToPeer: payload too long\n");
    EXPECT_EQ(SourcePort(peer, &frame), first);
    EXPECT_EQ(frame.size(), kNetSendBufferSize);
    EXPECT_EQ(FrameCheck(frame.data(), frame.size()), static_cast<int>(kNetMaxPayload + 12));

    // The namespace's own loopback broadcast: refused without SO_BROADCAST.
    EXPECT_EQ(Captured([] { SendDataToPeer(htonl(0x7FFFFFFF), kPeerTestPort, 0x03, nullptr, 0); }),
              "Error:  SendDataToPeer failed\n");
    // The failed socket is closed: its port can be taken, so the next frame
    // cannot leave from it.
    UdpListener blocker(first);
    EXPECT_TRUE(blocker.bound());
    SendDataToPeer(kLoopback, kPeerTestPort, 0x04, nullptr, 0);
    const uint16_t renewed = SourcePort(peer, &frame);
    EXPECT_EQ(frame, Frame(0x04, {}));
    EXPECT_NE(renewed, 0);
    EXPECT_NE(renewed, first);
    EXPECT_FALSE(peer.Receive(100).has_value());  // nothing of the dropped frames came late
}

TEST(SendDataToPeer, ConcurrentSendersProduceWholeFrames) {
    ENTER_PRIVATE_NETWORK();
    TempBoardRoot root;
    nettest::LoadIdentity(root);
    UdpListener peer(kPeerTestPort);
    ASSERT_TRUE(peer.bound());
    const int big = 4 << 20;
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);

    constexpr int kFramesEach = 200;
    constexpr size_t kPayload = 300;
    auto sender = [](uint8_t marker, size_t length) {
        const Bytes payload(length, marker);
        for (int i = 0; i < kFramesEach; ++i) SendDataToPeer(kLoopback, kPeerTestPort, marker, payload.data(), length);
    };
    std::thread a(sender, 0xAA, kPayload);
    std::thread b(sender, 0xBB, kPayload / 2);
    int seen[2] = {0, 0};
    for (int i = 0; i < 2 * kFramesEach; ++i) {
        const auto frame = peer.Receive(2000);
        if (!frame) break;
        ASSERT_GT(FrameCheck(frame->data(), frame->size()), 0);
        const uint8_t marker = (*frame)[4];
        ASSERT_TRUE(marker == 0xAA || marker == 0xBB);
        const Bytes payload = nettest::Payload(*frame);
        EXPECT_EQ(payload, Bytes(marker == 0xAA ? kPayload : kPayload / 2, marker));
        ++seen[marker == 0xAA ? 0 : 1];
    }
    a.join();
    b.join();
    EXPECT_EQ(seen[0], kFramesEach);
    EXPECT_EQ(seen[1], kFramesEach);
}

TEST(ServerWatch, ReportsEveryWatchAndForgetsALearnedServerAtTheFifth) {
    ENTER_PRIVATE_NETWORK();
    TempBoardRoot root;
    nettest::LoadIdentity(root);
    const uint32_t queue = nettest::CreatePlayerQueue();
    UdpListener server(kServerPort);
    ASSERT_TRUE(server.bound());
    gServerIp.store(kLoopback);  // learned from an announcement
    gServerFixed = 0;
    gServerLostCnt = 0;

    for (int watch = 1; watch <= 4; ++watch) {
        ServerWatch();
        const auto report = server.Receive(1000);
        ASSERT_TRUE(report.has_value()) << "watch " << watch;
        EXPECT_EQ(report->size(), kStatusPayloadLength + 17);
        EXPECT_EQ((*report)[4], PLAYER_CMD_STATUS);
    }
    EXPECT_EQ(gServerIp.load(), kLoopback);
    EXPECT_TRUE(nettest::TakeAll(queue).empty());

    ServerWatch();  // the fifth: reported, then forgotten
    EXPECT_TRUE(server.Receive(1000).has_value());
    EXPECT_EQ(gServerIp.load(), 0u);
    const std::string sixth = Captured([] { ServerWatch(); });
    EXPECT_EQ(sixth, "SendDataToServer: Server IP is invalid\n");
    const std::vector<Posted> posted = nettest::TakeAll(queue);
    ASSERT_EQ(posted.size(), 2u);
    for (const Posted& p : posted) {
        EXPECT_EQ(p.type, eSVC_MSG_TYPE_SERVER_LINK);
        EXPECT_EQ(p.data, Bytes{0});
    }

    // A fixed server is declared lost but kept.
    gServerIp.store(kLoopback);
    gServerFixed = 1;
    ServerWatch();
    EXPECT_EQ(gServerIp.load(), kLoopback);
    const auto report = server.Receive(1000);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ((*report)[kNetFramePayloadOffset + 72], 1);
    EXPECT_EQ(nettest::TakeAll(queue).size(), 1u);
}

TEST(SendDataToCgi, StateReplyIsTheRecordAndOneZeroByte) {
    ENTER_PRIVATE_NETWORK();
    UdpListener cgi(kCgiReplyPort);
    ASSERT_TRUE(cgi.bound());
    Bytes record(272);
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 7 + 1);
    SendDataToCgi(record.data(), record.size());
    auto reply = cgi.Receive(1000);
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 273u);
    EXPECT_EQ(Bytes(reply->begin(), reply->end() - 1), record);
    EXPECT_EQ(reply->back(), 0);

    const Bytes largest(kCgiReplyMax + 1, 0x33);
    SendDataToCgi(largest.data(), largest.size());  // beyond the reply buffer: not sent
    SendDataToCgi(largest.data(), kCgiReplyMax);
    reply = cgi.Receive(1000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), kCgiReplyMax + 1);
    EXPECT_FALSE(cgi.Receive(100).has_value());
}

// ---- PlayerNetStart --------------------------------------------------------

// The receive tasks wait 5 s before their sockets; the test ends first, but
// in a namespace of its own all the same.
TEST(PlayerNetStart, ReadsTheServerAddressFromTheEeprom) {
    ENTER_PRIVATE_NETWORK();
    nettest::CreatePlayerQueue();
    const struct {
        Bytes eeprom;  // bytes 44..47; empty: no EEPROM at all
        uint32_t hostAddress;
        int fixed;
    } cases[] = {
        {{0x0A, 0x01, 0xA8, 0xC0}, 0xC0A8010A, 1},  // 192.168.1.10: the last octet first
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0, 0},           // erased: none
        {{0x00, 0x00, 0x00, 0x00}, 0, 0},
        {{}, 0, 0},
    };
    for (const auto& c : cases) {
        TempBoardRoot root;
        if (!c.eeprom.empty()) root.write(nettest::kEeprom, nettest::EepromImage(c.eeprom));
        gServerIp.store(0x01020304);
        gServerFixed = 7;
        EXPECT_EQ(PlayerNetStart(), 0);
        EXPECT_EQ(ntohl(gServerIp.load()), c.hostAddress);
        EXPECT_EQ(gServerFixed.load(), c.fixed);
    }
}

TEST(PlayerNetStart, CommandAndCgiSocketsServeTheirChannels) {
    ENTER_PRIVATE_NETWORK();
    TempBoardRoot root;
    nettest::LoadIdentity(root, {0x01, 0x00, 0x00, 0x7F});  // server 127.0.0.1, in the namespace
    const uint32_t queue = nettest::CreatePlayerQueue();
    UdpListener server(kServerPort);
    ASSERT_TRUE(server.bound());
    ASSERT_EQ(PlayerNetStart(), 0);
    ASSERT_EQ(gServerIp.load(), kLoopback);

    // The tasks bind after 5 s; ask until the answer comes.
    const Bytes query = Frame(SERVER_CMD_GET_VERSION, {});
    std::optional<Bytes> answer;
    for (int i = 0; i < 60 && !answer; ++i) {
        ASSERT_TRUE(cgitest::SendTo(kServerCmdPort, query));
        answer = server.Receive(250);
    }
    ASSERT_TRUE(answer.has_value()) << "no version answer within 15 s";
    uint8_t version[kVersionPayloadLength];
    BuildVersionPayload(version);
    EXPECT_EQ(*answer, Frame(PLAYER_CMD_VERSION_INFO, Bytes(version, version + sizeof version)));

    // The CGI channel is up once a request is posted.
    Posted first;
    for (int i = 0; i < 40 && first.type == 0; ++i) {
        ASSERT_TRUE(cgitest::SendTo(kCgiPort, {PLAYER_CGI_MSG_TYPE_EXT_OPTS, 10, 0, 1, 0, 0, 0, 0, 0}));
        first = nettest::TakeWithin(queue, 250);
    }
    ASSERT_EQ(first.type, eSVC_MSG_TYPE_CGI_EXT_OPTS);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    nettest::TakeAll(queue);

    // Bound to 127.0.0.1 only: a request to another loopback address of the
    // namespace never arrives, so the next message is the one after it.
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(probe, 0);
    sockaddr_in other = cgitest::Loopback(kCgiPort);
    other.sin_addr.s_addr = htonl(0x7F000002);
    const uint8_t stateQuery = PLAYER_CGI_MSG_TYPE_GET_SYS_STATE;
    ASSERT_EQ(sendto(probe, &stateQuery, 1, 0, reinterpret_cast<sockaddr*>(&other), sizeof other), 1);
    close(probe);
    ASSERT_TRUE(cgitest::SendTo(kCgiPort, {PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, 0x02, 0x05}));
    const Posted next = nettest::TakeWithin(queue, 2000);
    EXPECT_EQ(next.type, eSVC_MSG_TYPE_CGI_SET_BRD_GRP);
    EXPECT_EQ(next.data, (Bytes{0x02, 0x05}));
    EXPECT_TRUE(nettest::TakeAll(queue).empty());
}

// The group's task joins after 5 s, the peer's binds after 0.5 s: both are
// asked until they answer.
TEST(PlayerNetStart, AnnouncementAndPeerSocketsServeTheirChannels) {
    ENTER_PRIVATE_NETWORK();
    if (std::system("ip route add 224.0.0.0/4 dev lo 2>/dev/null") != 0) GTEST_SKIP() << "no ip tool";
    TempBoardRoot root;
    nettest::LoadIdentity(root);
    const uint32_t queue = nettest::CreatePlayerQueue();
    UdpListener peer(9000);
    ASSERT_TRUE(peer.bound());
    ASSERT_EQ(PlayerNetStart(), 0);
    ASSERT_EQ(gServerIp.load(), 0u);

    const Bytes probe = Frame(P2P_CMD_PROBE, {0x23, 0x28});
    std::optional<Bytes> probeAnswer;
    for (int i = 0; i < 20 && !probeAnswer; ++i) {
        ASSERT_TRUE(cgitest::SendTo(kPeerPort, probe));
        probeAnswer = peer.Receive(250);
    }
    ASSERT_TRUE(probeAnswer.has_value()) << "no probe answer within 5 s";
    EXPECT_EQ(*probeAnswer, Frame(P2P_CMD_PROBE, {0, 0, 0, 0, 0}));

    // An announcement to the group from 127.0.0.1 makes it the server.
    const Bytes announcement = Frame(SERVER_CMD_ANNOUNCE, {});
    // Bound, or the datagram leaves lo with source 0.0.0.0, which is no server.
    const int sender = UdpBindSock(0, INADDR_LOOPBACK);
    ASSERT_GE(sender, 0);
    sockaddr_in group = cgitest::Loopback(kAnnouncePort);
    group.sin_addr.s_addr = htonl(kAnnounceGroup);
    Posted link;
    for (int i = 0; i < 60 && link.type == 0; ++i) {
        ASSERT_EQ(sendto(sender, announcement.data(), announcement.size(), 0, reinterpret_cast<sockaddr*>(&group),
                         sizeof group),
                  static_cast<ssize_t>(announcement.size()));
        link = nettest::TakeWithin(queue, 250);
    }
    close(sender);
    ASSERT_EQ(link.type, eSVC_MSG_TYPE_SERVER_LINK) << "no announcement taken within 15 s";
    EXPECT_EQ(link.data, Bytes{1});
    EXPECT_EQ(gServerIp.load(), kLoopback);
}

// ---- The announcement group's socket ----------------------------------------

TEST(McastJoinSock, JoinsTheGroupWithItsTimeoutAndLeaves) {
    ENTER_PRIVATE_NETWORK();
    // Without a multicast route there is no interface to join on.
    const std::string refused = Captured([] { EXPECT_EQ(McastJoinSock(kAnnounceGroup, kAnnouncePort, 300000), -1); });
    EXPECT_EQ(refused.rfind("Error:  setsockopt: ", 0), 0u) << refused;
    if (std::system("ip route add 224.0.0.0/4 dev lo 2>/dev/null") != 0) GTEST_SKIP() << "no ip tool";

    const int sock = McastJoinSock(kAnnounceGroup, kAnnouncePort, 300000);
    ASSERT_GE(sock, 0);
    uint8_t buf[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(sock, buf, sizeof buf, 0), -1);  // the receive time-out, 0.3 s
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(waited >= std::chrono::milliseconds(250) && waited < std::chrono::milliseconds(2000));
    sockaddr_in group = cgitest::Loopback(kAnnouncePort);
    group.sin_addr.s_addr = htonl(kAnnounceGroup);
    EXPECT_EQ(sendto(sock, "hi", 2, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 2);
    EXPECT_EQ(recv(sock, buf, sizeof buf, 0), 2);
    McastLeaveSock(sock, kAnnounceGroup);
    EXPECT_EQ(fcntl(sock, F_GETFD), -1);
}
