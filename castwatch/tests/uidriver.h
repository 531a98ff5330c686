#pragma once
// The walk through castwatch's desktop monitor that castwatch_uitest runs.
// It drives the running application through its own event handlers the way
// a user would: it closes the About box shown at start, waits until a
// session it announces is listed, double-clicks it, opens Setup and presses
// OK, and finally runs "castwatch -kill", whose stop signal must close the
// monitor. It takes screenshots and gives its verdict once the main loop
// has ended.

#include "platform/msgbox.h"

#include <wx/event.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvtest {
class UdpSocket;
}
class CMonitorApp;
class CMonitorDlg;
class wxDialog;

// Message boxes of a scripted run, installed while the object lives: each
// box is written to standard output as "caption: text" and answered with its
// default button.
class ScriptedBoxes
{
public:
    ScriptedBoxes();
    ~ScriptedBoxes();
    ScriptedBoxes(const ScriptedBoxes&) = delete;
    ScriptedBoxes& operator=(const ScriptedBoxes&) = delete;

private:
    qvplat::MessageBoxFn m_previous;
};

class CUiDriver : public wxEvtHandler
{
public:
    // castwatch: the program (run with -kill).
    CUiDriver(CMonitorApp& app, const wxString& directory, std::string castwatch);
    ~CUiDriver() override;

    void Begin();
    // Called once the main loop has ended: the last checks and the verdict.
    // Returns the exit code.
    int Finish();

private:
    enum class StepResult {
        Done,
        Wait,
    };
    struct Step
    {
        const char* name;
        int timeoutMs;
        StepResult (CUiDriver::*run)();
    };

    void OnTick(wxTimerEvent& event);
    void Fail(const std::string& what);
    void Check(bool condition, const std::string& what);

    StepResult StepAboutAtStart();
    StepResult StepSessionListed();
    StepResult StepDoubleClick();
    StepResult StepSettle();
    StepResult StepScreenshotDesktop();
    StepResult StepOpenSetup();
    StepResult StepPressOkInSetup();
    StepResult StepSetupApplied();
    StepResult StepKill();
    StepResult StepClosedBySignal();

    CMonitorDlg* Dialog() const;
    // The shown modal dialog with this title; null when none.
    wxDialog* ModalDialog(const char* title) const;
    void Click(wxWindow* parent, int id);
    void Announce();
    bool SaveScreenshot(wxWindow* window, const wxString& name);

    CMonitorApp& m_app;
    wxString m_directory;
    std::string m_castwatch;
    wxTimer m_timer;
    std::vector<Step> m_steps;
    std::size_t m_step = 0;
    int m_stepElapsedMs = 0;
    bool m_failed = false;
    std::unique_ptr<qvtest::UdpSocket> m_announcer;
    unsigned m_generation = 0;
    pid_t m_kill = -1;
};
