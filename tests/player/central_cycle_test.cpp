// The central control's broadcast cycle, auto mode and channels, observed
// through the real panel, audio and encoder code: panel frames off the far
// end of the panel's port, the processors on the board's audio bus, the
// stream and the status reports on the loopback of a private namespace.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/audio_bus.h"
#include "board/sim/control.h"
#include "board/sim/sound_card.h"
#include "broadcast/brd_encode.h"
#include "localio/audio_gpio.h"
#include "localio/ctrl_panel.h"
#include "localio/panel_frame.h"
#include "net/net.h"
#include "net/net_frame.h"
#include "player/central_ctrl.h"
#include "player/central_steps.h"
#include "player/player_state.h"
#include "player/settings.h"
#include "runtime/vos.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/in_process_board.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

constexpr uint16_t kStatusPort = 8206;
constexpr uint16_t kStreamPort = 10000;
constexpr size_t kStatusStateAt = kNetFramePayloadOffset + 32;

// The wire numbers indicators from 1.
Bytes Led(uint8_t index, uint8_t state) { return {0x04, 0x02, static_cast<uint8_t>(index + 1), state}; }
Bytes Switch(uint8_t number, uint8_t value) { return {0x04, 0x05, number, value}; }

struct Report {
    int state, mask, id, flag;
    bool operator==(const Report& o) const {
        return state == o.state && mask == o.mask && id == o.id && flag == o.flag;
    }
};
std::ostream& operator<<(std::ostream& out, const Report& r) {
    return out << "{state " << r.state << " mask " << r.mask << " id " << r.id << " flag " << r.flag << "}";
}

class CentralCycle : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace (needs root)";
        ASSERT_TRUE(board_.ready()) << board_.error();
        bus_.Attach(board_.devices(), controls_);
        bus_.PowerOn();
        card_.Attach(board_.devices(), controls_);
        card_.PowerOn();
        VosStart();
        PlayerStateClear();
        ASSERT_EQ(AudioGpioInit(), 0);
        ASSERT_EQ(BrdEncodeTaskStart(), 0);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        PanelAttachPort(pair[0]);
        port_ = pair[0];
        far_ = pair[1];
        status_.emplace(kStatusPort);  // inside the namespace, never on the host's network
        ASSERT_TRUE(status_->bound());
        gServerIp.store(htonl(INADDR_LOOPBACK));
    }
    void TearDown() override {
        BrdEncodeStop();
        PanelAttachPort(-1);
        if (far_ >= 0) close(far_), close(port_);
        card_.PowerOff();
        board_.PowerOff();
    }

    static void Post(uint16_t type, Bytes payload = {}) {
        std::vector<uint8_t> block(kPlayerMsgOverhead + payload.size(), 0);
        auto* m = reinterpret_cast<PlayerMsg*>(block.data());
        m->msgType = type;
        m->len = static_cast<uint16_t>(payload.size());
        std::copy(payload.begin(), payload.end(), m->data);
        PlayerCentralCtrl(m);
    }

    // Every panel frame written since the last call, payloads in order.
    Frames Panel() {
        Frames frames;
        uint8_t wire[4096];
        for (int i = 0; i < 100; ++i) {
            const ssize_t n = recv(far_, wire, sizeof wire, MSG_DONTWAIT);
            if (n <= 0) break;
            for (ssize_t k = 0; k < n; ++k)
                if (deframer_.Feed(wire[k]) && deframer_.size() > 0)
                    frames.emplace_back(deframer_.frame(), deframer_.frame() + deframer_.size());
        }
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
            reports.push_back({p[0], p[1] | p[2] << 8, p[3] | p[4] << 8, p[5]});
        }
        return reports;
    }

    bool DspOpen() {
        sim::Json status;
        card_.AddStatus(status);
        return status["dsp"]["open"].get<bool>();
    }

    simtest::InProcessBoard board_;
    sim::ControlRegistry controls_;
    sim::AudioBus bus_{&board_.log()};
    sim::SoundCard card_{board_.At(""), &board_.log()};
    std::optional<cgitest::UdpListener> status_;
    PanelDeframer deframer_;
    int port_ = -1, far_ = -1;
};

