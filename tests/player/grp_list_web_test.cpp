// The panel's group list and the web requests, driven through the central
// control with real messages: list frames read byte for byte off the far
// end of the panel's port, the state reply and the status reports received
// on the loopback of a private network namespace.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "localio/ctrl_panel.h"
#include "localio/panel_frame.h"
#include "net/net.h"
#include "net/net_frame.h"
#include "player/central_ctrl.h"
#include "player/player_state.h"
#include "player/settings.h"
#include "tests/cgi/private_net.h"
#include "tests/support/board_root.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;
using Report = std::array<int, 3>;  // state, group mask, request flag

constexpr size_t kStatusStateAt = kNetFramePayloadOffset + 32;

Bytes Led(uint8_t index, uint8_t state) { return {0x04, 0x02, static_cast<uint8_t>(index + 1), state}; }
Bytes Switch(uint8_t number, uint8_t value) { return {0x04, 0x05, number, value}; }

std::string Repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

// A type-32 payload: its own length field, then each name behind its length.
Bytes Names(std::initializer_list<std::string> names, Bytes tail = {}) {
    Bytes out = {0, 0};
    for (const std::string& n : names) {
        out.push_back(static_cast<uint8_t>(n.size()));
        out.insert(out.end(), n.begin(), n.end());
    }
    out.insert(out.end(), tail.begin(), tail.end());
    out[0] = static_cast<uint8_t>(out.size());
    out[1] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

// A list frame; each entry's name is followed by its 0 unless empty.
Bytes ListFrame(std::initializer_list<std::tuple<uint8_t, uint8_t, std::string>> entries) {
    Bytes out = {0, 0x06, 0x01};
    for (const auto& [index, selected, name] : entries) {
        out.insert(out.end(), {index, selected, static_cast<uint8_t>(name.empty() ? 0 : name.size() + 1)});
        out.insert(out.end(), name.begin(), name.end());
        if (!name.empty()) out.push_back(0);
    }
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

void Post(uint16_t type, const Bytes& payload = {}) {
    std::vector<uint8_t> block(kPlayerMsgOverhead + payload.size(), 0);
    auto* m = reinterpret_cast<PlayerMsg*>(block.data());
    m->msgType = type;
    m->len = static_cast<uint16_t>(payload.size());
    std::copy(payload.begin(), payload.end(), m->data);
    PlayerCentralCtrl(m);
}

class WebAndList : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cgitest::EnterPrivateNetwork()) << "a private network namespace needs root";
        PlayerStateClear();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
        PanelAttachPort(pair_[0]);
        status_.emplace(8206);
        ASSERT_TRUE(status_->bound());
        gServerIp.store(htonl(INADDR_LOOPBACK));
    }
    void TearDown() override {
        PanelAttachPort(-1);
        if (pair_[0] >= 0) close(pair_[0]), close(pair_[1]);
    }

    // Every panel frame written since the last call.
    Frames Panel() {
        Frames frames;
        uint8_t wire[4096];
        for (ssize_t n; (n = recv(pair_[1], wire, sizeof wire, MSG_DONTWAIT)) > 0;)
            for (ssize_t k = 0; k < n; ++k)
                if (deframer_.Feed(wire[k]) && deframer_.size() > 0)
                    frames.emplace_back(deframer_.frame(), deframer_.frame() + deframer_.size());
        return frames;
    }

    // Every status report waiting on the server's port.
    std::vector<Report> Reports() {
        std::vector<Report> reports;
        for (int i = 0; i < 100; ++i) {
            auto frame = status_->Receive(20);
            if (!frame) break;
            if (frame->size() < kStatusStateAt + 6 || (*frame)[4] != 0x81) continue;
            const uint8_t* p = frame->data() + kStatusStateAt;
            reports.push_back({p[0], p[1] | p[2] << 8, p[5]});
        }
        return reports;
    }

    std::optional<cgitest::UdpListener> status_;
    PanelDeframer deframer_;
    int pair_[2] = {-1, -1};
};

}  // namespace

