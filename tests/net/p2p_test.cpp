// The peer link on port 8207 as P2PHandle takes it, with the answers caught
// on 127.0.0.1 in a private network namespace: link opening, refusals and
// closing, probes, queries, the idle close at the eleventh tick, and the
// download state machine with its refusals (cut-short blocks, ends without
// a begin, failed files), repeated ends, installation and the one
// installation at a time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "net/net.h"
#include "net/p2p.h"
#include "net_test_support.h"
#include "player/central_ctrl.h"
#include "tests/cgi/private_net.h"
#include "tests/upgrade/upgrade_fixtures.h"
#include "tools/peer/peer_frames.h"
#include "upgrade/upgrade.h"

using nettest::Bytes;
using testsupport::TempBoardRoot;

namespace {

constexpr uint16_t kAnswerPort = 9000;
const std::string kId = nettest::kDeviceId;

Bytes Block(uint16_t number, const Bytes& bytes) { return peer::BlockData(number, bytes.data(), bytes.size()); }

class P2PTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no network namespace";
        nettest::LoadIdentity(root);
        std::filesystem::create_directories(root.at("/tmp"));
        P2PStart();
        listener.emplace(kAnswerPort);  // inside the namespace
        ASSERT_TRUE(listener->bound());
    }
    void TearDown() override { P2PDownloadClear(); }

    void Send(const Bytes& frame) {
        static uint8_t buffer[kP2PBufferSize];
        std::memset(buffer, 0xAB, sizeof buffer);  // stale bytes of earlier datagrams
        std::memcpy(buffer, frame.data(), frame.size());
        sockaddr_in from = cgitest::Loopback(40000);
        P2PHandle(buffer, frame.size(), from);
    }
    std::optional<peer::Frame> Answer(const cgitest::UdpListener& on) {
        const auto got = on.Receive(300);
        if (!got) return std::nullopt;
        return peer::Decode(got->data(), got->size());
    }
    std::optional<peer::Frame> Answer() { return Answer(*listener); }
    void Open() {
        Send(peer::LinkRequest(kId, P2P_LINK_ID, P2P_LINK_OPEN, kAnswerPort));
        const auto answer = Answer();
        ASSERT_TRUE(answer.has_value());
        ASSERT_EQ(answer->payload, (Bytes{0xFE, 0x02}));
    }
    // One download operation and its answer.
    std::optional<peer::DownloadAnswer> Op(const Bytes& data) {
        Send(peer::LinkData(kId, P2P_LINK_ID, data));
        const auto answer = Answer();
        if (!answer) return std::nullopt;
        return peer::AsDownloadAnswer(*answer);
    }
    uint8_t Status(const Bytes& data) {
        const auto answer = Op(data);
        return answer ? answer->status : 0xEE;
    }
    Bytes Target(const char* path) const { return root.read(path); }

    TempBoardRoot root;
    std::optional<cgitest::UdpListener> listener;
};

}  // namespace

// ---- The link ----------------------------------------------------------------

TEST_F(P2PTest, LinkOpensOnlyForItsIdAndClosesOnRequest) {
    Send(peer::LinkRequest(kId, 0x01, P2P_LINK_OPEN, kAnswerPort));
    EXPECT_FALSE(Answer().has_value());
    EXPECT_EQ(P2PLinkGet().active, 0);
    Send(peer::LinkRequest(kId, P2P_LINK_ID, 4, kAnswerPort));  // neither open nor close
    auto answer = Answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->payload, (Bytes{0xFE, 0x01}));
    EXPECT_EQ(P2PLinkGet().id, P2P_NO_LINK);

    Open();
    const P2PLink link = P2PLinkGet();
    EXPECT_EQ(link.peerIp, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(link.peerPort, kAnswerPort);
    EXPECT_EQ(link.active, 1);
    // Ignored while open: another open, a cut-short request, another terminal's close.
    Send(peer::LinkRequest(kId, P2P_LINK_ID, P2P_LINK_OPEN_B, 9001));
    Send(nettest::Frame(P2P_CMD_LINK, {0xFE, 0x02, 0x23}));
    Send(peer::LinkRequest("PT00000000", P2P_LINK_ID, P2P_LINK_CLOSE, kAnswerPort));
    EXPECT_FALSE(Answer().has_value());
    EXPECT_EQ(P2PLinkGet().peerPort, kAnswerPort);

    // The query; then link data whose length disagrees with its envelope.
    Send(peer::LinkData(kId, P2P_LINK_ID, peer::QueryData()));
    answer = Answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->cmd, P2P_CMD_DATA);
    EXPECT_EQ(peer::AsLinkData(*answer), Bytes(kP2PQueryAnswer, kP2PQueryAnswer + kP2PQueryAnswerLength));
    Send(nettest::Frame(P2P_CMD_DATA, {0xFE, 0x00, 0x03, 0x01, 0x21}));  // says 3 bytes, carries 2
    Send(peer::LinkData(kId, 0x01, peer::QueryData()));
    EXPECT_FALSE(Answer().has_value());
    // Link data longer than 32 bytes is never sent.
    const Bytes long33(33, 0x55);
    P2PLinkSend(P2P_LINK_ID, long33.data(), long33.size());
    EXPECT_FALSE(Answer().has_value());

    Send(peer::LinkRequest(kId, P2P_LINK_ID, P2P_LINK_CLOSE, 0));
    answer = Answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->payload, (Bytes{0xFE, 0x01}));
    EXPECT_EQ(P2PLinkGet().active, 0);
    Send(peer::LinkData(kId, P2P_LINK_ID, peer::QueryData()));
    EXPECT_FALSE(Answer().has_value());
}

