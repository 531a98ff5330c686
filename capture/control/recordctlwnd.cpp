#include "capture/control/recordctlwnd.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

// ---- Status window ------------------------------------------------------------------

CRecordCtlStatusWnd::CRecordCtlStatusWnd(wxWindow* parent, wxWindowID id, const wxRect& rect,
                                         long style, QvRecordControl& model,
                                         std::function<void()> stop)
    : wxPanel(parent, id, rect.GetPosition(), rect.GetSize(), style), m_model(model),
      m_stop(std::move(stop))
{
    m_progress = new wxGauge(this, kProgressId, m_view.GetRange());
    m_time = new wxStaticText(this, kTimeId, m_view.GetTimeText());
    m_stopButton = new wxButton(this, kStopId, "Stop");
    m_bytes = new wxStaticText(this, kBytesId, m_view.GetBytesText());
    m_stopButton->Disable();

    const int gap = ConvertDialogToPixels(wxSize(4, 0)).x;
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(m_time, wxSizerFlags(1).CenterVertical());
    row->Add(m_bytes, wxSizerFlags(1).CenterVertical());
    row->Add(m_stopButton, wxSizerFlags().CenterVertical());
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_progress, wxSizerFlags().Expand().Border(wxALL, gap));
    sizer->Add(row, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    SetSizer(sizer);

    m_timer.Bind(wxEVT_TIMER, &CRecordCtlStatusWnd::OnTimer, this);
    m_stopButton->Bind(wxEVT_BUTTON, &CRecordCtlStatusWnd::OnStop, this);
    Bind(wxEVT_THREAD, &CRecordCtlStatusWnd::OnThreadEvent, this);
}

void CRecordCtlStatusWnd::StartStatus(std::int32_t duration)
{
    m_view.Start(duration);
    m_progress->SetRange(m_view.GetRange());
    ShowView();
    m_timer.Start(QvStatusView::kTimerMs);
}

void CRecordCtlStatusWnd::StopTimer()
{
    m_view.StopTimer();
    m_timer.Stop();
}

void CRecordCtlStatusWnd::OnTimer(wxTimerEvent&)
{
    m_model.CheckEngine();
    if (const std::optional<QvStatusBlock> status = m_model.StatusSnapshot()) {
        m_view.Tick(*status);
    }
    ShowView();
}

void CRecordCtlStatusWnd::ShowView()
{
    m_progress->SetValue(m_view.GetPosition());
    m_time->SetLabel(m_view.GetTimeText());
    m_bytes->SetLabel(m_view.GetBytesText());
    m_stopButton->Enable(m_view.IsStopEnabled());
    Layout();
}

void CRecordCtlStatusWnd::OnStop(wxCommandEvent&)
{
    m_stop();
    m_view.StopPressed();
    m_stopButton->Disable();
}

void CRecordCtlStatusWnd::OnThreadEvent(wxThreadEvent& event)
{
    if (event.GetId() == kReleaseSessionId) {
        m_model.ReleaseSession();
    } else {
        event.Skip();
    }
}

// ---- Settings dialog -----------------------------------------------------------------

std::optional<QvRecordControl::CaptureSettings>
RunCaptureSettingsDialog(wxWindow* parent, const QvRecordControl::CaptureSettings& shown)
{
    constexpr int kPathId = 204;
    constexpr int kFilenameId = 205;
    constexpr int kDurationId = 208;
    wxDialog dialog(parent, wxID_ANY, "Capture Settings");
    const int gap = dialog.ConvertDialogToPixels(wxSize(7, 0)).x;
    auto* grid = new wxFlexGridSizer(2, gap / 2, gap);
    grid->AddGrowableCol(1);
    const auto addEdit = [&](const char* label, int id, const std::string& value) {
        grid->Add(new wxStaticText(&dialog, wxID_ANY, label), wxSizerFlags().CenterVertical());
        auto* edit = new wxTextCtrl(&dialog, id, wxString::FromUTF8(value), wxDefaultPosition,
                                    wxSize(dialog.ConvertDialogToPixels(wxSize(160, 0)).x, -1));
        grid->Add(edit, wxSizerFlags(1).Expand());
        return edit;
    };
    wxTextCtrl* path = addEdit("Path", kPathId, shown.path);
    wxTextCtrl* filename = addEdit("Filename", kFilenameId, shown.filename);
    wxTextCtrl* duration = addEdit("Duration (in Seconds)", kDurationId, shown.duration);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(grid, wxSizerFlags(1).Expand().Border(wxALL, gap));
    sizer->Add(dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL),
               wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxBOTTOM, gap));
    dialog.SetSizerAndFit(sizer);
    dialog.CentreOnParent();
    if (dialog.ShowModal() != wxID_OK) {
        return std::nullopt;
    }
    return QvRecordControl::CaptureSettings{path->GetValue().utf8_string(),
                                            filename->GetValue().utf8_string(),
                                            duration->GetValue().utf8_string()};
}
