// The announcement group: which announced server is adopted or ignored (and
// its time with it), loss and re-adoption through the server watch, the
// 2-second clock window, the discovery answer from eth0 and the routes, and
// the administrator's login with its answers on the group, the EEPROM and
// the reboot.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <crypt.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "net/announce.h"
#include "net/net.h"
#include "net/server_cmd.h"
#include "net_test_support.h"
#include "tests/cgi/private_net.h"

using nettest::Bytes;
using nettest::Posted;
using testsupport::TempBoardRoot;

namespace {

#define ENTER_PRIVATE_NETWORK()                                                       \
    do {                                                                              \
        if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no network namespace"; \
    } while (0)

constexpr uint32_t kServerA = 0x7F000005;  // 127.0.0.5: inside the test's namespace
constexpr uint32_t kServerB = 0x7F000006;

sockaddr_in From(uint32_t hostIp) {
    sockaddr_in from = cgitest::Loopback(7805);
    from.sin_addr.s_addr = htonl(hostIp);
    return from;
}

// An announcement: the time in frame bytes 5..8, and for 0x29 the server's
// address in bytes 13..16 (the last two identifier bytes and two payload bytes).
Bytes Announcement(uint8_t cmd, int64_t t, uint32_t carried = 0, size_t payloadLength = 2) {
    uint8_t head[10] = {};
    for (int i = 0; i < 4; ++i) head[i] = static_cast<uint8_t>(static_cast<uint64_t>(t) >> (8 * i));
    head[8] = static_cast<uint8_t>(carried >> 24);
    head[9] = static_cast<uint8_t>(carried >> 16);
    Bytes payload = {static_cast<uint8_t>(carried >> 8), static_cast<uint8_t>(carried)};
    payload.resize(payloadLength);
    Bytes frame(payload.size() + kNetFrameOverhead);
    frame.resize(NetFrameBuild(frame.data(), frame.size(), cmd, head, payload.data(), payload.size()));
    return frame;
}

int64_t Now() {
    timeval now;
    gettimeofday(&now, nullptr);
    return now.tv_sec;
}

void Announce(const Bytes& frame, uint32_t fromHost) { AnnounceHandle(frame.data(), frame.size(), From(fromHost)); }

size_t LinkMessages(uint32_t queue, uint8_t present) {
    size_t count = 0;
    for (const Posted& p : nettest::TakeAll(queue))
        count += p.type == eSVC_MSG_TYPE_SERVER_LINK && p.data == Bytes{present} ? 1 : 0;
    return count;
}

class AnnounceTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::LoadIdentity(root);
        queue = nettest::CreatePlayerQueue();
        gServerIp.store(0);
        gServerFixed = 0;
        gServerLostCnt = 0;
    }
    TempBoardRoot root;
    uint32_t queue = 0;
};

}  // namespace

// ---- Announcements -----------------------------------------------------------

TEST_F(AnnounceTest, FirstServerIsKeptUntilLostThenTheNextIsAdopted) {
    ENTER_PRIVATE_NETWORK();  // the server watch reports to 127.0.0.x
    gServerLostCnt = 3;
    Announce(Announcement(SERVER_CMD_ANNOUNCE, Now()), kServerA);
    EXPECT_EQ(gServerIp.load(), htonl(kServerA));
    EXPECT_EQ(gServerLostCnt, 0u);
    Announce(Announcement(SERVER_CMD_ANNOUNCE_B, Now()), kServerA);
    EXPECT_EQ(LinkMessages(queue, 1), 2u) << "every accepted announcement is posted";

    // Another server, directly or carried in a 0x29 from a third address.
    Announce(Announcement(SERVER_CMD_ANNOUNCE, Now()), kServerB);
    Announce(Announcement(SERVER_CMD_ANNOUNCE_IP, Now(), kServerB), 0x7F000001);
    EXPECT_EQ(gServerIp.load(), htonl(kServerA));
    EXPECT_TRUE(nettest::TakeAll(queue).empty());

    for (int watch = 0; watch < 5; ++watch) ServerWatch();
    EXPECT_EQ(gServerIp.load(), 0u);
    EXPECT_EQ(LinkMessages(queue, 0), 1u);

    // The carried address counts, not the sender's.
    Announce(Announcement(SERVER_CMD_ANNOUNCE_IP, Now(), kServerB), 0x7F000001);
    EXPECT_EQ(gServerIp.load(), htonl(kServerB));
    EXPECT_EQ(LinkMessages(queue, 1), 1u);
}

TEST_F(AnnounceTest, FixedServerAloneIsHeardAndAnotherDoesNotSetTheClock) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    gServerIp.store(htonl(kServerA));
    gServerFixed = 1;
    Announce(Announcement(SERVER_CMD_ANNOUNCE, Now() + 100), kServerB);
    EXPECT_EQ(gServerIp.load(), htonl(kServerA));
    EXPECT_TRUE(nettest::TakeAll(queue).empty());
    EXPECT_TRUE(shell.clockSets().empty());
    EXPECT_TRUE(shell.lines().empty());

    const int64_t later = Now() + 100;
    Announce(Announcement(SERVER_CMD_ANNOUNCE, later), kServerA);
    EXPECT_EQ(LinkMessages(queue, 1), 1u);
    EXPECT_EQ(shell.clockSets(), std::vector<int64_t>{later});
    EXPECT_EQ(shell.lines(), std::vector<std::string>{"hwclock -w"});
}

