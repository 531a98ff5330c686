#include "platform/ui/wx/wxaboutbox.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/utils.h>

namespace qvplat {

void ShowAboutBox(wxWindow* parent, const wxString& title, const wxString& text, const wxIcon& icon,
                  const wxString& website)
{
    // Parented to the top-level window, so that a control window going
    // away under the box does not take the box with it.
    wxDialog about(parent != nullptr ? wxGetTopLevelParent(parent) : nullptr, wxID_ANY, title);
    const int gap = about.ConvertDialogToPixels(wxSize(7, 0)).x;

    auto* top = new wxBoxSizer(wxHORIZONTAL);
    if (icon.IsOk()) {
        top->Add(new wxStaticBitmap(&about, wxID_ANY, icon), wxSizerFlags().Border(wxALL, gap));
    }
    top->Add(new wxStaticText(&about, wxID_ANY, text), wxSizerFlags(1).Border(wxALL, gap));

    auto* buttons = new wxBoxSizer(wxVERTICAL);
    auto* ok = new wxButton(&about, wxID_OK, "OK");
    ok->SetDefault();
    buttons->Add(ok, wxSizerFlags().Expand());
    if (!website.empty()) {
        auto* open = new wxButton(&about, kAboutWebsiteId, "Website");
        open->Bind(wxEVT_BUTTON, [website](wxCommandEvent&) { wxLaunchDefaultBrowser(website); });
        buttons->AddSpacer(gap / 2);
        buttons->Add(open, wxSizerFlags().Expand());
    }
    top->Add(buttons, wxSizerFlags().Border(wxALL, gap));

    about.SetSizerAndFit(top);
    about.CentreOnParent();
    about.ShowModal();
}

} // namespace qvplat
