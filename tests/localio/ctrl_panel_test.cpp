// The serial panel in-process: what the parser posts to the player queue
// for every key and setting, the group-list timer on the timer service's
// own tick, the exact bytes every send writes, and the line codec's limits.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "localio/ctrl_panel.h"
#include "localio/panel_frame.h"
#include "player/player_msg.h"
#include "player/player_state.h"
#include "runtime/od_diag.h"
#include "runtime/vos.h"

namespace {

struct Posted {
    uint16_t type;
    std::vector<uint8_t> data;
    bool operator==(const Posted& o) const { return type == o.type && data == o.data; }
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
    out << "{" << p.type << ":";
    for (uint8_t b : p.data) out << " " << int(b);
    return out << "}";
}

// A fresh runtime with the timer service (not its task: tests tick by hand)
// and the player queue.
class Panel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OdWrap__Init(), eOD_RET_OK);
        ASSERT_EQ(VosTimerInit(), 0u);
        uint32_t queueId = 0;
        ASSERT_EQ(VosQueueCreate(200, 8, &queueId), eOD_RET_OK);
        gPlayerQueueId.store(static_cast<int32_t>(queueId));
        queue_ = queueId;
    }
    // Every message posted since the last call; each must come from the panel.
    std::vector<Posted> Drain() {
        std::vector<Posted> posted;
        void* message = nullptr;
        while (VosQueueReceive(queue_, 1, 0, &message) == eOD_RET_OK) {
            auto* m = static_cast<PlayerMsg*>(message);
            EXPECT_EQ(m->src, eMSG_SRC_PANEL);
            EXPECT_EQ(m->rsv, 0);
            posted.push_back({m->msgType, std::vector<uint8_t>(m->data, m->data + m->len)});
            free(m);
        }
        return posted;
    }
    static void Frame(std::vector<uint8_t> bytes) {
        PanelParseFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    static void Key(uint8_t key, uint8_t state = 1) { Frame({0x00, 0x81, key, state}); }
    uint32_t queue_ = 0;
};

size_t ActiveTimers() { return VosTimerDelays(nullptr, 0); }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += "0123456789ABCDEF"[b >> 4];
        text += "0123456789ABCDEF"[b & 15];
    }
    return text;
}

// Everything waiting on the far end of the panel's port.
std::vector<uint8_t> Wire(int fd) {
    std::vector<uint8_t> bytes(4096);
    const ssize_t n = recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

}  // namespace

TEST_F(Panel, KeysPostOnlyOnceThePanelIsReadyAndSettingsPostAlways) {
    SetPanelReady(0);
    Key(5);
    Frame({0x00, 0x82, 7, 9});
    EXPECT_EQ(Drain(), (std::vector<Posted>{{23, {9}}}));

    SetPanelReady(1);
    for (int k = 0; k <= 255; ++k) {
        Key(static_cast<uint8_t>(k), 0);  // a release posts nothing
        if (k != 11) Key(static_cast<uint8_t>(k));
    }
    std::vector<Posted> keys = {{13, {255}}};
    for (uint8_t k = 1; k <= 10; ++k) keys.push_back({13, {static_cast<uint8_t>(k - 1)}});
    for (uint16_t type : {35, 15, 14, 9, 7, 8, 6, 5, 22, 18, 20}) keys.push_back({type, {}});
    EXPECT_EQ(Drain(), keys);

    for (int c = 0; c <= 255; ++c) Frame({0x00, 0x82, static_cast<uint8_t>(c), static_cast<uint8_t>(c + 100)});
    EXPECT_EQ(Drain(), (std::vector<Posted>{{25, {101}}, {27, {102}}, {26, {103}}, {24, {104}}, {19, {105}},
                                            {21, {106}}, {23, {107}}}));

    // Short frames carry no key or setting: the bytes behind them are not theirs.
    const uint8_t stale[] = {0x00, 0x81, 0x05, 0x01};
    PanelParseFrame(stale, 2);
    PanelParseFrame(stale, 3);
    const uint8_t staleSetting[] = {0x00, 0x82, 0x07, 0x09};
    PanelParseFrame(staleSetting, 2);
    PanelParseFrame(staleSetting, 3);
    Frame({0x00});
    Frame({0x00, 0x83, 0x01, 0x01});
    EXPECT_EQ(Drain(), std::vector<Posted>{});
}

TEST_F(Panel, GroupListClosesOnASecondPressOrAfterThirtySeconds) {
    SetPanelReady(1);
    Uint64 now{};
    OdWrap__TimeGetMs(&now);
    uint32_t tick = now.low;
    VosTimerTickAt(tick);

    Key(11);
    EXPECT_EQ(Drain(), (std::vector<Posted>{{33, {}}}));
    EXPECT_EQ(ActiveTimers(), 1u);
    Key(11);
    EXPECT_EQ(Drain(), (std::vector<Posted>{{34, {}}}));
    EXPECT_EQ(ActiveTimers(), 0u) << "the second press must stop the timer";

    Key(11);
    EXPECT_EQ(Drain(), (std::vector<Posted>{{33, {}}}));
    // The timer service counts at most 5 s per tick: step a second at a time.
    for (int s = 0; s < 29; ++s) VosTimerTickAt(tick += 1000);
    EXPECT_EQ(Drain(), std::vector<Posted>{});
    for (int s = 0; s < 2; ++s) VosTimerTickAt(tick += 1000);
    EXPECT_EQ(Drain(), (std::vector<Posted>{{34, {}}}));
    EXPECT_EQ(ActiveTimers(), 0u);

    // The expiry cleared the handle: the next press opens the list again.
    Key(11);
    EXPECT_EQ(Drain(), (std::vector<Posted>{{33, {}}}));
}

