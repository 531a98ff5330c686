#include "player/playerui.h"

#include "player/playerres.h"

#include "core/settings/qvlog.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

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
    wxDialog about(parent != nullptr ? wxGetTopLevelParent(parent) : nullptr, wxID_ANY,
                   "About " + wxString(kUserTypeName));
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(&about, wxID_ANY, kUserTypeName), 0, wxALL, 16);
    sizer->Add(new wxButton(&about, wxID_OK), 0, wxALIGN_CENTER | wxBOTTOM, 12);
    about.SetSizerAndFit(sizer);
    about.ShowModal();
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