TEST_F(AnnounceTest, UnusableAddressesAndCutShortFramesAreNotAdopted) {
    for (uint32_t carried : {0x00000000u, 0xFFFFFFFFu, 0xE0000001u, 0xEF010203u, 0xE70A0554u}) {
        Announce(Announcement(SERVER_CMD_ANNOUNCE_IP, Now(), carried), 0x7F000001);
        Announce(Announcement(SERVER_CMD_ANNOUNCE, Now()), carried);
    }
    // A 0x29 too short to carry bytes 15 and 16.
    Announce(Announcement(SERVER_CMD_ANNOUNCE_IP, Now(), kServerA, 1), 0x7F000001);
    // An envelope whose len (11) is below the 12 of an empty payload.
    Bytes cut = Announcement(SERVER_CMD_ANNOUNCE, Now(), 0, 0);
    cut.erase(cut.begin() + 14);
    cut[1] = 11;
    uint8_t sum = 0;
    for (size_t i = 4; i < 14; ++i) sum = static_cast<uint8_t>(sum + cut[i]);
    cut[14] = sum;
    ASSERT_EQ(FrameCheck(cut.data(), cut.size()), 11);
    Announce(cut, kServerA);

    EXPECT_EQ(gServerIp.load(), 0u);
    EXPECT_TRUE(nettest::TakeAll(queue).empty());
}

TEST_F(AnnounceTest, ClockIsSetOnlyBeyondTwoSecondsEitherWay) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    // Away from a second's end, so the terminal reads the same second.
    timeval now;
    for (int i = 0; i < 20; ++i) {
        gettimeofday(&now, nullptr);
        if (now.tv_usec < 700000) break;
        usleep(50000);
    }
    const int64_t t0 = now.tv_sec;
    for (int64_t delta : {2, -2, 0, 3, -3})
        Announce(Announcement(SERVER_CMD_ANNOUNCE, t0 + delta), kServerA);
    EXPECT_EQ(shell.clockSets(), (std::vector<int64_t>{t0 + 3, t0 - 3}));
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{"hwclock -w", "hwclock -w"}));
    EXPECT_EQ(LinkMessages(queue, 1), 5u);
}

// ---- Discovery ----------------------------------------------------------------

namespace {

bool Ip(const std::string& args) { return std::system(("ip " + args + " 2>/dev/null").c_str()) == 0; }

// A listener on the group's answer port: multicast routed on lo, joined.
int JoinAnswers() {
    if (!Ip("route add 224.0.0.0/4 dev lo")) return -1;
    return McastJoinSock(kAnnounceGroup, kAnnounceAnswerPort, 500000);
}

std::optional<Bytes> GroupAnswer(int sock) {
    Bytes buf(512);
    const ssize_t got = recv(sock, buf.data(), buf.size(), 0);
    if (got < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(got));
    return buf;
}

}  // namespace

TEST_F(AnnounceTest, DiscoveryAnswersEth0AndTheDefaultGateway) {
    ENTER_PRIVATE_NETWORK();
    const int answers = JoinAnswers();
    if (answers < 0) GTEST_SKIP() << "no ip tool";
    const Bytes search = nettest::Frame(SERVER_CMD_SEARCH_PLAYER, {});

    uint8_t payload[kSearchAckLength];
    EXPECT_FALSE(BuildSearchAck(payload)) << "no eth0 yet";
    Announce(search, kServerA);
    EXPECT_FALSE(GroupAnswer(answers).has_value());

    if (!Ip("link add eth0 type veth peer name peer0") || !Ip("addr add 10.9.8.7/24 dev eth0") ||
        !Ip("link set eth0 up") || !Ip("link set peer0 up"))
        GTEST_SKIP() << "no veth";
    ASSERT_TRUE(BuildSearchAck(payload));
    Bytes expected(kSearchAckLength, 0);
    std::memcpy(expected.data(), nettest::kDeviceId, 10);
    std::memcpy(expected.data() + 32, nettest::kDeviceId, 10);
    const Bytes tail = {10, 9, 8, 7, 255, 255, 255, 0, 0, 0, 0, 0};
    std::copy(tail.begin(), tail.end(), expected.begin() + 128);
    EXPECT_EQ(Bytes(payload, payload + kSearchAckLength), expected) << "no default route: gateway 0.0.0.0";

    ASSERT_TRUE(Ip("route add default via 10.9.8.1"));
    expected[136 + 3] = 1;
    expected[136] = 10, expected[137] = 9, expected[138] = 8;
    // A fresh veth link may refuse the first sends for a moment.
    std::optional<Bytes> answer;
    for (int i = 0; i < 10 && !answer; ++i) {
        Announce(search, kServerA);
        answer = GroupAnswer(answers);
    }
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, nettest::Frame(PLAYER_CMD_SEARCH_ACK, expected));
    McastLeaveSock(answers, kAnnounceGroup);
}

