// Draws the panel emulator's page (see panel_screen.h).
#include "tools/panel/panel_screen.h"

#include <cstdio>
#include <vector>

namespace panel {

const char kScreenEnter[] = "\x1b[?1049h\x1b[?25l\x1b[?7l";
const char kScreenLeave[] = "\x1b[?7h\x1b[?25h\x1b[?1049l";

namespace {

std::string Number(const std::optional<uint8_t>& value) { return value ? std::to_string(*value) : "-"; }

std::string Hex(const Bytes& bytes) {
    std::string text;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x ", b);
        text += two;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::string Indicators(const PanelView& view) {
    std::string text = "indicators ";
    for (size_t i = 0; i < view.indicators.size(); ++i)
        text += " " + std::to_string(i) + ":" + Number(view.indicators[i]);
    return text;
}

std::string Switches(const PanelView& view) {
    std::string text = "switches   ";
    for (size_t i = 0; i < kSwitchNumbers.size(); ++i)
        text += " " + std::to_string(kSwitchNumbers[i]) + ":" + Number(view.switches[i]);
    return text;
}

std::string Settings(const PanelKeyboard& keyboard) {
    std::string text = "settings   ";
    for (uint8_t c = 1; c <= kSettingCount; ++c) {
        const bool picked = c == keyboard.setting();
        text += picked ? " [" : "  ";
        text += std::string(SettingName(c)) + " " + std::to_string(keyboard.value(c));
        text += picked ? "]" : " ";
    }
    return text;
}

void AddList(const PanelView& view, std::vector<std::string>* lines) {
    switch (view.list) {
    case ListState::kNeverShown:
        lines->push_back("group list -");
        return;
    case ListState::kClosed:
        lines->push_back("group list closed");
        return;
    case ListState::kOpen:
        break;
    }
    lines->push_back("group list open, " + std::to_string(view.entries.size()) + " entries");
    for (const ListEntry& entry : view.entries) {
        char head[32];
        std::snprintf(head, sizeof head, "  %3u  state %u  ", entry.number, entry.state);
        lines->push_back(head + entry.name);
    }
}

}  // namespace

std::string DrawScreen(const ScreenInput& in) {
    const PanelView& view = in.view;
    std::vector<std::string> lines;
    lines.push_back("paterm-panel  " + in.line);
    lines.push_back(std::string("terminal   ") + (view.acknowledged ? "acknowledged" : "not acknowledged") +
                    "  (hellos " + std::to_string(view.hellos) + ")");
    lines.push_back("");
    lines.push_back(Indicators(view));
    lines.push_back(Switches(view));
    lines.push_back("play time   " + (view.number ? PlayTime(*view.number) : std::string("--:--")));
    lines.push_back("track      " + (view.track ? " " + *view.track : std::string()));
    std::string folder = "folder     ";
    if (view.folder)
        folder += " " + *view.folder + "  (x " + std::to_string(view.folderX) + ", y " +
                  std::to_string(view.folderY) + ")";
    lines.push_back(folder);
    AddList(view, &lines);
    lines.push_back("");
    lines.push_back(Settings(in.keyboard));
    lines.push_back("last frame  " + Hex(view.lastFrame) + "  (not understood: " +
                    std::to_string(view.ignoredFrames) + ")");
    lines.push_back("last key    " + in.lastAction);
    lines.push_back("");
    for (const std::string& help : PanelKeyboard::HelpLines()) lines.push_back(help);

    std::string page = "\x1b[H";
    for (const std::string& line : lines) page += line + "\x1b[K\r\n";
    page += "\x1b[J";
    return page;
}

}  // namespace panel
