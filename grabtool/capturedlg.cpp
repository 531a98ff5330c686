#include "grabtool/capturedlg.h"

#include "grabtool/resource.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/combobox.h>
#include <wx/filedlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>

using grabtool::CaptureModel;

namespace {

wxString FromModel(const std::string& text)
{
    return wxString::FromUTF8(text);
}

void ShowText(wxTextEntry* control, const wxString& text)
{
    // ChangeValue sends no text event back to us.
    if (control->GetValue() != text) {
        control->ChangeValue(text);
    }
}

wxComboBox* MakeCombo(wxWindow* parent, int id, const std::vector<std::string>& items, long sort)
{
    wxArrayString choices;
    for (const std::string& item : items) {
        choices.Add(FromModel(item));
    }
    auto* combo = new wxComboBox(parent, id, choices[0], wxDefaultPosition, wxDefaultSize, choices,
                                 wxCB_DROPDOWN | sort);
    combo->SetSelection(0); // "<any>"
    return combo;
}

} // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(CCaptureDlg, wxDialog)
    EVT_BUTTON(IDC_START, CCaptureDlg::OnStartStop)
    EVT_BUTTON(IDC_EXIT, CCaptureDlg::OnExit)
    EVT_BUTTON(IDC_FILENAME_BUTTON, CCaptureDlg::OnFilename)
    EVT_TEXT(IDC_ADDRESS, CCaptureDlg::OnEdit)
    EVT_TEXT(IDC_PORT, CCaptureDlg::OnEdit)
    EVT_TEXT(IDC_FILENAME, CCaptureDlg::OnEdit)
    EVT_TEXT(IDC_INTERFACE, CCaptureDlg::OnEdit)
    EVT_TEXT(IDC_PACKET_FORMAT, CCaptureDlg::OnEdit)
    EVT_TEXT(IDC_MUX, CCaptureDlg::OnEdit)
    EVT_COMBOBOX(IDC_INTERFACE, CCaptureDlg::OnEdit)
    EVT_COMBOBOX(IDC_PACKET_FORMAT, CCaptureDlg::OnEdit)
    EVT_COMBOBOX(IDC_MUX, CCaptureDlg::OnEdit)
    EVT_CHECKBOX(IDC_UNICAST, CCaptureDlg::OnUnicast)
    EVT_CLOSE(CCaptureDlg::OnClose)
wxEND_EVENT_TABLE()
    // clang-format on

    CCaptureDlg::CCaptureDlg(std::shared_ptr<qvplat::UiDispatcher> ui, wxWindow* parent)
    : wxDialog(parent, IDD_GRABTOOL_DIALOG, kCaption), m_timers([this](int id) { OnTimer(id); }),
      m_model(*this, std::move(ui))
{
    // Dialog units follow the dialog's font: 8 point sans serif.
    SetFont(wxFont(wxFontInfo(8).Family(wxFONTFAMILY_SWISS)));
    CaptureModel::OpenDebugLog();
    CreateControls();
    ShowState();
}

CCaptureDlg::~CCaptureDlg() = default;

