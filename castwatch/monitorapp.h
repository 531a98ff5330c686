#pragma once
// castwatch's application object for the dialog and tray monitors: the
// command line as a property list, the single-instance check, the stop
// signals and the main dialog. The program's entry (main.cpp) runs the
// service and the standard arguments without windows and creates this
// object for the rest; a test program may create it the same way.
//
// A stop signal (SIGTERM, as sent by "castwatch -kill", or SIGINT) clears
// the running flag that the dialog's timer looks at, so the monitor closes
// as it does when its service stops. The process must block those signals
// before wx starts (qvplat::BlockStopSignals).

#include "castwatch/model/instance.h"
#include "core/settings/qvproplist.h"
#include "platform/service/servicecontrol.h"
#include "platform/ui/wx/wxuidispatch.h"

#include <wx/app.h>
#include <wx/weakref.h>

#include <atomic>
#include <memory>

class CMonitorDlg;

class CMonitorApp : public wxApp
{
public:
    CMonitorApp();
    ~CMonitorApp() override;

    bool OnInit() override;
    int OnExit() override;

    const QvPropertyList& CommandLine() const { return m_commandLine; }
    // Null once the dialog is gone.
    CMonitorDlg* MainDialog() const { return m_dialog.get(); }

    // Makes the process's message boxes (qvplat::MessageBox) modal dialogs
    // over the top window, shown on the user-interface thread whichever
    // thread asks. The program installs it before the application starts.
    static void InstallMessageBoxHandler();

private:
    void StopUiDispatcher();

    QvPropertyList m_commandLine;
    castwatch::MonitorInstance m_instance;
    std::atomic<bool> m_running{true};
    std::unique_ptr<qvplat::StopSignalWatcher> m_stopSignals;
    std::shared_ptr<qvplat::WxUiDispatcher> m_ui;
    wxWeakRef<CMonitorDlg> m_dialog;
};

wxDECLARE_APP(CMonitorApp);