TEST_F(WebAndList, GroupListCutsNamesAtCharacterBoundariesAndPagesWhileOpen) {
    const std::string zhongUtf8 = "\xE4\xB8\xAD", zhongGb = "\xD6\xD0";
    // 18 GB2312 bytes. Three single-byte characters among the first 16: the
    // 16th byte starts a character, so 17 are kept; with two, 16.
    const std::string odd = "abc" + Repeat(zhongUtf8, 7) + "d", oddShown = "abc" + Repeat(zhongGb, 7);
    const std::string even = "ab" + Repeat(zhongUtf8, 8), evenShown = "ab" + Repeat(zhongGb, 7);
    const std::string sixteen = "0123456789abcdef";
    // Entry 6's length byte claims 9 bytes where 3 remain: it and the rest are empty.
    const Bytes names = Names({odd, even, "", sixteen, "Zone", zhongUtf8}, {9, 'x', 'y', 'z'});

    Post(eSVC_MSG_TYPE_PLAYER_GRP_INFO, names);  // closed: ignored
    Post(eSVC_MSG_TYPE_GRP_LIST_PAGE);
    EXPECT_EQ(Panel(), Frames{});

    SetBrdGrpBit(1, 1);
    SetBrdGrpBit(5, 1);
    Post(eSVC_MSG_TYPE_GRP_LIST_OPEN);
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 0x22, 1}})) << "opening asks the server for the names";
    Post(eSVC_MSG_TYPE_PLAYER_GRP_INFO, names);
    const Frames page0 = Panel();
    ASSERT_EQ(page0.size(), 1u);
    EXPECT_EQ(page0[0][0], 75);
    EXPECT_EQ(page0[0], ListFrame({{1, 0, oddShown}, {2, 1, evenShown}, {3, 0, ""}, {4, 0, sixteen}, {5, 0, "Zone"}}));

    SetBrdGrpBit(1, 0);
    SetBrdGrpBit(6, 1);
    SetBrdGrpBit(9, 1);
    Post(eSVC_MSG_TYPE_GRP_LIST_PAGE);  // selection refreshed from the mask
    EXPECT_EQ(Panel(), (Frames{{21, 0x06, 0x01, 6, 1, 3, 0xD6, 0xD0, 0, 7, 1, 0, 8, 0, 0, 9, 0, 0, 10, 1, 0}}));

    // A name that does not convert: no frame, the names before it are new.
    Post(eSVC_MSG_TYPE_PLAYER_GRP_INFO, Names({"New", "\xFF\xFE"}));
    EXPECT_EQ(Panel(), Frames{});
    Post(eSVC_MSG_TYPE_GRP_LIST_PAGE);
    EXPECT_EQ(Panel(), Frames{ListFrame({{1, 0, "New"}, {2, 0, evenShown}, {3, 0, ""}, {4, 0, sixteen}, {5, 0, "Zone"}})});

    // Names arriving while page 1 shows are shown on page 1; a bare length
    // field empties the whole list.
    const Bytes emptyPage1 = ListFrame({{6, 1, ""}, {7, 1, ""}, {8, 0, ""}, {9, 0, ""}, {10, 1, ""}});
    Post(eSVC_MSG_TYPE_GRP_LIST_PAGE);
    Panel();
    Post(eSVC_MSG_TYPE_PLAYER_GRP_INFO, Names({}));
    EXPECT_EQ(Panel(), Frames{emptyPage1});

    Post(eSVC_MSG_TYPE_GRP_LIST_CLOSE);
    EXPECT_EQ(Panel(), (Frames{{0x03, 0x06, 0x00}}));
    Post(eSVC_MSG_TYPE_PLAYER_GRP_INFO, names);
    Post(eSVC_MSG_TYPE_GRP_LIST_PAGE);
    EXPECT_EQ(Panel(), Frames{});
    // Reopened on page 0: the page key pages through the kept table.
    Post(eSVC_MSG_TYPE_GRP_LIST_OPEN);
    Post(eSVC_MSG_TYPE_GRP_LIST_PAGE);
    EXPECT_EQ(Panel(), Frames{emptyPage1});
}

