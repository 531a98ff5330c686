#pragma once
// castdeck's About box (dialog 100).

#include <wx/dialog.h>

class CAboutDlg : public wxDialog
{
public:
    static constexpr const char* kWebsite = "http://www.example.com/";

    explicit CAboutDlg(wxWindow* parent);

private:
    void OnWebsite(wxCommandEvent& event);

    wxDECLARE_EVENT_TABLE();
};
