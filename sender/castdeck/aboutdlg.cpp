#include "sender/castdeck/aboutdlg.h"

#include "sender/castdeck/resource.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/utils.h>

// clang-format off
wxBEGIN_EVENT_TABLE(CAboutDlg, wxDialog)
    EVT_BUTTON(IDC_WEBSITE, CAboutDlg::OnWebsite)
wxEND_EVENT_TABLE()
    // clang-format on

    CAboutDlg::CAboutDlg(wxWindow* parent)
    : wxDialog(parent, IDD_ABOUTBOX, "About")
{
    const int gap = ConvertDialogToPixels(wxSize(7, 0)).x;

    auto* text = new wxStaticText(this, wxID_ANY,
                                  "castdeck Version 1.0\n"
                                  "MPEG Flowmill: MPEG over IP multicast\n"
                                  "Talvex");
    auto* buttons = new wxBoxSizer(wxVERTICAL);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    ok->SetDefault();
    buttons->Add(ok, wxSizerFlags().Expand());
    buttons->AddSpacer(gap / 2);
    buttons->Add(new wxButton(this, IDC_WEBSITE, "Website"), wxSizerFlags().Expand());

    auto* top = new wxBoxSizer(wxHORIZONTAL);
    top->Add(text, wxSizerFlags(1).Border(wxALL, gap));
    top->Add(buttons, wxSizerFlags().Border(wxALL, gap));
    SetSizerAndFit(top);
    CentreOnParent();
}

void CAboutDlg::OnWebsite(wxCommandEvent&)
{
    wxLaunchDefaultBrowser(kWebsite);
}