TEST_F(WebAndList, StateReplyGroupMaskAndControlRecord) {
    cgitest::UdpListener cgi(8691);
    ASSERT_TRUE(cgi.bound());
    SetBrdGrpBit(4, 1);
    // 0xFE05: groups 0, 2 and 9; bits 10 to 15 name no group. LEDs, no report.
    Post(eSVC_MSG_TYPE_CGI_SET_BRD_GRP, {0xFE, 0x05});
    Post(eSVC_MSG_TYPE_CGI_SET_BRD_GRP, {0x00});  // short: ignored
    Frames leds;
    for (uint8_t g = 0; g < 10; ++g) leds.push_back(Led(g, g == 0 || g == 2 || g == 9 ? 2 : 1));
    EXPECT_EQ(Panel(), leds);
    EXPECT_EQ(Reports(), std::vector<Report>{});

    // No card: no folder or file, no names, stopped.
    SetBrdState(2);
    SetChn1On(1);
    SetChn3On(1);
    Post(eSVC_MSG_TYPE_CGI_GET_SYS_STATE);
    Bytes expected(273, 0);
    for (auto [at, value] : {std::pair{1, 255}, {2, 255}, {3, 1}, {4, 1}, {6, 1}, {10, 0x02}, {11, 0x05}})
        expected[at] = static_cast<uint8_t>(value);
    EXPECT_EQ(cgi.Receive(2000), expected);

    // Auto mode: the broadcast fields are ignored (broadcast off asked for
    // here), the rest applied; playing in auto mode asks for the broadcast itself.
    SetBrdState(0);
    SetAutoMode(1);
    const Bytes record = {1, 0, 1, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    Post(eSVC_MSG_TYPE_CGI_SYS_CTRL, Bytes(record.begin(), record.end() - 1));  // short: ignored
    Post(eSVC_MSG_TYPE_CGI_SYS_CTRL, record);
    EXPECT_EQ(Panel(), (Frames{Switch(1, 0), Switch(3, 1), Led(13, 3)}));
    EXPECT_EQ(GetBrdState(), 1);
    EXPECT_EQ(GetChn2On(), 0) << "channel 2 was not valid";
    EXPECT_EQ(GetChn4On(), 1) << "play command 1 switches the MP3 channel on";
    EXPECT_EQ(Reports(), (std::vector<Report>{{1, 0x0205, 0}}));
    // An on flag other than 0 or 1 is ignored, the valid fields beside it applied.
    Post(eSVC_MSG_TYPE_CGI_SYS_CTRL, {0, 0, 1, 0x37, 1, 1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Panel(), (Frames{Switch(2, 1)}));
    EXPECT_EQ(GetChn1On(), 0);
    EXPECT_EQ(GetChn2On(), 1);
    EXPECT_EQ(GetChn3On(), 1);

    SetBrdState(0);
    SetAutoMode(0);
    Post(eSVC_MSG_TYPE_CGI_SYS_CTRL, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Post(eSVC_MSG_TYPE_CGI_SYS_CTRL, {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(GetChn4On(), 0) << "play command 0 switches the MP3 channel off";
    EXPECT_EQ(Panel(), (Frames{Led(13, 3), Led(13, 1)}));
    EXPECT_EQ(Reports(), (std::vector<Report>{{1, 0x0205, 0}, {0, 0x0205, 0}}));
}

// The running settings follow the file: a write that fails changes neither.
TEST(WebExtOpts, SettingsApplyOnlyOnceStored) {
    testsupport::TempBoardRoot root;
    const std::string file = "/opt/lpc3250/sysExtOpts";
    const Bytes defaults = {10, 0, 0, 0, 0, 0, 0, 0}, wanted = {20, 1, 1, 0, 0, 0, 0, 0};
    PlayerSetExtOpts(defaults.data());
    std::filesystem::create_directory(root.at(file));  // cannot be opened for writing
    testing::internal::CaptureStdout();
    Post(eSVC_MSG_TYPE_CGI_EXT_OPTS, wanted);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Save gPlayerExtOpts Error"), std::string::npos) << out;
    EXPECT_EQ(GetDelayTime(), 10);
    EXPECT_EQ(GetAutoFlag(), 0);

    std::filesystem::remove(root.at(file));
    Post(eSVC_MSG_TYPE_CGI_EXT_OPTS, Bytes(wanted.begin(), wanted.end() - 1));  // short: ignored
    // No auto flag but 0 or 1, no reserved byte set: junk, not extopts.
    Post(eSVC_MSG_TYPE_CGI_EXT_OPTS, Bytes{20, 1, 2, 0, 0, 0, 0, 0});
    Post(eSVC_MSG_TYPE_CGI_EXT_OPTS, Bytes{20, 1, 1, 0, 0, 0, 0, 9});
    EXPECT_FALSE(root.exists(file));
    EXPECT_EQ(GetDelayTime(), 10);
    Post(eSVC_MSG_TYPE_CGI_EXT_OPTS, wanted);
    EXPECT_EQ(root.read(file), wanted);
    EXPECT_EQ(GetDelayTime(), 0x114);
    EXPECT_EQ(GetAutoFlag(), 1);
}
