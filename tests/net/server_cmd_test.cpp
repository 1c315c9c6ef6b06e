// The server commands of port 8205 as ServerCmdHandle takes them: what each
// posts and prints, which frames it drops (envelope, identity, payloads
// shorter than the command needs, stale receive-buffer bytes), the network
// parameters in the EEPROM, the status and version payloads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/net.h"
#include "net/server_cmd.h"
#include "net_test_support.h"
#include "player/player_state.h"

using nettest::Bytes;
using nettest::Frame;
using nettest::Posted;
using testsupport::TempBoardRoot;

namespace {

// The task's receive buffer after earlier, longer datagrams: the frame is
// copied over stale bytes and only its own length is handed on.
void HandleInStaleBuffer(const Bytes& frame) {
    static uint8_t buffer[1024];
    std::memset(buffer, 0xAB, sizeof buffer);
    std::memcpy(buffer, frame.data(), frame.size());
    ServerCmdHandle(buffer, frame.size());
}

std::string HandleCapturing(const Bytes& frame) {
    testing::internal::CaptureStdout();
    HandleInStaleBuffer(frame);
    return testing::internal::GetCapturedStdout();
}

class ServerCmdTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::LoadIdentity(root);
        queue = nettest::CreatePlayerQueue();
    }
    Bytes Eeprom() const { return root.read(nettest::kEeprom); }

    TempBoardRoot root;
    uint32_t queue = 0;
};

const Bytes kBrdGrant = {0x05, 0x00, 0x0A, 0x01, 0xA8, 0xC0, 0x10, 0x27};  // id 5, 192.168.1.10:10000
const Bytes kBrdStop = {0x07, 0x09, 0, 0, 0, 0, 0, 0};

}  // namespace

TEST_F(ServerCmdTest, EachCommandPostsItsPayloadInArrivalOrder) {
    std::string out = HandleCapturing(Frame(SERVER_CMD_PWR_ON_OFF, {2}));
    out += HandleCapturing(Frame(SERVER_CMD_DGT_BRD_START, kBrdGrant));
    out += HandleCapturing(Frame(SERVER_CMD_DGT_BRD_STOP, kBrdStop));
    // The block says 5 bytes; the byte after it in the payload is not posted.
    out += HandleCapturing(Frame(SERVER_CMD_PLAYER_GRP_INFO, {5, 0, 'a', 'b', 'c', 0xEE}));
    EXPECT_EQ(out,
              "\nCMD:eSVC_MSG_TYPE_PWR_ON_OFF,2 "
              "\nCMD:SERVER_CMD_DGT_BRD_START,5 "
              "\nCMD:SERVER_CMD_DGT_BRD_STOP,9 "
              "\nCMD:eSVC_MSG_TYPE_PLAYER_GRP_INFO\n ");

    const std::vector<Posted> posted = nettest::TakeAll(queue);
    ASSERT_EQ(posted.size(), 4u);
    for (const Posted& p : posted) EXPECT_EQ(p.src, eMSG_SRC_NET);
    EXPECT_EQ(posted[0].type, eSVC_MSG_TYPE_PWR_ON_OFF);
    EXPECT_EQ(posted[0].data, Bytes{2});
    EXPECT_EQ(posted[1].type, eSVC_MSG_TYPE_DGT_BRD_START);
    EXPECT_EQ(posted[1].data, kBrdGrant);
    EXPECT_EQ(posted[2].type, eSVC_MSG_TYPE_DGT_BRD_STOP);
    EXPECT_EQ(posted[2].data, kBrdStop);
    EXPECT_EQ(posted[3].type, eSVC_MSG_TYPE_PLAYER_GRP_INFO);
    EXPECT_EQ(posted[3].data, (Bytes{5, 0, 'a', 'b', 'c'}));
}

