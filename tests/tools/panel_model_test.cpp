// The panel emulator's logic: the terminal's frames, in any split, become
// the display; typed keys become the exact panel frames on the line.
#include <gtest/gtest.h>

#include <string>

#include "localio/panel_frame.h"
#include "tools/panel/panel_model.h"

namespace {

using panel::Bytes;

Bytes Wire(const Bytes& payload) {
    Bytes wire(kPanelMaxWire);
    wire.resize(PanelStuffFrame(payload.data(), payload.size(), wire.data(), wire.size()));
    return wire;
}

// Feeds the frames' wire bytes in chunks of `chunk`; returns the replies.
Bytes Feed(panel::PanelModel* model, const std::vector<Bytes>& payloads, size_t chunk) {
    Bytes stream, replies;
    for (const Bytes& p : payloads) {
        const Bytes w = Wire(p);
        stream.insert(stream.end(), w.begin(), w.end());
    }
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const Bytes r = model->Receive(stream.data() + at, std::min(chunk, stream.size() - at));
        replies.insert(replies.end(), r.begin(), r.end());
    }
    return replies;
}

const Bytes kAnnounce = {0x7E, 0x00, 0x80, 0x7E};

Bytes Typed(panel::PanelKeyboard* keyboard, const std::string& keys) {
    Bytes last;
    for (char c : keys) {
        const auto outcome = keyboard->Feed(static_cast<uint8_t>(c));
        EXPECT_FALSE(outcome.quit) << "on " << int(c);
        if (!outcome.frame.empty()) last = outcome.frame;
    }
    return last;
}

}  // namespace

TEST(PanelModel, TerminalFramesFillTheDisplayAndBadOnesStayOut) {
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{4096}}) {
        SCOPED_TRACE(chunk);
        panel::PanelModel model;
        const Bytes replies = Feed(&model, {
            {0x02, 0x00},                                          // hello
            {0x02, 0x01, 0x00},                                    // acknowledgement
            {0x04, 0x02, 0x01, 0x02}, {0x04, 0x02, 0x0E, 0x03},    // indicators 0 and 13
            {0x04, 0x02, 0x0F, 0x01}, {0x04, 0x02, 0x00, 0x01},    // no indicator 14, none "-1"
            {0x04, 0x05, 0x06, 0x01}, {0x04, 0x05, 0x04, 0x01},    // switch 6; there is no switch 4
            {0x08, 0x04, 0x02, 0x04, 0x00, 0x00, 0x01, 0x2C},      // number 300
            // Track "A~}中": flag and escape bytes travel stuffed.
            {0x0A, 0x04, 0x01, 0x06, 'A', 0x7E, 0x7D, 0xD6, 0xD0, 0x00},
            // Folder text carrying a screen-clearing escape, x 1, y 2.
            {0x0C, 0x04, 0x00, 0x08, 0x01, 0x02, 'd', 0x1B, '[', '2', 'J', 0x00},
            // List page: "Hall", a name cut inside a character, "中", then an
            // entry whose 9 name bytes are not all there.
            {0x1A, 0x06, 0x01, 1, 1, 5, 'H', 'a', 'l', 'l', 0, 2, 0, 3, 'x', 0xD6, 0,
             3, 1, 3, 0xD6, 0xD0, 0, 4, 0, 9, 'Y', 'a'},
        }, chunk);
        EXPECT_EQ(replies, kAnnounce);  // one hello, one announce

        const panel::PanelView& v = model.view();
        EXPECT_TRUE(v.acknowledged);
        EXPECT_EQ(v.indicators[0], 2);
        EXPECT_EQ(v.indicators[13], 3);
        for (size_t i = 1; i < 13; ++i) EXPECT_FALSE(v.indicators[i]) << i;
        EXPECT_EQ(v.switches[4], 1);  // switch 6
        for (size_t i = 0; i < 4; ++i) EXPECT_FALSE(v.switches[i]) << i;
        EXPECT_EQ(v.number, 300u);
        EXPECT_EQ(panel::PlayTime(*v.number), "05:00");
        EXPECT_EQ(v.track, "A~}\xE4\xB8\xAD");
        EXPECT_EQ(v.folder, "d?[2J");
        EXPECT_EQ(v.folderX, 1);
        EXPECT_EQ(v.folderY, 2);
        ASSERT_EQ(v.list, panel::ListState::kOpen);
        ASSERT_EQ(v.entries.size(), 3u);
        EXPECT_EQ(v.entries[0].number, 1);
        EXPECT_EQ(v.entries[0].state, 1);
        EXPECT_EQ(v.entries[0].name, "Hall");
        EXPECT_EQ(v.entries[1].name, "x\xEF\xBF\xBD");
        EXPECT_EQ(v.entries[2].number, 3);
        EXPECT_EQ(v.entries[2].name, "\xE4\xB8\xAD");
        EXPECT_EQ(v.ignoredFrames, 3u);
    }
}

