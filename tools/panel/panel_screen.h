// The panel emulator's screen: one full page of plain ANSI text drawn from
// the panel's view, the keyboard's setting and the line's state.
#ifndef PATERM_TOOLS_PANEL_PANEL_SCREEN_H
#define PATERM_TOOLS_PANEL_PANEL_SCREEN_H

#include <string>

#include "tools/panel/panel_model.h"

namespace panel {

// Escapes around the session: the alternate screen, no cursor, no line
// wrap (long lines are cut at the right edge instead of breaking the
// layout), and their undoing.
extern const char kScreenEnter[];
extern const char kScreenLeave[];

struct ScreenInput {
    const PanelView& view;
    const PanelKeyboard& keyboard;
    std::string line;        // "attached to ...", "detached ..."
    std::string lastAction;  // what the last key did
};

// The whole page: cursor home, each line erased to its end, the rest of
// the screen erased. Lines end in "\r\n" (the terminal is in raw mode).
std::string DrawScreen(const ScreenInput& in);

}  // namespace panel

#endif  // PATERM_TOOLS_PANEL_PANEL_SCREEN_H
