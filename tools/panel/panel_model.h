// The panel emulator's logic, apart from any screen: what the terminal's
// frames put on the panel (PanelModel -> PanelView) and which frame each
// keyboard key sends (PanelKeyboard). paterm-panel draws the view and moves
// the bytes; everything here is plain data in, plain data out.
#ifndef PATERM_TOOLS_PANEL_PANEL_MODEL_H
#define PATERM_TOOLS_PANEL_PANEL_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "localio/panel_frame.h"

namespace panel {

using Bytes = std::vector<uint8_t>;

constexpr size_t kIndicatorCount = 14;                      // indicators 0..13
constexpr std::array<uint8_t, 5> kSwitchNumbers = {1, 2, 3, 5, 6};
constexpr size_t kListEntryLimit = 10;                      // a page holds five; more are dropped
constexpr uint8_t kPanelKeyCount = 23;                      // keys 0..22
constexpr uint8_t kSettingCount = 7;                        // settings 1..7

// Wire bytes (flags and stuffing included) of the panel's three frames.
Bytes AnnounceFrame();                          // 00 80
Bytes KeyFrame(uint8_t key);                    // 04 81 k 01: key k pressed
Bytes SettingFrame(uint8_t setting, uint8_t value);  // 04 82 c v

struct ListEntry {
    uint8_t number = 0;
    uint8_t state = 0;
    std::string name;  // UTF-8, ready to show
};

enum class ListState { kNeverShown, kOpen, kClosed };

// Everything the panel shows. Texts are UTF-8 with control characters
// replaced, so they can go to a screen as they are.
struct PanelView {
    std::array<std::optional<uint8_t>, kIndicatorCount> indicators{};
    std::array<std::optional<uint8_t>, kSwitchNumbers.size()> switches{};  // in kSwitchNumbers order
    std::optional<uint32_t> number;  // elapsed play time, seconds
    std::optional<std::string> track;
    std::optional<std::string> folder;
    uint8_t folderX = 0, folderY = 0;
    ListState list = ListState::kNeverShown;
    std::vector<ListEntry> entries;  // the page shown while the list is open
    bool acknowledged = false;       // the terminal answered our announce
    unsigned hellos = 0;             // hello frames seen
    unsigned ignoredFrames = 0;      // frames the panel does not understand
    Bytes lastFrame;                 // payload of the latest non-empty frame
};

// The display side: bytes from the line in, the view and our answers out.
class PanelModel {
public:
    // Feeds line bytes (any split); returns the wire bytes to send back
    // (an announce for every hello).
    Bytes Receive(const uint8_t* data, size_t size);
    // The line went away: a new line starts with a fresh deframer and
    // without the terminal's acknowledgement; the display keeps its state.
    void Detach();
    const PanelView& view() const { return view_; }

private:
    void Apply(const uint8_t* frame, size_t size, Bytes* reply);
    bool ApplyDisplay(const uint8_t* frame, size_t size);
    bool ApplyList(const uint8_t* frame, size_t size);

    PanelDeframer deframer_;
    PanelView view_;
};

// GB2312 text as UTF-8 for the screen: cut at the first zero byte; an
// undecodable rest shows as U+FFFD; control characters show as '?'.
std::string GbToScreen(const uint8_t* text, size_t size);

// Play time as the panel shows it: "mm:ss" (minutes may exceed 99).
std::string PlayTime(uint32_t seconds);

const char* KeyName(uint8_t key);          // "broadcast"; "" outside 0..22
const char* SettingName(uint8_t setting);  // "master"; "" outside 1..7

// The keyboard side: bytes typed in, at most one frame or a quit out.
// Escape sequences (arrow keys and others) are taken whole, never as the
// letters they contain.
class PanelKeyboard {
public:
    struct Outcome {
        bool quit = false;
        Bytes frame;         // wire bytes to send; empty for none
        std::string action;  // what happened, for the status line; empty for nothing
    };

    Outcome Feed(uint8_t byte);

    uint8_t setting() const { return setting_; }  // the picked setting, 1..7
    uint8_t value(uint8_t setting) const { return values_.at(setting - 1); }

    // The key help, a few lines, each under 80 columns.
    static std::vector<std::string> HelpLines();

private:
    enum class Escape { kNone, kStarted, kSequence };

    Outcome Plain(uint8_t byte);
    Outcome Sequence(uint8_t final);
    Outcome Step(int delta);
    Outcome Pick(int delta);
    Outcome SendSetting();

    Escape escape_ = Escape::kNone;
    uint8_t setting_ = 1;
    std::array<uint8_t, kSettingCount> values_{};
};

}  // namespace panel

#endif  // PATERM_TOOLS_PANEL_PANEL_MODEL_H