TEST(PanelModel, RestartedTerminalOrLostLineStartsOver) {
    panel::PanelModel model;
    Feed(&model, {{0x02, 0x00}, {0x02, 0x01, 0x00}, {0x04, 0x02, 0x01, 0x02}, {0x03, 0x06, 0x00}}, 64);
    EXPECT_EQ(model.view().list, panel::ListState::kClosed);

    // A second hello: the terminal restarted and must acknowledge again.
    EXPECT_EQ(Feed(&model, {{0x02, 0x00}}, 64), kAnnounce);
    EXPECT_FALSE(model.view().acknowledged);
    EXPECT_EQ(model.view().hellos, 2u);

    // Half a frame, then the line is lost: its rest on the next line must
    // not complete it into "indicator 0 state 5".
    const Bytes half = {0x7E, 0x04, 0x02, 0x01};
    model.Receive(half.data(), half.size());
    model.Detach();
    const Bytes rest = {0x05, 0x7E};
    model.Receive(rest.data(), rest.size());
    EXPECT_EQ(model.view().indicators[0], 2);
}

TEST(PanelKeyboard, KeysSendTheExactPanelFrames) {
    panel::PanelKeyboard keyboard;
    EXPECT_EQ(Typed(&keyboard, "b"), (Bytes{0x7E, 0x04, 0x81, 0x0E, 0x01, 0x7E}));
    EXPECT_EQ(Typed(&keyboard, "`"), (Bytes{0x7E, 0x04, 0x81, 0x00, 0x01, 0x7E}));

    // Arrow Up (ESC [ A) raises the picked setting, master; its '[' is not
    // "down by 10". PgUp (ESC [ 5 ~) sends nothing.
    EXPECT_EQ(Typed(&keyboard, "\x1b[A"), (Bytes{0x7E, 0x04, 0x82, 0x01, 0x01, 0x7E}));
    EXPECT_EQ(Typed(&keyboard, "\x1b[5~"), Bytes{});
    EXPECT_EQ(Typed(&keyboard, "--"), (Bytes{0x7E, 0x04, 0x82, 0x01, 0x00, 0x7E}));  // stops at 0
    EXPECT_EQ(keyboard.value(1), 0);

    // Bass (setting 3) up to 126 = 0x7E: the value byte goes out stuffed.
    EXPECT_EQ(Typed(&keyboard, "\t\t]]]]]]]]]]]]++++++"), (Bytes{0x7E, 0x04, 0x82, 0x03, 0x7D, 0x3E, 0x7E}));
    EXPECT_EQ(Typed(&keyboard, "]]]]]]]]]]]]]]"), (Bytes{0x7E, 0x04, 0x82, 0x03, 0xFF, 0x7E}));  // stops at 255

    // Left twice and Shift+Tab wrap from bass past master to setting 7;
    // Enter sends its value again.
    EXPECT_EQ(Typed(&keyboard, "\x1b[D\x1bOD\x1b[Z\r"), (Bytes{0x7E, 0x04, 0x82, 0x07, 0x00, 0x7E}));
    EXPECT_EQ(keyboard.setting(), 7);

    EXPECT_TRUE(keyboard.Feed('q').quit);
    EXPECT_TRUE(keyboard.Feed(0x03).quit);
}
