#pragma once
// castwatch's main dialog "Vigilo": the list of announced programs, the SDP
// text of the one double-clicked, Setup and About, and in tray mode the tray
// icon. The monitor itself (settings, directory, output file) is a
// castwatch::Monitor; the dialog only shows its lists, which arrive from the
// directory's thread and are posted here.

#include "castwatch/model/launchmode.h"
#include "castwatch/model/monitor.h"
#include "platform/ui/uidispatch.h"

#include <wx/dialog.h>
#include <wx/taskbar.h>
#include <wx/timer.h>

#include <atomic>
#include <memory>
#include <vector>

class wxListBox;
class wxTextCtrl;

class CMonitorDlg;

// The tray icon: a left click asks whether to exit.
class CTrayIcon : public wxTaskBarIcon
{
public:
    explicit CTrayIcon(CMonitorDlg& dialog);

private:
    void OnLeftDown(wxTaskBarIconEvent& event);

    CMonitorDlg& m_dialog;
};

class CMonitorDlg : public wxDialog
{
public:
    // running: cleared by whoever wants the dialog closed; timer 1 looks at
    // it every second. ui: where the directory's lists are posted.
    CMonitorDlg(const castwatch::ModeTraits& traits, const std::atomic<bool>* running,
                std::shared_ptr<qvplat::UiDispatcher> ui);
    ~CMonitorDlg() override;

    castwatch::Monitor& Monitor() { return *m_monitor; }
    // The programs in the order of the list's lines.
    const std::vector<castwatch::ProgramPtr>& Rows() const { return m_rows; }
    CTrayIcon* TrayIcon() const { return m_tray.get(); }

    // The tray icon's question; closes the dialog on OK.
    void AskToExit();

private:
    void OnProgramsDoubleClick(wxCommandEvent& event);
    void OnSetup(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnClose(wxCloseEvent& event);

    void PlaceControls();
    // On the user-interface thread: a list of the directory.
    void ShowPrograms(const castwatch::ProgramList& list);

    const castwatch::ModeTraits m_traits;
    const std::atomic<bool>* m_running;
    wxListBox* m_programs = nullptr;
    wxTextCtrl* m_sdp = nullptr;
    wxTextCtrl* m_selected = nullptr;
    wxWindow* m_setupButton = nullptr;
    wxWindow* m_aboutButton = nullptr;
    wxTimer m_timer;
    std::unique_ptr<CTrayIcon> m_tray;
    std::vector<castwatch::ProgramPtr> m_rows;
    std::shared_ptr<qvplat::UiDispatcher> m_ui;
    // This dialog while it lives, for the lists posted to it; read and
    // cleared on the user-interface thread only.
    std::shared_ptr<CMonitorDlg*> m_self;
    std::unique_ptr<castwatch::Monitor> m_monitor;

    wxDECLARE_EVENT_TABLE();
};
