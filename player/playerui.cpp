#include "player/playerui.h"

#include "player/playerres.h"

#include "core/settings/qvlog.h"
#include "platform/ui/wx/wxaboutbox.h"

#include <wx/msgdlg.h>
// After msgdlg.h, which brings what the generic box builds on.
#include <wx/generic/msgdlgg.h>

namespace player {

void ShowPlayerMessage(wxWindow* parent, const std::string& text, const std::string& caption)
{
    QvDebugMsgTime("%s%s%s", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
    // The generic box runs wx's own modal loop, so its container keeps
    // handling events (and can end it) while it is up.
    wxGenericMessageDialog box(parent != nullptr ? wxGetTopLevelParent(parent) : nullptr,
                               wxString::FromUTF8(text), wxString::FromUTF8(caption), wxOK);
    box.ShowModal();
}

void ShowAboutDialog(wxWindow* parent)
{
    qvplat::ShowAboutBox(parent, "About " + wxString(kUserTypeName), kUserTypeName);
}

void PostCommand(wxWindow* target, int id, int value)
{
    if (target == nullptr) {
        return;
    }
    auto* event = new wxCommandEvent(wxEVT_MENU, id);
    event->SetInt(value);
    event->SetEventObject(target);
    target->GetEventHandler()->QueueEvent(event);
}

} // namespace player