void CCaptureDlg::CreateControls()
{
    const int gap = ConvertDialogToPixels(wxSize(4, 0)).x;

    m_address = new wxTextCtrl(this, IDC_ADDRESS);
    m_port = new wxTextCtrl(this, IDC_PORT);
    m_interface = MakeCombo(this, IDC_INTERFACE, m_model.Interfaces(), 0);
    m_browse = new wxButton(this, IDC_FILENAME_BUTTON, "Filename");
    m_filename = new wxTextCtrl(this, IDC_FILENAME);
    m_packetFormat = MakeCombo(this, IDC_PACKET_FORMAT, CaptureModel::PacketFormats(), wxCB_SORT);
    m_mux = MakeCombo(this, IDC_MUX, CaptureModel::Muxes(), wxCB_SORT);
    m_unicast = new wxCheckBox(this, IDC_UNICAST, "Unicast");
    m_log = new wxTextCtrl(this, IDC_LOG, "", wxDefaultPosition, wxDefaultSize,
                           wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL);
    const auto readOnly = [this](int id) {
        return new wxTextCtrl(this, id, "", wxDefaultPosition, wxDefaultSize, wxTE_READONLY);
    };
    m_bytes = readOnly(IDC_BYTES_RECEIVED);
    m_mbps = readOnly(IDC_MBPS);
    m_lostRecovered = readOnly(IDC_LOST_RECOVERED);
    m_start = new wxButton(this, IDC_START, CaptureModel::kStartText);
    m_exit = new wxButton(this, IDC_EXIT, "Exit");

    auto* grid = new wxFlexGridSizer(4, wxSize(gap, gap / 2));
    grid->AddGrowableCol(1);
    grid->AddGrowableCol(3);
    const auto cell = [&](const char* label, wxWindow* control) {
        grid->Add(new wxStaticText(this, wxID_ANY, label), wxSizerFlags().CenterVertical());
        grid->Add(control, wxSizerFlags().Expand());
    };
    cell("Address", m_address);
    cell("Port", m_port);
    cell("PacketFormat", m_packetFormat);
    cell("Mux", m_mux);

    auto* interfaceRow = new wxBoxSizer(wxHORIZONTAL);
    interfaceRow->Add(new wxStaticText(this, wxID_ANY, "Local Interface"),
                      wxSizerFlags().CenterVertical());
    interfaceRow->Add(m_interface, wxSizerFlags(1).Border(wxLEFT, gap));
    interfaceRow->Add(m_unicast, wxSizerFlags().CenterVertical().Border(wxLEFT, 2 * gap));

    auto* fileRow = new wxBoxSizer(wxHORIZONTAL);
    fileRow->Add(m_browse, wxSizerFlags().CenterVertical());
    fileRow->Add(m_filename, wxSizerFlags(1).CenterVertical().Border(wxLEFT, gap));

    auto* statistics = new wxFlexGridSizer(2, wxSize(gap, gap / 2));
    statistics->AddGrowableCol(1);
    for (const auto& [label, control] :
         {std::pair{"Bytes Received", m_bytes}, std::pair{"Mbps", m_mbps},
          std::pair{"Lost-Recovered", m_lostRecovered}}) {
        statistics->Add(new wxStaticText(this, wxID_ANY, label), wxSizerFlags().CenterVertical());
        statistics->Add(control, wxSizerFlags().Expand());
    }

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(m_start);
    buttons->AddSpacer(2 * gap);
    buttons->Add(m_exit);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, wxSizerFlags().Expand().Border(wxALL, gap));
    top->Add(interfaceRow, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    top->Add(fileRow, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    top->Add(m_log, wxSizerFlags(1).Expand().Border(wxLEFT | wxRIGHT, gap));
    top->Add(statistics, wxSizerFlags().Expand().Border(wxALL, gap));
    top->Add(buttons, wxSizerFlags().Center().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    SetSizer(top);

    // The dialog's size in dialog units, or more where this platform's
    // controls need more room.
    const wxSize dialogSize = ConvertDialogToPixels(wxSize(kWidthDlu, kHeightDlu));
    const wxSize best = top->GetMinSize();
    SetClientSize(wxSize(std::max(dialogSize.x, best.x), std::max(dialogSize.y, best.y)));
}

void CCaptureDlg::ShowState()
{
    ShowText(m_address, FromModel(m_model.Address()));
    ShowText(m_port, FromModel(m_model.Port()));
    ShowText(m_filename, FromModel(m_model.Filename()));
    ShowText(m_interface, FromModel(m_model.InterfaceText()));
    ShowText(m_packetFormat, FromModel(m_model.PacketFormatText()));
    ShowText(m_mux, FromModel(m_model.MuxText()));
    if (m_unicast->GetValue() != m_model.Unicast()) {
        m_unicast->SetValue(m_model.Unicast());
    }
    ShowText(m_bytes, FromModel(m_model.BytesText()));
    ShowText(m_mbps, FromModel(m_model.MbpsText()));
    ShowText(m_lostRecovered, FromModel(m_model.LostRecoveredText()));

    m_model.LogShown();
    // The log breaks lines with CR LF; a text control wants LF.
    wxString log = FromModel(m_model.LogText());
    log.Replace("\r\n", "\n");
    if (m_log->GetValue() != log) {
        m_log->ChangeValue(log);
        m_log->ShowPosition(m_log->GetLastPosition());
    }

    const wxString label = FromModel(m_model.ButtonText());
    if (m_start->GetLabel() != label) {
        m_start->SetLabel(label);
    }
    const bool inputs = m_model.InputsEnabled();
    m_browse->Enable(inputs);
    m_filename->Enable(inputs);
    m_unicast->Enable(inputs);
}

// ---- grabtool::CaptureHost -----------------------------------------------------------

void CCaptureDlg::StartTimer(int id, unsigned periodMs)
{
    m_timers.Start(id, static_cast<int>(periodMs));
}

void CCaptureDlg::KillTimer(int id)
{
    m_timers.Kill(id);
}

void CCaptureDlg::StateChanged()
{
    ShowState();
}

// ---- Events --------------------------------------------------------------------------

void CCaptureDlg::OnStartStop(wxCommandEvent&)
{
    m_model.OnStartStop();
    ShowState();
}

void CCaptureDlg::OnExit(wxCommandEvent&)
{
    Close();
}

void CCaptureDlg::OnClose(wxCloseEvent&)
{
    // Exit and the close box alike: stop, save, end the dialog.
    m_model.OnExit();
    EndModal(IDC_EXIT);
}

void CCaptureDlg::OnFilename(wxCommandEvent&)
{
    wxFileDialog dialog(this, "Save As", "", "", kFileFilter, wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() == wxID_OK) {
        m_model.OnFileChosen(dialog.GetPath().utf8_string());
        ShowState();
    }
}

void CCaptureDlg::OnEdit(wxCommandEvent& event)
{
    const std::string text = event.GetString().utf8_string();
    switch (event.GetId()) {
    case IDC_ADDRESS:
        m_model.SetAddress(text);
        break;
    case IDC_PORT:
        m_model.SetPort(text);
        break;
    case IDC_FILENAME:
        m_model.SetFilename(text);
        break;
    case IDC_INTERFACE:
        m_model.SetInterfaceText(text);
        break;
    case IDC_PACKET_FORMAT:
        m_model.SetPacketFormatText(text);
        break;
    case IDC_MUX:
        m_model.SetMuxText(text);
        break;
    default:
        break;
    }
}

void CCaptureDlg::OnUnicast(wxCommandEvent&)
{
    m_model.SetUnicast(m_unicast->GetValue());
}

void CCaptureDlg::OnTimer(int id)
{
    m_model.OnTimer(id);
    ShowState();
}
