// The frames paterm-server sends, against the byte layouts the terminal
// reads: envelope, command payloads, group block, announcements, login.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_frame.h"
#include "tools/server/server_frames.h"

namespace srvproto {
namespace {

DevId Id(const char* text) {
    DevId id{};
    EXPECT_TRUE(ParseDeviceId(text, &id));
    return id;
}

// The payload of a frame that passes the terminal's check, with its command.
Bytes PayloadOf(const Bytes& frame, uint8_t cmd, const DevId& id) {
    const int len = FrameCheck(frame.data(), frame.size());
    EXPECT_GE(len, 12);
    EXPECT_EQ(frame[4], cmd);
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 15), Bytes(id.begin(), id.end()));
    return Bytes(frame.begin() + 15, frame.end() - 2);
}

TEST(ServerFrames, GrantCarriesBrdIdAddressAndPortLittleEndian) {
    Grant g;
    g.brdId = 5;
    g.addr = 0xC0A8010A;  // 192.168.1.10
    g.port = 10000;
    const auto p = GrantPayload(g);
    EXPECT_EQ(Bytes(p.begin(), p.end()), (Bytes{0x05, 0x00, 0x0A, 0x01, 0xA8, 0xC0, 0x10, 0x27}));

    const DevId id = Id("PT00000001");
    const Bytes frame = BuildGrant(id, g);
    ASSERT_EQ(frame.size(), 8u + 17u);
    EXPECT_EQ(frame[1], 20);  // len = N + 12, little-endian
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(PayloadOf(frame, 0x83, id), Bytes(p.begin(), p.end()));

    g.brdId = 0x1234;
    g.port = 0xABCD;
    const auto q = GrantPayload(g);
    EXPECT_EQ(q[0], 0x34);
    EXPECT_EQ(q[1], 0x12);
    EXPECT_EQ(q[6], 0xCD);
    EXPECT_EQ(q[7], 0xAB);
}

TEST(ServerFrames, SmallCommandsHaveTheirCodesAndPayloads) {
    const DevId id = Id("PT00000042");
    EXPECT_EQ(PayloadOf(BuildMode(id, 2), 0x30, id), Bytes{2});
    const Bytes version = BuildVersionQuery(id);
    EXPECT_EQ(version.size(), 17u);
    EXPECT_TRUE(PayloadOf(version, 0x70, id).empty());
    // The checksum of an empty payload is cmd plus the identifier's bytes.
    unsigned sum = 0x70;
    for (char c : std::string("PT00000042")) sum += static_cast<uint8_t>(c);
    EXPECT_EQ(version[15], static_cast<uint8_t>(sum));
    EXPECT_EQ(version[16], 0x03);
    EXPECT_EQ(PayloadOf(BuildStop(id, 0x0102), 0x85, id), (Bytes{0x02, 0x01, 0, 0, 0, 0, 0, 0}));

    NetParams net{0xC0A8010A, 0xFFFFFF00, 0xC0A80101};
    EXPECT_EQ(PayloadOf(BuildNetParams(id, net), 0x3F, id),
              (Bytes{192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 1}));
}

TEST(ServerFrames, GroupBlockHoldsTenEntriesBehindItsLength) {
    const Bytes block = GroupNamesBlock({"Hall", "", "\xE5\xA4\xA7\xE5\x8E\x85"});
    // 2 length bytes, 10 length bytes, 4 + 6 name bytes.
    ASSERT_EQ(block.size(), 22u);
    EXPECT_EQ(block[0], 22);
    EXPECT_EQ(block[1], 0);
    EXPECT_EQ(block[2], 4);
    EXPECT_EQ(std::string(block.begin() + 3, block.begin() + 7), "Hall");
    EXPECT_EQ(block[7], 0);  // the empty second group
    EXPECT_EQ(block[8], 6);
    for (size_t i = 15; i < block.size(); ++i) EXPECT_EQ(block[i], 0) << i;  // groups 4 to 10 empty

    const DevId id = Id("PT00000001");
    EXPECT_EQ(PayloadOf(BuildGroupNames(id, {"Hall"}), 0x45, id), GroupNamesBlock({"Hall"}));

    // Eleven names, a name over 255 bytes, or a frame beyond the 1023 bytes
    // the terminal reads, cannot be sent.
    EXPECT_TRUE(GroupNamesBlock(std::vector<std::string>(11, "x")).empty());
    EXPECT_TRUE(GroupNamesBlock({std::string(256, 'x')}).empty());
    EXPECT_FALSE(GroupNamesBlock({std::string(255, 'x')}).empty());
    EXPECT_TRUE(GroupNamesBlock(std::vector<std::string>(4, std::string(250, 'x'))).empty());
    EXPECT_TRUE(BuildGroupNames(id, std::vector<std::string>(11, "x")).empty());
}