TEST_F(P2PTest, ProbeIsAnsweredAtItsPortWithoutALink) {
    cgitest::UdpListener asked(8080);
    ASSERT_TRUE(asked.bound());
    Send(nettest::Frame(P2P_CMD_PROBE, {0x1F}));  // no port
    Send(nettest::Frame(P2P_CMD_PROBE, {0x1F, 0x90}));
    const auto got = asked.Receive(300);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->size(), 22u);
    EXPECT_EQ(*got, nettest::Frame(P2P_CMD_PROBE, {0, 0, 0, 0, 0}));
    EXPECT_FALSE(asked.Receive(100).has_value());
}

// Counted by the central control's 1-second tick.
TEST_F(P2PTest, IdleLinkClosesAtTheEleventhTickAfterTheLastAnswer) {
    const auto tick = [] {
        PlayerMsg message{};
        message.msgType = eSVC_MSG_TYPE_TIMER_1S;
        PlayerCentralCtrl(&message);
    };
    std::filesystem::create_directories(root.at("/opt/lpc3250"));  // the tick keeps the channel settings there
    Open();
    for (int i = 0; i < 5; ++i) tick();
    Send(peer::LinkData(kId, P2P_LINK_ID, peer::QueryData()));  // an answer restarts the count
    ASSERT_TRUE(Answer().has_value());
    testing::internal::CaptureStdout();  // the server watch's reports without a server
    for (int i = 0; i < 10; ++i) tick();
    EXPECT_EQ(P2PLinkGet().active, 1);
    EXPECT_FALSE(Answer().has_value());
    tick();
    testing::internal::GetCapturedStdout();
    const auto answer = Answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->cmd, P2P_CMD_LINK);
    EXPECT_EQ(answer->payload, (Bytes{0xFE, 0x01}));
    EXPECT_EQ(P2PLinkGet().active, 0);
    tick();
    EXPECT_FALSE(Answer().has_value());
}

// ---- Downloads -----------------------------------------------------------------