// ---- Login ----------------------------------------------------------------------

namespace {

const Bytes kGoodParams = {192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 1};
const Bytes kForeignGateway = {192, 168, 1, 10, 255, 255, 255, 0, 10, 0, 0, 1};

Bytes Field(const std::string& text) {
    Bytes field(kLoginTextLength, 0);
    std::copy(text.begin(), text.end(), field.begin());
    return field;
}

Bytes Login(const std::string& user, const std::string& password, const Bytes& params,
            const char* devId = nettest::kDeviceId) {
    Bytes payload = Field(user);
    const Bytes pass = Field(password);
    payload.insert(payload.end(), pass.begin(), pass.end());
    payload.insert(payload.end(), params.begin(), params.end());
    return nettest::Frame(SERVER_CMD_LOGIN_SET_NET, payload, devId);
}

std::string Hash(const std::string& password) {
    crypt_data data{};
    const char* hash = crypt_r(password.c_str(), "$6$PaTerm01$", &data);
    return hash != nullptr ? hash : "";
}

}  // namespace

TEST_F(AnnounceTest, LoginAnswersFailureForEveryFlawAndWritesOnlyOnSuccess) {
    ENTER_PRIVATE_NETWORK();
    const int answers = JoinAnswers();
    if (answers < 0) GTEST_SKIP() << "no ip tool";
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const std::string password = "0123456789abcdef";  // 16 characters: no NUL in the field
    const std::string good = "admin:" + Hash(password) + "\n";
    ASSERT_GT(good.size(), 20u);
    const Bytes eeprom = root.read(nettest::kEeprom);
    std::filesystem::create_directories(root.at("/etc/boa"));

    const struct {
        const char* what;
        std::string passwd;  // empty: no file
        Bytes frame;
        int answer;  // -1: none
    } cases[] = {
        {"user in another case", good, Login("Super", password, kGoodParams), 1},
        {"wrong password", good, Login("super", "0123456789abcdeF", kGoodParams), 1},
        {"password cut at 15", good, Login("super", password.substr(0, 15), kGoodParams), 1},
        {"hash crypt cannot use", "admin:$9$x\n", Login("super", password, kGoodParams), 1},
        {"hash of one character", "admin:!\n", Login("super", password, kGoodParams), 1},
        {"line without colon", "admin\n", Login("super", password, kGoodParams), 1},
        {"empty file", "\n", Login("super", password, kGoodParams), 1},
        {"no file", "", Login("super", password, kGoodParams), 1},
        {"gateway outside the subnet", good, Login("super", password, kForeignGateway), 1},
        {"another terminal", good, Login("super", password, kGoodParams, "PT00000000"), -1},
    };
    for (const auto& c : cases) {
        if (c.passwd.empty())
            ::unlink(root.at(kWebPasswordPath).c_str());
        else
            root.write(kWebPasswordPath, Bytes(c.passwd.begin(), c.passwd.end()));
        AnnounceHandle(c.frame.data(), c.frame.size(), From(kServerA));
        const auto answer = GroupAnswer(answers);
        if (c.answer < 0) {
            EXPECT_FALSE(answer.has_value()) << c.what;
            continue;
        }
        ASSERT_TRUE(answer.has_value()) << c.what;
        EXPECT_EQ(*answer, nettest::Frame(PLAYER_CMD_LOGIN_ACK, {static_cast<uint8_t>(c.answer)})) << c.what;
    }
    // A login frame one byte short of the parameters' end is not read at all.
    Bytes cut = Login("super", password, kGoodParams);
    Bytes shortPayload(cut.begin() + 15, cut.end() - 3);
    cut = nettest::Frame(SERVER_CMD_LOGIN_SET_NET, shortPayload);
    root.write(kWebPasswordPath, Bytes(good.begin(), good.end()));
    AnnounceHandle(cut.data(), cut.size(), From(kServerA));
    EXPECT_FALSE(GroupAnswer(answers).has_value());
    EXPECT_EQ(root.read(nettest::kEeprom), eeprom);
    EXPECT_TRUE(shell.lines().empty());

    const Bytes login = Login("super", password, kGoodParams);
    AnnounceHandle(login.data(), login.size(), From(kServerA));
    const auto answer = GroupAnswer(answers);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, nettest::Frame(PLAYER_CMD_LOGIN_ACK, {0}));
    const Bytes written = root.read(nettest::kEeprom);
    EXPECT_EQ(Bytes(written.begin() + 32, written.begin() + 44),
              (Bytes{10, 1, 168, 192, 0, 255, 255, 255, 1, 1, 168, 192}));
    EXPECT_EQ(shell.lines(), std::vector<std::string>{"reboot"});
    McastLeaveSock(answers, kAnnounceGroup);
}