TEST_F(Panel, SendsWriteOneStuffedFrameEachAndCutTextAtACharacterBoundary) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // Standard input closed: the port may well be descriptor 0.
    ASSERT_EQ(dup2(pair[0], 0), 0);
    close(pair[0]);
    PanelAttachPort(0);
    const int far = pair[1];

    PanelSendNumber(300);
    EXPECT_EQ(Hex(Wire(far)), "7E 08 04 02 04 00 00 01 2C 7E");
    PanelSendNumber(0x7E7D0102);
    EXPECT_EQ(Hex(Wire(far)), "7E 08 04 02 04 7D 3E 7D 3D 01 02 7E");
    PanelSendLed(13, 3);
    PanelSendSwitch(6, 1);
    EXPECT_EQ(Hex(Wire(far)), "7E 04 02 0E 03 7E 7E 04 05 06 01 7E");

    Frame({0x00, 0x80});
    EXPECT_EQ(Hex(Wire(far)), "7E 02 01 00 7E");
    EXPECT_EQ(Drain(), (std::vector<Posted>{{31, {}}}));

    auto textFrame = [](std::vector<uint8_t> header, const std::string& text) {
        std::vector<uint8_t> frame = {0x7E};
        frame.insert(frame.end(), header.begin(), header.end());
        frame.insert(frame.end(), text.begin(), text.end());
        frame.push_back(0x00);
        frame.push_back(0x7E);
        return Hex(frame);
    };
    const std::string gb = "\xC4\xE3";  // one two-byte character
    // 121 + 2 bytes end exactly at the limit of 123: sent whole.
    PanelSendText((std::string(121, 'a') + gb).c_str());
    EXPECT_EQ(Hex(Wire(far)), textFrame({128, 0x04, 0x01, 124}, std::string(121, 'a') + gb));
    // 122 + 2 would end past it: the character goes whole, never its first byte.
    PanelSendText((std::string(122, 'a') + gb + "b").c_str());
    EXPECT_EQ(Hex(Wire(far)), textFrame({127, 0x04, 0x01, 123}, std::string(122, 'a')));
    PanelSendText((std::string(200, 'a')).c_str());
    EXPECT_EQ(Hex(Wire(far)), textFrame({128, 0x04, 0x01, 124}, std::string(123, 'a')));
    PanelSendTextEx(1, 2, (std::string(120, 'a') + gb).c_str());
    EXPECT_EQ(Hex(Wire(far)), textFrame({127, 0x04, 0x00, 123, 1, 2}, std::string(120, 'a')));
    PanelSendTextEx(0, 0, "No MP3 Dir");
    EXPECT_EQ(Hex(Wire(far)), textFrame({17, 0x04, 0x00, 13, 0, 0}, "No MP3 Dir"));

    PanelAttachPort(-1);
    PanelSendHello();
    EXPECT_TRUE(Wire(far).empty());
    close(far);
}

TEST(PanelFrameCodec, StuffingRoundTripsAndAnOverlongFrameIsDroppedUpToTheNextFlag) {
    std::vector<uint8_t> payload(kPanelMaxPayload);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(0x7D + i);  // 7D and 7E early
    std::vector<uint8_t> wire(kPanelMaxWire);
    wire.resize(PanelStuffFrame(payload.data(), payload.size(), wire.data(), wire.size()));
    ASSERT_EQ(wire.size(), 2 + payload.size() + 2);  // one 7D and one 7E escaped
    EXPECT_EQ(Hex({wire.begin(), wire.begin() + 6}), "7E 7D 3D 7D 3E 7F");
    std::vector<uint8_t> tooLong(kPanelMaxPayload + 1);
    EXPECT_EQ(PanelStuffFrame(tooLong.data(), tooLong.size(), wire.data(), kPanelMaxWire), 0u);

    PanelDeframer deframer;
    std::vector<std::vector<uint8_t>> frames;
    auto feed = [&](const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes)
            if (deframer.Feed(b) && deframer.size() > 0)
                frames.emplace_back(deframer.frame(), deframer.frame() + deframer.size());
    };
    feed(wire);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], payload);

    // 256 bytes fit the receive buffer; 300 do not, and none of their tail
    // (here, announce frames) may be taken for a frame.
    std::vector<uint8_t> full(kPanelRxBuffer, 0x01);
    std::vector<uint8_t> line = {0x7E};
    line.insert(line.end(), full.begin(), full.end());
    line.push_back(0x7E);
    for (int i = 0; i < 150; ++i) line.insert(line.end(), {0x00, 0x80});
    line.insert(line.end(), {0x7E, 0x00, 0x82, 0x7D, 0x3E, 0x7E});
    frames.clear();
    feed(line);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], full);
    EXPECT_EQ(frames[1], (std::vector<uint8_t>{0x00, 0x82, 0x7E}));
}
