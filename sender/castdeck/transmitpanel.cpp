#include "sender/castdeck/transmitpanel.h"

#include "platform/msgbox.h"
#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/childframe.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/resource.h"
#include "sender/castdeck/tidewelldoc.h"
#include "sender/castdeck/tidewellview.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>

namespace {

wxString FromModel(const std::string& text)
{
    return wxString::FromUTF8(text);
}

// The status texts break lines with CR LF; a text control wants LF.
wxString StatusForDisplay(const std::string& text)
{
    wxString shown = FromModel(text);
    shown.Replace("\r\n", "\n");
    return shown;
}

void ShowText(wxTextCtrl* control, const wxString& text)
{
    // ChangeValue sends no text event back to us.
    if (control->GetValue() != text) {
        control->ChangeValue(text);
    }
}

void ShowSelection(wxChoice* control, int index)
{
    if (control->GetSelection() != index) {
        control->SetSelection(index);
    }
}

void FillChoice(wxChoice* control, const std::vector<std::string>& items)
{
    control->Clear();
    for (const std::string& item : items) {
        control->Append(FromModel(item));
    }
}

} // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(CTransmitPanel, wxPanel)
    EVT_BUTTON(IDC_FILENAME_BUTTON, CTransmitPanel::OnBrowse)
    EVT_BUTTON(IDC_START, CTransmitPanel::OnStartStop)
    EVT_TEXT(IDC_FILENAME, CTransmitPanel::OnPathText)
    EVT_TEXT(IDC_ADDRESS, CTransmitPanel::OnAddressText)
    EVT_TEXT(IDC_PORT, CTransmitPanel::OnPortText)
    EVT_CHOICE(IDC_INTERFACE, CTransmitPanel::OnInterface)
    EVT_CHOICE(IDC_TTL, CTransmitPanel::OnTtl)
    EVT_CHOICE(IDC_PACKET_FORMAT, CTransmitPanel::OnPacketFormat)
    EVT_CHECKBOX(IDC_REWIND, CTransmitPanel::OnRewind)
    EVT_CHECKBOX(IDC_SAP, CTransmitPanel::OnSap)
    EVT_TIMER(IDT_PANEL, CTransmitPanel::OnTimer)
wxEND_EVENT_TABLE()
    // clang-format on

    CTransmitPanel::CTransmitPanel(CChildFrame* frame, CQvTidewellView* view)
    : m_frame(frame), m_view(view), m_model(wxGetApp().State(), *this), m_timer(this, IDT_PANEL)
{
    Create(frame, IDD_TRANSMIT);
    // Dialog units follow the panel's font: 8 point sans serif.
    SetFont(wxFont(wxFontInfo(8).Family(wxFONTFAMILY_SWISS)));
    CreateControls();
    FillLists();
    ShowState();

    frame->SetPanel(this);
    m_timer.Start(kTimerMs);

    // A file dropped on the main frame made this panel: take it now rather
    // than when the file name field first loses the focus.
    CMainFrame* main = wxGetApp().MainFrame();
    if (main != nullptr && main->HasDroppedPath()) {
        CallAfter([this] {
            m_model.OnPathFocusLost();
            ShowState();
        });
    }
}

CTransmitPanel::~CTransmitPanel()
{
    m_timer.Stop();
    if (m_frame != nullptr) {
        m_frame->SetPanel(nullptr);
    }
    if (m_view != nullptr) {
        m_view->PanelGone();
    }
    // The model's destructor stops a running transmission the way the Stop
    // button does, so the application's transmitting count falls.
}

