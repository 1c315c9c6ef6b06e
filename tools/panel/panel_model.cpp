// The panel emulator's frame and key logic (see panel_model.h).
#include "tools/panel/panel_model.h"

#include <algorithm>
#include <cstdio>

#include "localio/code_convert.h"

namespace panel {

namespace {

// Commands in payload byte 1.
constexpr uint8_t kCmdHello = 0x00;
constexpr uint8_t kCmdAck = 0x01;
constexpr uint8_t kCmdLed = 0x02;
constexpr uint8_t kCmdDisplay = 0x04;
constexpr uint8_t kCmdSwitch = 0x05;
constexpr uint8_t kCmdList = 0x06;
constexpr uint8_t kCmdAnnounce = 0x80;
constexpr uint8_t kCmdKey = 0x81;
constexpr uint8_t kCmdSetting = 0x82;
// Display frames: payload byte 2 says which field, byte 3 how many bytes follow.
constexpr uint8_t kFieldFolder = 0x00;
constexpr uint8_t kFieldTrack = 0x01;
constexpr uint8_t kFieldNumber = 0x02;

constexpr uint8_t kKeyPressed = 1;
constexpr int kSettingMax = 255;

Bytes Stuffed(const Bytes& payload) {
    Bytes wire(kPanelMaxWire);
    wire.resize(PanelStuffFrame(payload.data(), payload.size(), wire.data(), wire.size()));
    return wire;
}

struct KeyBinding {
    char typed;
    uint8_t key;
};

constexpr std::array<KeyBinding, kPanelKeyCount> kKeyBindings = {{
    {'`', 0}, {'1', 1}, {'2', 2}, {'3', 3}, {'4', 4}, {'5', 5}, {'6', 6}, {'7', 7}, {'8', 8}, {'9', 9},
    {'0', 10}, {'l', 11}, {'p', 12}, {'a', 13}, {'b', 14}, {'s', 15}, {'.', 16}, {',', 17}, {'<', 18},
    {'>', 19}, {'c', 20}, {'z', 21}, {'x', 22},
}};

constexpr std::array<const char*, kPanelKeyCount> kKeyNames = {
    "group key 0", "group 1", "group 2", "group 3", "group 4", "group 5", "group 6", "group 7",
    "group 8", "group 9", "group 10", "group list", "list page", "auto", "broadcast", "play/stop",
    "next file", "previous file", "previous folder", "next folder", "channel 3", "channel 1", "channel 2",
};

constexpr std::array<const char*, kSettingCount> kSettingNames = {
    "master", "treble", "bass", "chn 4 level", "chn 1 level", "chn 2 level", "chn 3 level",
};

constexpr char kCtrlC = 0x03;
constexpr char kTab = '\t';
constexpr char kEscape = 0x1B;

}  // namespace

Bytes AnnounceFrame() { return Stuffed({0x00, kCmdAnnounce}); }
Bytes KeyFrame(uint8_t key) { return Stuffed({0x04, kCmdKey, key, kKeyPressed}); }
Bytes SettingFrame(uint8_t setting, uint8_t value) { return Stuffed({0x04, kCmdSetting, setting, value}); }

std::string GbToScreen(const uint8_t* text, size_t size) {
    const size_t length = std::find(text, text + size, 0) - text;
    // One GB2312 byte never becomes more than 1.5 UTF-8 bytes; the last
    // zero stays as the terminator.
    std::vector<char> utf8(2 * length + 1, 0);
    const int rc = Gb2312ToUtf8(reinterpret_cast<const char*>(text), length, utf8.data(), utf8.size() - 1);
    std::string shown(utf8.data());
    if (rc != 0) shown += "\xEF\xBF\xBD";
    // The text goes straight to a terminal: no control character may pass.
    for (char& c : shown)
        if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) c = '?';
    return shown;
}

std::string PlayTime(uint32_t seconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
    return text;
}

const char* KeyName(uint8_t key) { return key < kKeyNames.size() ? kKeyNames[key] : ""; }

const char* SettingName(uint8_t setting) {
    return setting >= 1 && setting <= kSettingNames.size() ? kSettingNames[setting - 1] : "";
}

// ---- display side ----

Bytes PanelModel::Receive(const uint8_t* data, size_t size) {
    Bytes reply;
    for (size_t i = 0; i < size; ++i)
        if (deframer_.Feed(data[i])) Apply(deframer_.frame(), deframer_.size(), &reply);
    return reply;
}

void PanelModel::Detach() {
    deframer_ = PanelDeframer();
    view_.acknowledged = false;
}

void PanelModel::Apply(const uint8_t* frame, size_t size, Bytes* reply) {
    if (size == 0) return;  // the gap between two flags
    view_.lastFrame.assign(frame, frame + size);
    bool understood = false;
    if (size >= 2) {
        switch (frame[1]) {
        case kCmdHello: {
            // The terminal (re)started: it wants our announce before it acts on keys.
            ++view_.hellos;
            view_.acknowledged = false;
            const Bytes announce = AnnounceFrame();
            reply->insert(reply->end(), announce.begin(), announce.end());
            understood = true;
            break;
        }
        case kCmdAck:
            view_.acknowledged = true;
            understood = true;
            break;
        case kCmdLed:
            if (size >= 4 && frame[2] >= 1 && frame[2] <= kIndicatorCount) {
                view_.indicators[frame[2] - 1] = frame[3];
                understood = true;
            }
            break;
        case kCmdSwitch:
            if (size >= 4) {
                const auto it = std::find(kSwitchNumbers.begin(), kSwitchNumbers.end(), frame[2]);
                if (it != kSwitchNumbers.end()) {
                    view_.switches[it - kSwitchNumbers.begin()] = frame[3];
                    understood = true;
                }
            }
            break;
        case kCmdDisplay:
            understood = ApplyDisplay(frame, size);
            break;
        case kCmdList:
            understood = ApplyList(frame, size);
            break;
        default:
            break;
        }
    }
    if (!understood) ++view_.ignoredFrames;
}