TEST_F(ServerCmdTest, DropsDamagedForeignAndUnknownFramesSilently) {
    Bytes damaged = Frame(SERVER_CMD_PWR_ON_OFF, {1});
    damaged[15] = 2;  // checksum no longer matches
    Bytes trailing = Frame(SERVER_CMD_PWR_ON_OFF, {1});
    trailing.push_back(0);
    std::string out = HandleCapturing(damaged);
    out += HandleCapturing(trailing);
    out += HandleCapturing(Frame(SERVER_CMD_PWR_ON_OFF, {1}, "PT12345679"));
    out += HandleCapturing(Frame(0x55, {1, 2, 3}));
    out += HandleCapturing(Frame(PLAYER_CMD_STATUS, Bytes(73, 0)));  // our own report, echoed
    EXPECT_EQ(out, "");
    gServerIp.store(0);
    EXPECT_EQ(HandleCapturing(Frame(SERVER_CMD_GET_VERSION, {})), "SendDataToServer: Server IP is invalid\n");
    EXPECT_TRUE(nettest::TakeAll(queue).empty());
}

TEST_F(ServerCmdTest, FramesShorterThanTheirCommandAreDroppedWhateverTheBufferHeld) {
    // The buffer still holds a complete earlier command after each short
    // frame; none of those bytes may be taken for the missing payload.
    static uint8_t buffer[1024];
    const Bytes full = Frame(SERVER_CMD_DGT_BRD_START, kBrdGrant);
    std::memcpy(buffer, full.data(), full.size());
    const Bytes shortFrames[] = {
        Frame(SERVER_CMD_PWR_ON_OFF, {}),
        Frame(SERVER_CMD_SET_NET_PARAM, Bytes(11, 0)),
        Frame(SERVER_CMD_PLAYER_GRP_INFO, {2}),
        Frame(SERVER_CMD_DGT_BRD_START, Bytes(kBrdGrant.begin(), kBrdGrant.end() - 1)),
        Frame(SERVER_CMD_DGT_BRD_STOP, {}),
        Frame(SERVER_CMD_UPGRADE_APP_URL, {}),
    };
    const Bytes eepromBefore = Eeprom();
    testing::internal::CaptureStdout();
    for (const Bytes& frame : shortFrames) {
        std::memcpy(buffer, frame.data(), frame.size());
        ServerCmdHandle(buffer, frame.size());
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(nettest::TakeAll(queue).empty());
    EXPECT_EQ(Eeprom(), eepromBefore);
}

TEST_F(ServerCmdTest, GroupBlockLongerThanItsDatagramIsDropped) {
    std::string out = HandleCapturing(Frame(SERVER_CMD_PLAYER_GRP_INFO, {10, 0, 'x', 'y'}));
    out += HandleCapturing(Frame(SERVER_CMD_PLAYER_GRP_INFO, {0x00, 0x01, 'x', 'y'}));  // 256
    out += HandleCapturing(Frame(SERVER_CMD_PLAYER_GRP_INFO, {1, 0, 'x'}));  // shorter than its own length field
    EXPECT_EQ(out, "");
    EXPECT_TRUE(nettest::TakeAll(queue).empty());

    HandleCapturing(Frame(SERVER_CMD_PLAYER_GRP_INFO, {4, 0, 'x', 'y'}));  // exactly the payload
    const std::vector<Posted> posted = nettest::TakeAll(queue);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].data, (Bytes{4, 0, 'x', 'y'}));
}

TEST(ServerCmdPayloads, VersionIsD451PaddedToThirtyFourBytes) {
    uint8_t version[kVersionPayloadLength];
    std::memset(version, 0xEE, sizeof version);
    BuildVersionPayload(version);
    Bytes expected = {0x00, 0x02, 'D', '4', '.', '5', '.', '1'};
    expected.resize(34, 0);
    EXPECT_EQ(Bytes(version, version + sizeof version), expected);
}

