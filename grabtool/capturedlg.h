#pragma once
// The capture dialog "Snaretap" (dialog 102). The window is thin: it forwards
// the user's edits, its buttons and its two timers to a
// grabtool::CaptureModel and shows the model's state afterwards; work that
// the model's threads hand over comes through the application's
// user-interface dispatcher.

#include "grabtool/model/capturemodel.h"
#include "platform/ui/wx/wxtimerset.h"

#include <wx/dialog.h>

class wxButton;
class wxCheckBox;
class wxComboBox;
class wxTextCtrl;

class CCaptureDlg : public wxDialog, public grabtool::CaptureHost
{
public:
    // The dialog's size in dialog units.
    static constexpr int kWidthDlu = 216;
    static constexpr int kHeightDlu = 270;
    static constexpr const char* kCaption = "Snaretap";
    static constexpr const char* kFileFilter = "MPEG (*.mpg)|*.mpg|All Files (*.*)|*.*";

    explicit CCaptureDlg(std::shared_ptr<qvplat::UiDispatcher> ui, wxWindow* parent = nullptr);
    ~CCaptureDlg() override;

    const grabtool::CaptureModel& Model() const { return m_model; }

    // grabtool::CaptureHost
    void StartTimer(int id, unsigned periodMs) override;
    void KillTimer(int id) override;
    void StateChanged() override;

private:
    void CreateControls();
    void ShowState();

    void OnStartStop(wxCommandEvent& event);
    void OnExit(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnFilename(wxCommandEvent& event);
    void OnEdit(wxCommandEvent& event);
    void OnUnicast(wxCommandEvent& event);
    void OnTimer(int id);

    // Declared before the model, which stops them when it goes.
    qvplat::WxTimerSet m_timers;
    grabtool::CaptureModel m_model;

    wxTextCtrl* m_address = nullptr;
    wxTextCtrl* m_port = nullptr;
    wxComboBox* m_interface = nullptr;
    wxTextCtrl* m_filename = nullptr;
    wxButton* m_browse = nullptr;
    wxTextCtrl* m_log = nullptr;
    wxTextCtrl* m_bytes = nullptr;
    wxTextCtrl* m_mbps = nullptr;
    wxTextCtrl* m_lostRecovered = nullptr;
    wxComboBox* m_packetFormat = nullptr;
    wxComboBox* m_mux = nullptr;
    wxCheckBox* m_unicast = nullptr;
    wxButton* m_start = nullptr;
    wxButton* m_exit = nullptr;

    wxDECLARE_EVENT_TABLE();
};