void CTransmitPanel::CreateControls()
{
    const int gap = ConvertDialogToPixels(wxSize(4, 0)).x;
    const int editWidth = ConvertDialogToPixels(wxSize(110, 0)).x;

    m_browse = new wxButton(this, IDC_FILENAME_BUTTON, "Filename");
    m_path = new wxTextCtrl(this, IDC_FILENAME, "", wxDefaultPosition, wxSize(editWidth, -1));
    m_interface = new wxChoice(this, IDC_INTERFACE);
    m_mux = new wxTextCtrl(this, IDC_MUX, "", wxDefaultPosition, wxDefaultSize, wxTE_READONLY);
    m_bitrate =
        new wxTextCtrl(this, IDC_BITRATE, "", wxDefaultPosition, wxDefaultSize, wxTE_READONLY);
    m_address = new wxTextCtrl(this, IDC_ADDRESS);
    m_port = new wxTextCtrl(this, IDC_PORT);
    m_ttl = new wxChoice(this, IDC_TTL);
    m_rewind = new wxCheckBox(this, IDC_REWIND, "Rewind && Retransmit");
    m_sap = new wxCheckBox(this, IDC_SAP, "SAP");
    m_packetFormat = new wxChoice(this, IDC_PACKET_FORMAT);
    m_status = new wxTextCtrl(this, IDC_STATUS, "", wxDefaultPosition,
                              ConvertDialogToPixels(wxSize(-1, 30)),
                              wxTE_MULTILINE | wxTE_READONLY | wxTE_NO_VSCROLL);
    m_progress = new wxGauge(this, IDC_PROGRESS, 100, wxDefaultPosition,
                             ConvertDialogToPixels(wxSize(-1, 8)), wxGA_HORIZONTAL | wxGA_SMOOTH);
    m_start =
        new wxButton(this, IDC_START, wxString::FromUTF8(castdeck::TransmitModel::kStartText));

    m_path->Bind(wxEVT_KILL_FOCUS, &CTransmitPanel::OnPathKillFocus, this);

    auto* grid = new wxFlexGridSizer(2, wxSize(gap, gap / 2));
    grid->AddGrowableCol(1);
    const auto row = [&](wxWindow* label, wxWindow* control) {
        grid->Add(label, wxSizerFlags().CenterVertical());
        grid->Add(control, wxSizerFlags().Expand());
    };
    row(m_browse, m_path);
    row(new wxStaticText(this, wxID_ANY, "Interface"), m_interface);
    row(new wxStaticText(this, wxID_ANY, "Mux"), m_mux);
    row(new wxStaticText(this, wxID_ANY, "Bitrate (bps)"), m_bitrate);
    row(new wxStaticText(this, wxID_ANY, "Target Address"), m_address);
    row(new wxStaticText(this, wxID_ANY, "Port"), m_port);
    row(new wxStaticText(this, wxID_ANY, "TTL"), m_ttl);
    row(new wxStaticText(this, wxID_ANY, "Packet Format"), m_packetFormat);

    auto* checks = new wxBoxSizer(wxHORIZONTAL);
    checks->Add(m_rewind, wxSizerFlags().CenterVertical());
    checks->AddSpacer(2 * gap);
    checks->Add(m_sap, wxSizerFlags().CenterVertical());

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, wxSizerFlags().Expand().Border(wxALL, gap));
    top->Add(checks, wxSizerFlags().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    top->Add(m_status, wxSizerFlags(1).Expand().Border(wxLEFT | wxRIGHT, gap));
    top->Add(m_progress, wxSizerFlags().Expand().Border(wxALL, gap));
    top->Add(m_start, wxSizerFlags().Center().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    SetSizer(top);

    // The dialog's size in dialog units, or more where this platform's
    // controls need more room.
    const wxSize dialogSize = ConvertDialogToPixels(wxSize(kWidthDlu, kHeightDlu));
    const wxSize best = top->GetMinSize();
    const wxSize size(std::max(dialogSize.x, best.x), std::max(dialogSize.y, best.y));
    SetMinSize(size);
    SetSize(size);
}

void CTransmitPanel::FillLists()
{
    FillChoice(m_ttl, castdeck::TransmitModel::TtlChoices());
    FillChoice(m_interface, m_model.Interfaces());
    FillChoice(m_packetFormat, m_model.PacketFormats());
    m_shownListRevision = m_model.ListRevision();
}

void CTransmitPanel::ShowState()
{
    if (m_shownListRevision != m_model.ListRevision()) {
        FillChoice(m_interface, m_model.Interfaces());
        FillChoice(m_packetFormat, m_model.PacketFormats());
        m_shownListRevision = m_model.ListRevision();
    }
    ShowText(m_path, FromModel(m_model.Path()));
    ShowSelection(m_interface, m_model.InterfaceSelection());
    ShowText(m_mux, FromModel(m_model.MuxText()));
    ShowText(m_bitrate, FromModel(m_model.BitrateText()));
    ShowText(m_address, FromModel(m_model.Address()));
    ShowText(m_port, FromModel(m_model.Port()));
    ShowSelection(m_ttl, m_model.TtlSelection());
    if (m_rewind->GetValue() != m_model.Rewind()) {
        m_rewind->SetValue(m_model.Rewind());
    }
    if (m_sap->GetValue() != m_model.Sap()) {
        m_sap->SetValue(m_model.Sap());
    }
    ShowSelection(m_packetFormat, m_model.PacketFormatSelection());
    ShowText(m_status, StatusForDisplay(m_model.StatusField()));
    if (m_progress->GetValue() != m_model.Progress()) {
        m_progress->SetValue(m_model.Progress());
    }
    const wxString label = FromModel(m_model.StartButtonText());
    if (m_start->GetLabel() != label) {
        m_start->SetLabel(label);
    }
    m_start->Enable(m_model.StartEnabled());

    const bool inputs = m_model.InputsEnabled();
    for (wxWindow* control : {static_cast<wxWindow*>(m_browse), static_cast<wxWindow*>(m_path),
                              static_cast<wxWindow*>(m_interface), static_cast<wxWindow*>(m_mux),
                              static_cast<wxWindow*>(m_bitrate), static_cast<wxWindow*>(m_address),
                              static_cast<wxWindow*>(m_port), static_cast<wxWindow*>(m_ttl),
                              static_cast<wxWindow*>(m_rewind), static_cast<wxWindow*>(m_sap),
                              static_cast<wxWindow*>(m_packetFormat)}) {
        control->Enable(inputs);
    }
}

void CTransmitPanel::ShowDocumentPath(const wxString& path)
{
    m_model.OnDocumentPath(path.utf8_string());
    ShowState();
}

std::string CTransmitPanel::TakeDroppedPath()
{
    CMainFrame* main = wxGetApp().MainFrame();
    return main != nullptr ? main->TakeDroppedPath().utf8_string() : std::string();
}

void CTransmitPanel::SetDocumentPath(const std::string& path)
{
    if (m_view == nullptr) {
        return;
    }
    if (CQvTidewellDoc* doc = m_view->GetTidewellDoc()) {
        doc->TakePath(wxString::FromUTF8(path));
    }
}

void CTransmitPanel::ShowError(const std::string& text)
{
    // The controls show the state of the moment while the box is up.
    ShowState();
    qvplat::MessageBox(text.c_str(), CQvTidewellApp::kTitle,
                       qvplat::MB_OK | qvplat::MB_ICONEXCLAMATION);
}

void CTransmitPanel::OnBrowse(wxCommandEvent&)
{
    wxFileDialog dialog(this, "Open", "", "", "MPEG (*.mpg)|*.mpg|All Files (*.*)|*.*",
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() == wxID_OK) {
        m_model.OnFileChosen(dialog.GetPath().utf8_string());
        ShowState();
    }
}

void CTransmitPanel::OnStartStop(wxCommandEvent&)
{
    m_model.OnStartStop();
    ShowState();
}

void CTransmitPanel::OnPathText(wxCommandEvent&)
{
    m_model.SetPath(m_path->GetValue().utf8_string());
}

void CTransmitPanel::OnAddressText(wxCommandEvent&)
{
    m_model.SetAddress(m_address->GetValue().utf8_string());
}

void CTransmitPanel::OnPortText(wxCommandEvent&)
{
    m_model.SetPort(m_port->GetValue().utf8_string());
}

void CTransmitPanel::OnInterface(wxCommandEvent&)
{
    m_model.SelectInterface(m_interface->GetSelection());
}

void CTransmitPanel::OnTtl(wxCommandEvent&)
{
    m_model.SelectTtl(m_ttl->GetSelection());
}

void CTransmitPanel::OnPacketFormat(wxCommandEvent&)
{
    m_model.SelectPacketFormat(m_packetFormat->GetSelection());
}

void CTransmitPanel::OnRewind(wxCommandEvent&)
{
    m_model.SetRewind(m_rewind->GetValue());
}

void CTransmitPanel::OnSap(wxCommandEvent&)
{
    m_model.SetSap(m_sap->GetValue());
}

void CTransmitPanel::OnPathKillFocus(wxFocusEvent& event)
{
    event.Skip();
    m_model.OnPathFocusLost();
    ShowState();
}

void CTransmitPanel::OnTimer(wxTimerEvent&)
{
    m_model.OnTimer();
    ShowState();
}
