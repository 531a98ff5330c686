#include "castwatch/setupdlg.h"

#include "castwatch/resource.h"
#include "platform/msgbox.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/filedlg.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

// clang-format off
wxBEGIN_EVENT_TABLE(CSetupDlg, wxDialog)
    EVT_TEXT(IDC_ADDRESS, CSetupDlg::OnEditChanged)
    EVT_TEXT(IDC_PORT, CSetupDlg::OnEditChanged)
    EVT_BUTTON(IDC_ADD, CSetupDlg::OnAdd)
    EVT_LISTBOX(IDC_PAIRS, CSetupDlg::OnPairSelected)
    EVT_BUTTON(IDC_REMOVE, CSetupDlg::OnRemove)
    EVT_BUTTON(IDC_BROWSE, CSetupDlg::OnBrowse)
    EVT_BUTTON(wxID_OK, CSetupDlg::OnOk)
wxEND_EVENT_TABLE()
    // clang-format on

    CSetupDlg::CSetupDlg(wxWindow* parent, castwatch::SetupModel model)
    : wxDialog(parent, IDD_SETUP, kSetupTitle), m_model(std::move(model))
{
    const int gap = ConvertDialogToPixels(wxSize(4, 0)).x;
    m_address = new wxTextCtrl(this, IDC_ADDRESS);
    m_port = new wxTextCtrl(this, IDC_PORT);
    m_add = new wxButton(this, IDC_ADD, "Add");
    m_pairs =
        new wxListBox(this, IDC_PAIRS, wxDefaultPosition, ConvertDialogToPixels(wxSize(140, 60)));
    m_remove = new wxButton(this, IDC_REMOVE, "Remove");
    m_fileName = new wxTextCtrl(this, IDC_FILENAME, wxString::FromUTF8(m_model.FileName()));
    m_viewOutside = new wxCheckBox(this, IDC_VIEW_OUTSIDE, "View Outside Unicasts");
    m_viewOutside->SetValue(m_model.ViewOutsideUnicasts());
    m_add->Disable();
    m_remove->Disable();
    FillPairs();

    auto* entry = new wxFlexGridSizer(3, gap, gap);
    entry->AddGrowableCol(0, 3);
    entry->AddGrowableCol(1, 1);
    entry->Add(new wxStaticText(this, wxID_ANY, "Listening Address"));
    entry->Add(new wxStaticText(this, wxID_ANY, "Port"));
    entry->AddSpacer(0);
    entry->Add(m_address, wxSizerFlags().Expand());
    entry->Add(m_port, wxSizerFlags().Expand());
    entry->Add(m_add);

    auto* pairs = new wxBoxSizer(wxHORIZONTAL);
    pairs->Add(m_pairs, wxSizerFlags(1).Expand());
    pairs->Add(m_remove, wxSizerFlags().Border(wxLEFT, gap));

    auto* file = new wxBoxSizer(wxHORIZONTAL);
    file->Add(m_fileName, wxSizerFlags(1).CenterVertical());
    file->Add(new wxButton(this, IDC_BROWSE, "Browse..."), wxSizerFlags().Border(wxLEFT, gap));

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(entry, wxSizerFlags().Expand().Border(wxALL, gap));
    top->Add(pairs, wxSizerFlags(1).Expand().Border(wxLEFT | wxRIGHT, gap));
    top->Add(new wxStaticText(this, wxID_ANY, "Database Output File"),
             wxSizerFlags().Border(wxLEFT | wxRIGHT | wxTOP, gap));
    top->Add(file, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT, gap));
    top->Add(m_viewOutside, wxSizerFlags().Border(wxALL, gap));
    top->Add(CreateButtonSizer(wxOK | wxCANCEL), wxSizerFlags().Expand().Border(wxALL, gap));
    SetSizerAndFit(top);
    CentreOnParent();
}

void CSetupDlg::FillPairs()
{
    wxArrayString lines;
    for (const castwatch::ListeningPair& pair : m_model.Pairs()) {
        lines.push_back(wxString::FromUTF8(pair.Line()));
    }
    m_pairs->Set(lines);
}

void CSetupDlg::OnEditChanged(wxCommandEvent&)
{
    m_add->Enable(castwatch::SetupModel::CanAdd(m_address->GetValue().utf8_string(),
                                                m_port->GetValue().utf8_string()));
}

void CSetupDlg::OnAdd(wxCommandEvent&)
{
    const int index = m_model.Add(m_address->GetValue().Strip(wxString::both).utf8_string(),
                                  m_port->GetValue().Strip(wxString::both).utf8_string());
    if (index < 0) {
        qvplat::MessageBox(kBadPair, kSetupTitle, qvplat::MB_OK | qvplat::MB_ICONEXCLAMATION);
        return;
    }
    FillPairs();
    m_address->Clear();
    m_port->Clear();
    m_add->Disable();
    m_remove->Disable();
}

void CSetupDlg::OnPairSelected(wxCommandEvent&)
{
    m_remove->Enable(m_pairs->GetSelection() != wxNOT_FOUND);
}

void CSetupDlg::OnRemove(wxCommandEvent&)
{
    const int selection = m_pairs->GetSelection();
    if (selection != wxNOT_FOUND) {
        m_model.Remove(static_cast<std::size_t>(selection));
        FillPairs();
    }
    m_remove->Disable();
}

void CSetupDlg::OnBrowse(wxCommandEvent&)
{
    wxFileDialog browse(this, kSetupTitle, "", "SapDb.dat",
                        "Data files (*.dat)|*.dat|All Files (*.*)|*.*", wxFD_OPEN);
    if (browse.ShowModal() == wxID_OK) {
        m_fileName->SetValue(browse.GetPath());
    }
}

void CSetupDlg::OnOk(wxCommandEvent&)
{
    m_model.SetFileName(m_fileName->GetValue().utf8_string());
    m_model.SetViewOutsideUnicasts(m_viewOutside->GetValue());
    EndModal(wxID_OK);
}
