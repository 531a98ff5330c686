#pragma once
// The "Vigilo Setup" dialog: listening pairs, the output file and the unicast
// view. It edits a castwatch::SetupModel; the caller applies it on OK.

#include "castwatch/model/setupmodel.h"

#include <wx/dialog.h>

class wxButton;
class wxCheckBox;
class wxListBox;
class wxTextCtrl;

class CSetupDlg : public wxDialog
{
public:
    CSetupDlg(wxWindow* parent, castwatch::SetupModel model);

    const castwatch::SetupModel& Model() const { return m_model; }

private:
    void OnEditChanged(wxCommandEvent& event);
    void OnAdd(wxCommandEvent& event);
    void OnPairSelected(wxCommandEvent& event);
    void OnRemove(wxCommandEvent& event);
    void OnBrowse(wxCommandEvent& event);
    void OnOk(wxCommandEvent& event);

    void FillPairs();

    castwatch::SetupModel m_model;
    wxTextCtrl* m_address = nullptr;
    wxTextCtrl* m_port = nullptr;
    wxButton* m_add = nullptr;
    wxListBox* m_pairs = nullptr;
    wxButton* m_remove = nullptr;
    wxTextCtrl* m_fileName = nullptr;
    wxCheckBox* m_viewOutside = nullptr;

    wxDECLARE_EVENT_TABLE();
};
