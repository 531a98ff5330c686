#pragma once
// The windows of the capture control: the status window that fills the
// control (progress 201, elapsed time 202, Stop 203, bytes 204) and the
// "Capture Settings" dialog.

#include "capture/control/model/qvrecordcontrol.h"
#include "capture/control/model/qvstatusview.h"

#include <wx/panel.h>
#include <wx/timer.h>

#include <cstdint>
#include <functional>
#include <optional>

class wxButton;
class wxGauge;
class wxStaticText;

class CRecordCtlStatusWnd final : public wxPanel
{
public:
    static constexpr int kProgressId = 201;
    static constexpr int kTimeId = 202;
    static constexpr int kStopId = 203;
    static constexpr int kBytesId = 204;
    // A wxThreadEvent with this id (as a container may send it) drops the
    // control's status listener and status block.
    static constexpr int kReleaseSessionId = 0x7F2;

    // stop: the control's Stop.
    CRecordCtlStatusWnd(wxWindow* parent, wxWindowID id, const wxRect& rect, long style,
                        QvRecordControl& model, std::function<void()> stop);

    void StartStatus(std::int32_t duration);
    void StopTimer();

private:
    void OnTimer(wxTimerEvent& event);
    void OnStop(wxCommandEvent& event);
    void OnThreadEvent(wxThreadEvent& event);
    void ShowView();

    QvRecordControl& m_model;
    std::function<void()> m_stop;
    QvStatusView m_view;
    wxGauge* m_progress = nullptr;
    wxStaticText* m_time = nullptr;
    wxButton* m_stopButton = nullptr;
    wxStaticText* m_bytes = nullptr;
    wxTimer m_timer;
};

// The "Capture Settings" dialog (Path 204, Filename 205, Duration 208):
// the values entered on OK, nothing on Cancel.
std::optional<QvRecordControl::CaptureSettings>
RunCaptureSettingsDialog(wxWindow* parent, const QvRecordControl::CaptureSettings& shown);