// The grant: id 0x1234, address bytes 5..2 = 127.0.0.1, port 10000 (LE).
const Bytes kGrant = {0x34, 0x12, 1, 0, 0, 127, kStreamPort & 0xFF, kStreamPort >> 8};

TEST_F(CentralCycle, ManualKeyRequestsGrantStreamsAndStops) {
    cgitest::UdpListener stream(kStreamPort);
    ASSERT_TRUE(stream.bound());
    ASSERT_EQ(controls_.Dispatch({{"cmd", "dsp.source"}, {"tone", 1000}, {"amplitude", 8000}}).body["ok"], true);
    SetBrdGrpBit(2, 1);

    Post(eSVC_MSG_TYPE_DGT_BRD_START, kGrant);  // while idle: dropped silently
    EXPECT_EQ(GetBrdId(), 0);
    EXPECT_EQ(GetBrdState(), 0);
    EXPECT_FALSE(stream.Receive(200)) << "no stream without a request";

    // Twice with no grant between: requested, then idle again.
    Post(eSVC_MSG_TYPE_BRD_KEY);
    EXPECT_EQ(Reports(), (std::vector<Report>{{1, 4, 0, 0}}));
    EXPECT_EQ(Panel(), (Frames{Led(13, 3)}));
    Post(eSVC_MSG_TYPE_BRD_KEY);
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 4, 0, 0}}));
    EXPECT_EQ(Panel(), (Frames{Led(13, 1)}));

    Post(eSVC_MSG_TYPE_BRD_KEY);
    Reports();
    Panel();
    testing::internal::CaptureStdout();
    Post(eSVC_MSG_TYPE_DGT_BRD_START, kGrant);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "start broadcast on: 127.0.0.1 : 10000\n");
    EXPECT_EQ(GetBrdState(), 2);
    // The very first datagram already carries the grant's id.
    auto packet = stream.Receive(3000);
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), kBrdPacketBytes);
    EXPECT_EQ((Bytes(packet->begin() + 12, packet->begin() + 16)), (Bytes{0x34, 0x12, 0, 0}));
    EXPECT_TRUE(Reports().empty()) << "the grant sends no report";
    EXPECT_TRUE(Panel().empty()) << "the grant changes no indicator";

    Post(eSVC_MSG_TYPE_DGT_BRD_START, {0x99, 0x00, 1, 0, 0, 127, 0x11, 0x27});  // a second grant
    EXPECT_EQ(GetBrdId(), 0x1234);

    Post(eSVC_MSG_TYPE_BRD_KEY);
    EXPECT_FALSE(DspOpen()) << "the stop returns with the card closed";
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 4, 0, 0}}));
    EXPECT_EQ(Panel(), (Frames{Led(13, 1)}));
    for (int i = 0; i < 1000 && stream.Receive(0); ++i) {
    }
    EXPECT_FALSE(stream.Receive(200)) << "the stream ends with the broadcast";
}