TEST(ServerCmdPayloads, StatusCarriesStateFieldsLittleEndian) {
    uint8_t status[kStatusPayloadLength];
    std::memset(status, 0xEE, sizeof status);
    SetBrdState(2);
    SetBrdGrpMask(0x0205);
    SetBrdId(0x1234);
    gServerFixed = 1;
    BuildStatusPayload(7, status);  // any non-zero flag is 1
    Bytes expected(73, 0);
    const std::pair<size_t, uint8_t> fields[] = {{32, 2}, {33, 0x05}, {34, 0x02}, {35, 0x34}, {36, 0x12}, {37, 1}, {72, 1}};
    for (const auto& [offset, value] : fields) expected[offset] = value;
    EXPECT_EQ(Bytes(status, status + sizeof status), expected);
    gServerFixed = 0;
    BuildStatusPayload(0, status);
    EXPECT_EQ(status[37] + status[72], 0);
}

// ---- Network parameters in the EEPROM ---------------------------------------

namespace {

Bytes NetParams(uint32_t address, uint32_t mask, uint32_t gateway) {
    Bytes p;
    for (uint32_t v : {address, mask, gateway})
        for (int shift = 24; shift >= 0; shift -= 8) p.push_back(static_cast<uint8_t>(v >> shift));
    return p;
}

constexpr uint32_t kAddr = 0xC0A8010A;  // 192.168.1.10
constexpr uint32_t kMask24 = 0xFFFFFF00;
constexpr uint32_t kGateway = 0xC0A80101;  // 192.168.1.1

}  // namespace

TEST_F(ServerCmdTest, WriteNetParamsStoresTheRecordLittleEndianAtOffset32) {
    ASSERT_EQ(WriteNetParams(NetParams(kAddr, kMask24, kGateway).data()), 0);
    Bytes expected = nettest::EepromImage();
    const Bytes record = {0x0A, 0x01, 0xA8, 0xC0, 0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0xA8, 0xC0};
    std::copy(record.begin(), record.end(), expected.begin() + 32);
    EXPECT_EQ(Eeprom(), expected);  // bytes 31 and 44 untouched

    ASSERT_EQ(WriteNetParams(NetParams(0, 0, 0).data()), 0);
    std::fill(expected.begin() + 32, expected.begin() + 44, 0);
    EXPECT_EQ(Eeprom(), expected);
}

TEST_F(ServerCmdTest, WriteNetParamsRefusesBadMasksAndForeignGatewaysSilently) {
    const Bytes before = Eeprom();
    const Bytes refused[] = {
        NetParams(kAddr, kMask24, 0xC0A80201),   // gateway 192.168.2.1 outside the subnet
        NetParams(kAddr, 0xFF00FF00, kGateway),  // 255.0.255.0
        NetParams(kAddr, 0x7FFFFF00, kGateway),  // ones not starting at bit 31
        NetParams(0, kMask24, 0),                // no address but a mask
        NetParams(0, 0, kGateway),               // no address but a gateway
    };
    testing::internal::CaptureStdout();
    for (const Bytes& p : refused) EXPECT_EQ(WriteNetParams(p.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Eeprom(), before);

    std::filesystem::remove(root.at(nettest::kEeprom));
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteNetParams(NetParams(kAddr, 0xFFFFFFFF, kAddr).data()), -1);  // a /32 passes the checks
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error:  Error, cannot open /dev/i2c-eeprom0 for writing.\n");
}

TEST_F(ServerCmdTest, NetParamCommandRebootsOnlyAfterAWrite) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    HandleInStaleBuffer(Frame(SERVER_CMD_SET_NET_PARAM, NetParams(kAddr, kMask24, 0xC0A80201)));
    EXPECT_TRUE(shell.lines().empty());
    EXPECT_EQ(Eeprom(), nettest::EepromImage());

    HandleInStaleBuffer(Frame(SERVER_CMD_SET_NET_PARAM, NetParams(kAddr, kMask24, kGateway)));
    EXPECT_EQ(shell.lines(), std::vector<std::string>{"reboot"});
    EXPECT_EQ(Eeprom()[32], 0x0A);
}
