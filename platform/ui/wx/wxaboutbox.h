#pragma once
// The About box of every program and control with windows.

#include <wx/icon.h>
#include <wx/string.h>
#include <wx/window.h>

namespace qvplat {

// The id of the About box's "Website" button.
inline constexpr int kAboutWebsiteId = 1010;

// Shows the About box modally over the top-level window of `parent` (none
// when null): the icon (when it is valid) and the text beside an OK button,
// and with a web address a "Website" button under OK that opens it in the
// default browser. Returns when the box is closed.
void ShowAboutBox(wxWindow* parent, const wxString& title, const wxString& text,
                  const wxIcon& icon = wxNullIcon, const wxString& website = wxString());

} // namespace qvplat