TEST(ServerFrames, AnnouncementsCarryTheClockAndTheAddress) {
    const uint32_t now = 0x65A1B2C3;
    const Bytes plain = BuildAnnounce(now);
    ASSERT_EQ(plain.size(), 17u);
    EXPECT_GT(FrameCheck(plain.data(), plain.size()), 0);
    EXPECT_EQ(plain[4], 0x20);
    EXPECT_EQ((Bytes(plain.begin() + 5, plain.begin() + 9)), (Bytes{0xC3, 0xB2, 0xA1, 0x65}));

    const Bytes withIp = BuildAnnounceIp(now, 0xC0A80105);  // 192.168.1.5
    ASSERT_GE(withIp.size(), 19u);
    EXPECT_GT(FrameCheck(withIp.data(), withIp.size()), 0);
    EXPECT_EQ(withIp[4], 0x29);
    EXPECT_EQ((Bytes(withIp.begin() + 5, withIp.begin() + 9)), (Bytes{0xC3, 0xB2, 0xA1, 0x65}));
    EXPECT_EQ((Bytes(withIp.begin() + 13, withIp.begin() + 17)), (Bytes{192, 168, 1, 5}));
}

TEST(ServerFrames, LoginFieldsSitAtTheirFrameOffsets) {
    const DevId id = Id("PT00000001");
    NetParams net{0xC0A8010B, 0xFFFFFF00, 0xC0A80101};
    const Bytes frame = BuildLogin(id, "super", "0123456789abcdef", net);
    ASSERT_EQ(frame.size(), 59u + 2u);
    EXPECT_GT(FrameCheck(frame.data(), frame.size()), 0);
    EXPECT_EQ(frame[4], 0x83);
    EXPECT_EQ(std::string(frame.begin() + 5, frame.begin() + 15), "PT00000001");
    EXPECT_EQ(std::string(frame.begin() + 15, frame.begin() + 20), "super");
    for (int i = 20; i < 31; ++i) EXPECT_EQ(frame[i], 0) << i;  // NUL-padded
    // A 16-character password fills its field without a terminator.
    EXPECT_EQ(std::string(frame.begin() + 31, frame.begin() + 47), "0123456789abcdef");
    EXPECT_EQ((Bytes(frame.begin() + 47, frame.begin() + 59)),
              (Bytes{192, 168, 1, 11, 255, 255, 255, 0, 192, 168, 1, 1}));
    EXPECT_TRUE(BuildLogin(id, "super", std::string(17, 'p'), net).empty());
    EXPECT_TRUE(BuildLogin(id, std::string(17, 'u'), "pw", net).empty());
    EXPECT_EQ(PayloadOf(BuildSearch(id), 0x81, id).size(), 0u);
}

TEST(ServerFrames, UpgradeUrlIsASafeNulTerminatedPath) {
    const DevId id = Id("PT00000001");
    const Bytes p = PayloadOf(BuildUpgradeUrl(id, "/pkg/upgrade_app-1.2.bin"), 0x71, id);
    EXPECT_EQ(std::string(p.begin(), p.end()), std::string("/pkg/upgrade_app-1.2.bin") + '\0');
    // The terminal pastes the path into a shell command: nothing that a
    // shell would act on, nothing that climbs out of the served path.
    for (const char* bad : {"", "/", "upgrade.bin", "/a b", "/a;reboot", "/a$(x)", "/a`x`", "/a|b", "/a&b", "/../etc",
                            "/a\nb", "/a?x=1", "/a'b"}) {
        EXPECT_FALSE(UpgradePathSafe(bad)) << bad;
        EXPECT_TRUE(BuildUpgradeUrl(id, bad).empty()) << bad;
    }
    EXPECT_TRUE(UpgradePathSafe("/" + std::string(399, 'a')));
    EXPECT_FALSE(UpgradePathSafe("/" + std::string(400, 'a')));
}

TEST(ServerFrames, DeviceIdIsTenPrintableCharacters) {
    DevId id{};
    EXPECT_FALSE(ParseDeviceId("PT0000001", &id));
    EXPECT_FALSE(ParseDeviceId("PT000000011", &id));
    EXPECT_FALSE(ParseDeviceId("PT 0000001", &id));
    EXPECT_FALSE(ParseDeviceId(std::string("PT0000000") + '\0', &id));
    ASSERT_TRUE(ParseDeviceId("PT-0000009", &id));
    EXPECT_EQ(DeviceIdText(id.data()), "PT-0000009");
}

}  // namespace
}  // namespace srvproto
