#pragma once
// The player frame's toolbar: a strip of 18 x 16 buttons (drawn here) in
// the order of kToolbarLayout, each named after its command ("32772") and
// sending that command as a menu event to the frame. Buttons are shown, hidden, enabled and disabled one by one (the
// toolbar masks decide which).

#include "player/model/toolbarmasks.h"

#include <wx/panel.h>

#include <map>

class wxBitmapButton;
class wxBoxSizer;

namespace player {

class CPlayerToolBar : public wxPanel, public ToolbarView
{
public:
    CPlayerToolBar();
    // A child of parent, kToolbarHeight pixels high; false when it cannot
    // be made.
    bool Create(wxWindow* parent);

    void ShowButton(int command, bool show) override;
    void EnableButton(int command, bool enable) override;
    // The button's rectangle on the screen; empty for an unknown command.
    wxRect ButtonScreenRect(int command) const;

private:
    std::map<int, wxBitmapButton*> m_buttons;
    wxBoxSizer* m_sizer = nullptr;
};

} // namespace player