TEST_F(P2PTest, BlocksAreTakenInOrderOnlyAndNeverReadPastTheirDatagram) {
    Open();
    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_APP, 10, 3)), 0);
    EXPECT_TRUE(root.exists("/tmp/lpc3250.tgz"));

    auto answer = Op(Block(1, {1, 2, 3, 4}));  // the first block must be 0
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->status, 1);
    EXPECT_EQ(answer->lastBlock, 0);
    EXPECT_EQ(Status(Block(0, {1, 2, 3, 4})), 0);
    EXPECT_EQ(Status(Block(1, {5, 6, 7, 8})), 0);
    // Out of order: the answer names block 1, exactly these bytes.
    Send(peer::LinkData(kId, P2P_LINK_ID, Block(5, {9, 9})));
    auto raw = Answer();
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(peer::AsLinkData(*raw), (Bytes{0x05, 0xA2, 0x81, 0x00, 0x01, 0x00}));
    EXPECT_EQ(Status(Block(1, {5, 6, 7, 8})), 0);  // a repeat is not written twice
    // A block claiming 10 bytes while carrying 2 is refused, not counted.
    Bytes lying = Block(2, {9, 10});
    lying[6] = 10;
    EXPECT_EQ(Status(lying), 1);
    // Link data too short for a block or a begin gets no answer.
    Send(peer::LinkData(kId, P2P_LINK_ID, {0x05, 0x22, 0x81, 0x00, 0x02, 0x00}));
    Send(peer::LinkData(kId, P2P_LINK_ID, {0x06, 0x22, 0x80, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_FALSE(Answer().has_value());

    testing::internal::CaptureStdout();
    EXPECT_EQ(Status(peer::EndData(false)), 1) << "8 of 10 bytes";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing whole to install yet";
    EXPECT_EQ(Status(Block(2, {9, 10, 11})), 1) << "past the announced 10 bytes";
    EXPECT_EQ(Status(Block(2, {9, 10})), 0);
    // Whole now, so it goes to the installation, whose archive check refuses
    // ten bytes that are no archive: the answer says so.
    testing::internal::CaptureStdout();
    EXPECT_EQ(Status(peer::EndData(false)), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("archive /tmp/lpc3250.tgz is refused"), std::string::npos);
    EXPECT_EQ(Target("/tmp/lpc3250.tgz"), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Status(peer::EndData(false)), 1) << "a repeated end is answered again";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "and not installed again";
    EXPECT_EQ(Status(Block(3, {1})), 1) << "no blocks after the end";
}

TEST_F(P2PTest, KernelEndInstallsOnceAndRebootsAfterAnInstallation) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    std::filesystem::create_directories(root.at("/dev"));
    root.write("/dev/mtd2", Bytes(1 << 20, 0xFF));
    const Bytes image = upgradetest::MakeUImage(upgradetest::Pattern(2500, 7));
    Open();
    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_KERNEL, static_cast<uint32_t>(image.size()), 3)), 0);
    for (uint16_t block = 0; block * 1000u < image.size(); ++block) {
        const size_t from = block * 1000u;
        const Bytes piece(image.begin() + from, image.begin() + std::min(image.size(), from + 1000));
        ASSERT_EQ(Status(Block(block, piece)), 0) << block;
    }
    EXPECT_EQ(Status(peer::EndData(true)), 0);
    EXPECT_EQ(Target("/tmp/uImage"), image);
    const std::vector<std::string> installed = {"/usr/sbin/flash_eraseall /dev/mtd2",
                                                "/usr/sbin/nandwrite -p /dev/mtd2 /tmp/uImage", "reboot"};
    EXPECT_EQ(shell.lines(), installed);
    EXPECT_EQ(Status(peer::EndData(true)), 0);
    EXPECT_EQ(shell.lines(), installed) << "the repeated end installs nothing";
    EXPECT_EQ(UpgradeReserve(), 1) << "the installation was given back";
    UpgradeRelease();

    // A refused image is answered as a failure and not followed by a reboot.
    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_KERNEL, 4, 1)), 0);
    ASSERT_EQ(Status(Block(0, {1, 2, 3, 4})), 0);
    EXPECT_EQ(Status(peer::EndData(true)), 1);
    EXPECT_EQ(shell.lines(), installed);
}

TEST_F(P2PTest, EndsWithoutAGoodBeginInstallNothing) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    std::filesystem::create_directories(root.at("/dev"));
    root.write("/dev/mtd2", Bytes(1 << 20, 0xFF));
    root.write("/tmp/uImage", upgradetest::MakeUImage({1, 2, 3}));  // left from an earlier run
    Open();
    EXPECT_EQ(Status(peer::EndData(true)), 1) << "no begin in this run";

    testing::internal::CaptureStdout();
    EXPECT_EQ(Status(peer::BeginData(2, 4, 1)), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cnt software donwload type is error,type:2\n");
    EXPECT_EQ(Status(peer::EndData(false)), 1);

    // The file cannot be made: blocks are counted, the end refused.
    std::filesystem::remove(root.at("/tmp/uImage"));
    std::filesystem::create_directories(root.at("/tmp/uImage"));
    EXPECT_EQ(Status(peer::BeginData(DL_TYPE_KERNEL, 2, 1)), 1);
    EXPECT_EQ(Status(Block(0, {1, 2})), 0);
    EXPECT_EQ(Status(peer::EndData(false)), 1);
    std::filesystem::remove(root.at("/tmp/uImage"));

    // Writes that fail (a full device behind the file): the end is refused.
    std::filesystem::create_symlink("/dev/full", root.at("/tmp/uImage"));
    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_KERNEL, 3, 1)), 0);
    EXPECT_EQ(Status(Block(0, {1, 2, 3})), 0);
    EXPECT_EQ(Status(peer::EndData(true)), 1);
    EXPECT_TRUE(shell.lines().empty());
}