bool PanelModel::ApplyDisplay(const uint8_t* frame, size_t size) {
    if (size < 4) return false;
    // Byte 3 counts the field's bytes; a frame cut short shows what it has.
    const size_t end = std::min(size, size_t{4} + frame[3]);
    switch (frame[2]) {
    case kFieldNumber:
        if (end < 8) return false;
        view_.number = static_cast<uint32_t>(frame[4]) << 24 | static_cast<uint32_t>(frame[5]) << 16 |
                       static_cast<uint32_t>(frame[6]) << 8 | frame[7];
        return true;
    case kFieldTrack:
        view_.track = GbToScreen(frame + 4, end - 4);
        return true;
    case kFieldFolder:
        if (end < 6) return false;
        view_.folderX = frame[4];
        view_.folderY = frame[5];
        view_.folder = GbToScreen(frame + 6, end - 6);
        return true;
    default:
        return false;
    }
}

bool PanelModel::ApplyList(const uint8_t* frame, size_t size) {
    if (size < 3) return false;
    if (frame[2] == 0x00) {
        view_.list = ListState::kClosed;
        view_.entries.clear();
        return true;
    }
    if (frame[2] != 0x01) return false;
    view_.list = ListState::kOpen;
    view_.entries.clear();
    // Entries: number, state, name length, name bytes. The walk stays
    // inside the frame: an entry that does not fit ends the page.
    size_t pos = 3;
    while (pos + 3 <= size && view_.entries.size() < kListEntryLimit) {
        const size_t nameLength = frame[pos + 2];
        if (pos + 3 + nameLength > size) break;
        view_.entries.push_back({frame[pos], frame[pos + 1], GbToScreen(frame + pos + 3, nameLength)});
        pos += 3 + nameLength;
    }
    return true;
}

// ---- keyboard side ----

PanelKeyboard::Outcome PanelKeyboard::Feed(uint8_t byte) {
    if (byte == kEscape) {  // starts a sequence, even inside a broken one
        escape_ = Escape::kStarted;
        return {};
    }
    switch (escape_) {
    case Escape::kStarted:
        if (byte == '[' || byte == 'O') {
            escape_ = Escape::kSequence;
            return {};
        }
        escape_ = Escape::kNone;
        return Plain(byte);  // Alt+key: the key itself
    case Escape::kSequence:
        if (byte >= 0x20 && byte <= 0x3F) return {};  // parameters and intermediates
        escape_ = Escape::kNone;
        if (byte >= 0x40 && byte <= 0x7E) return Sequence(byte);
        return Plain(byte);  // a broken sequence: the byte counts on its own
    case Escape::kNone:
        break;
    }
    return Plain(byte);
}

PanelKeyboard::Outcome PanelKeyboard::Plain(uint8_t byte) {
    for (const KeyBinding& binding : kKeyBindings) {
        if (static_cast<uint8_t>(binding.typed) != byte) continue;
        return {false, KeyFrame(binding.key),
                "key " + std::to_string(binding.key) + " (" + KeyName(binding.key) + ")"};
    }
    switch (byte) {
    case 'q':
    case kCtrlC:
        return {true, {}, "quit"};
    case '!':
        return {false, AnnounceFrame(), "announce"};
    case kTab:
        return Pick(+1);
    case '+':
    case '=':
        return Step(+1);
    case '-':
        return Step(-1);
    case ']':
        return Step(+10);
    case '[':
        return Step(-10);
    case '\r':
    case '\n':
        return SendSetting();
    default:
        return {};
    }
}

PanelKeyboard::Outcome PanelKeyboard::Sequence(uint8_t final) {
    switch (final) {
    case 'A': return Step(+1);   // Up
    case 'B': return Step(-1);   // Down
    case 'C': return Pick(+1);   // Right
    case 'D': return Pick(-1);   // Left
    case 'Z': return Pick(-1);   // Shift+Tab
    default: return {};
    }
}

PanelKeyboard::Outcome PanelKeyboard::Pick(int delta) {
    setting_ = static_cast<uint8_t>((setting_ - 1 + kSettingCount + delta) % kSettingCount + 1);
    return {false, {}, std::string("setting ") + std::to_string(setting_) + " (" + SettingName(setting_) + ")"};
}

PanelKeyboard::Outcome PanelKeyboard::Step(int delta) {
    uint8_t& value = values_[setting_ - 1];
    const int next = std::clamp(value + delta, 0, kSettingMax);
    if (next == value)
        return {false, {}, std::string(SettingName(setting_)) + " is at its limit " + std::to_string(value)};
    value = static_cast<uint8_t>(next);
    return SendSetting();
}

PanelKeyboard::Outcome PanelKeyboard::SendSetting() {
    const uint8_t value = values_[setting_ - 1];
    return {false, SettingFrame(setting_, value),
            "setting " + std::to_string(setting_) + " (" + SettingName(setting_) + ") = " + std::to_string(value)};
}

std::vector<std::string> PanelKeyboard::HelpLines() {
    return {
        "keys: ` group key 0  1-9 0 groups 1-10  l list  p page  a auto  b broadcast",
        "      s play/stop  , . file back/on  < > folder back/on  z x c channel 1 2 3",
        "      Tab Left Right: pick setting  + - Up Down: value by 1  [ ]: by 10",
        "      Enter: send setting again  !: announce again  q: quit",
    };
}

}  // namespace panel
