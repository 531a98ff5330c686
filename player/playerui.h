#pragma once
// Small pieces the player's windows share: message boxes, the About box
// and posting commands between windows.

#include <wx/event.h>
#include <wx/window.h>

#include <string>

namespace player {

// A modal message box (OK only) over `parent`; the text also goes to the
// debug log.
void ShowPlayerMessage(wxWindow* parent, const std::string& text, const std::string& caption = "");

// The modal About dialog.
void ShowAboutDialog(wxWindow* parent);

// Queues command `id` to a window, as a menu command (the way the player's
// windows post commands to each other); `value` rides along.
void PostCommand(wxWindow* target, int id, int value = 0);

} // namespace player