TEST_F(P2PTest, OneInstallationAtATimeWithTheServersUpgrade) {
    Open();
    ASSERT_EQ(UpgradeReserve(), 1);  // a server package being installed
    EXPECT_EQ(Status(peer::BeginData(DL_TYPE_KERNEL, 1, 1)), 1);
    EXPECT_FALSE(root.exists("/tmp/uImage")) << "not written while another installation runs";
    UpgradeRelease();

    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_KERNEL, 1, 1)), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(UpgradeInstallPackage("/tmp/upgrade_app.bin"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error:  an upgrade is being installed already, this one is refused\n")
        << "the server's upgrade waits for the download";
    EXPECT_EQ(UpgradeReserve(), 0);
    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_APP, 1, 1)), 0) << "a new begin takes over its own reservation";
    EXPECT_EQ(Status(Block(0, {7})), 0);

    // Closing the link gives the installation back; the download must begin again.
    Send(peer::LinkRequest(kId, P2P_LINK_ID, P2P_LINK_CLOSE, 0));
    ASSERT_TRUE(Answer().has_value());
    EXPECT_EQ(UpgradeReserve(), 1);
    Open();
    EXPECT_EQ(Status(peer::EndData(false)), 1);
    UpgradeRelease();

    // The same after an idle close.
    ASSERT_EQ(Status(peer::BeginData(DL_TYPE_APP, 1, 1)), 0);
    for (int tick = 0; tick < 11; ++tick) P2PLinkTick();
    ASSERT_TRUE(Answer().has_value());
    EXPECT_EQ(UpgradeReserve(), 1);
    UpgradeRelease();
}

// ---- The peer's side ---------------------------------------------------------------

TEST(PeerFrames, DownloadLinkDataLayoutsAndTheNextBlock) {
    EXPECT_EQ(peer::BeginData(peer::kTypeKernel, 0x01020304, 5),
              (Bytes{0x09, 0x22, 0x80, 0x01, 0x01, 0x02, 0x03, 0x04, 0x00, 0x05}));
    const Bytes two = {0xAA, 0xBB};
    EXPECT_EQ(peer::BlockData(0x0102, two.data(), two.size()),
              (Bytes{0x08, 0x22, 0x81, 0x01, 0x02, 0x00, 0x02, 0xAA, 0xBB}));
    EXPECT_EQ(peer::EndData(true), (Bytes{0x02, 0x22, 0x83}));
    EXPECT_EQ(peer::QueryData(), (Bytes{0x01, 0x21}));
    EXPECT_EQ(nettest::Payload(peer::LinkRequest(kId, 0xFE, 1, 9000)), (Bytes{0xFE, 0x01, 0x23, 0x28}));

    // A block answer decoded from the terminal's link data frame.
    const Bytes answer = nettest::Frame(P2P_CMD_DATA, {0xFE, 0x00, 0x06, 0x05, 0xA2, 0x81, 0x01, 0x02, 0x00});
    const auto frame = peer::Decode(answer.data(), answer.size());
    ASSERT_TRUE(frame.has_value());
    const auto decoded = peer::AsDownloadAnswer(*frame);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->lastBlock, 0x0102);
    EXPECT_EQ(peer::NextBlock(*decoded), 0x0103);
    EXPECT_EQ(peer::NextBlock({DL_OP_BLOCK, 7, 1}), 0) << "nothing accepted: from the first";
    // Link data whose length disagrees with the frame is not an answer.
    const Bytes lying = nettest::Frame(P2P_CMD_DATA, {0xFE, 0x00, 0x07, 0x05, 0xA2, 0x81, 0x01, 0x02, 0x00});
    EXPECT_FALSE(peer::AsDownloadAnswer(*peer::Decode(lying.data(), lying.size())).has_value());
    EXPECT_EQ(peer::BlockCount(4001, 4000), 2u);
    EXPECT_EQ(peer::BlockCount(0, 4000), 0u);
}