TEST_F(CentralCycle, AutoModeFollowsTheLineAudioAndIgnoresManualControl) {
    player_ext_opts_t opts = *GetExtOpts();
    opts.autoFlag = 1;
    PlayerSetExtOpts(&opts);

    Post(eSVC_MSG_TYPE_AUTO_KEY);
    EXPECT_EQ(Panel(), (Frames{Led(12, 2)}));
    EXPECT_TRUE(Reports().empty()) << "no audio yet: nothing requested";

    Post(eSVC_MSG_TYPE_AUTO_DECTED);
    EXPECT_EQ(Reports(), (std::vector<Report>{{1, 0, 0, 0}}));
    EXPECT_EQ(Panel(), (Frames{Led(13, 3)}));
    Post(eSVC_MSG_TYPE_BRD_KEY);
    Post(eSVC_MSG_TYPE_PWR_ON_OFF, {1});
    Post(eSVC_MSG_TYPE_DGT_BRD_STOP, Bytes(8, 0));  // audio present: the server's stop is ignored
    EXPECT_EQ(GetBrdState(), 1);
    EXPECT_TRUE(Reports().empty());
    EXPECT_TRUE(Panel().empty());

    testing::internal::CaptureStdout();
    Post(eSVC_MSG_TYPE_AUTO_LOST);
    EXPECT_EQ(GetBrdState(), 0);
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 0, 0, 0}}));
    EXPECT_EQ(Panel(), (Frames{Led(13, 1)}));
    Post(eSVC_MSG_TYPE_AUTO_LOST);  // already idle: reported, and the stop steps run anyway
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error:  Broadcast state error2!\n");
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 0, 0, 0}}));
    EXPECT_EQ(Panel(), (Frames{Led(13, 1)}));

    // Mode 0 leaves auto mode; the key cannot re-enter it once the web forbids it.
    Post(eSVC_MSG_TYPE_PWR_ON_OFF, {0});
    EXPECT_EQ(Panel(), (Frames{Led(12, 1)}));
    opts.autoFlag = 0;
    PlayerSetExtOpts(&opts);
    Post(eSVC_MSG_TYPE_AUTO_KEY);
    EXPECT_EQ(GetAutoMode(), 0);
    EXPECT_TRUE(Panel().empty());
}

TEST_F(CentralCycle, LevelsKeysGroupsAndTheRestoredSettings) {
    // Channels 1 and 3 on, 2 damaged, groups 0 and 10 stored, auto allowed.
    player_ext_opts_t opts = *GetExtOpts();
    opts.autoFlag = 1;
    PlayerSetExtOpts(&opts);
    *GetChnCfg() = player_chn_cfg_t{1, 1, 5, 1, 0x0401, {0, 0}};
    PlayerRestoreChnCfg();
    EXPECT_EQ(Panel(), (Frames{Switch(1, 1), Switch(2, 5), Switch(3, 1), Led(12, 2), Led(0, 2)}));
    EXPECT_EQ(GetBrdGrpMask(), 0x0001) << "only groups 0 to 9 exist";
    EXPECT_EQ(GetAutoMode(), 1);
    EXPECT_TRUE(Reports().empty()) << "restoring auto mode requests nothing";

    auto volume = [this](int channel) { return bus_.Chips()[channel - 1].volume; };
    auto reference = [this](int level) {  // channel 4 is off: its processor is free for a reference
        AudioSetVolume(4, level);
        return bus_.Chips()[3].volume;
    };
    Post(eSVC_MSG_TYPE_MASTER_LEVEL, {75});
    EXPECT_EQ(GetMasterLevel(), 60);
    Post(eSVC_MSG_TYPE_CHN1_LEVEL, {30});
    EXPECT_EQ(volume(1), reference(30));
    Post(eSVC_MSG_TYPE_MASTER_LEVEL, {30});
    EXPECT_EQ(volume(1), reference(15));
    Post(eSVC_MSG_TYPE_CHN3_LEVEL, {59});  // 59 x 30 / 60 = 29.5, truncated
    EXPECT_EQ(volume(3), reference(29));
    Post(eSVC_MSG_TYPE_BASS_LEVEL, {200});
    EXPECT_EQ(GetBassLevel(), 60);

    Panel();
    Post(eSVC_MSG_TYPE_CHN2_KEY);  // the damaged flag 5 toggles to off
    EXPECT_EQ(GetChn2On(), 0);
    EXPECT_EQ(bus_.Chips()[1].leftAttenuation, 31);
    Post(eSVC_MSG_TYPE_CHN1_KEY);
    EXPECT_EQ(GetChn1On(), 0);
    EXPECT_EQ(Panel(), (Frames{Switch(2, 0), Switch(1, 0)}));

    Post(eSVC_MSG_TYPE_GRP_KEY, {255});
    EXPECT_TRUE(Panel().empty());
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 0x0001, 0, 0}}));
    Post(eSVC_MSG_TYPE_GRP_KEY, {9});
    Post(eSVC_MSG_TYPE_GRP_KEY, {0});
    EXPECT_EQ(Panel(), (Frames{Led(9, 2), Led(0, 1)}));
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 0x0201, 0, 0}, {0, 0x0200, 0, 0}}));
}

}  // namespace
