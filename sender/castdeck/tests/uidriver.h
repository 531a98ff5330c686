#pragma once
// The walk through castdeck's windows that castdeck_uitest runs: it drives
// the running application through its own event handlers the way a user
// would (open a file, start, stop, refuse a second instance, drop a file,
// close while transmitting), checks what the windows show, saves screenshots
// in a directory and gives its verdict once the main loop has ended.
//
// Transmissions go to 127.0.0.1 only, to a socket of the driver's own, with
// announcements off.

#include "platform/msgbox.h"

#include <wx/event.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvtest {
class UdpSocket;
}
class CQvTidewellApp;
class CTransmitPanel;

// Message boxes of a scripted run, installed while the object lives: each
// box is written to standard output as "caption: text" and answered with
// the next queued answer, or with its default button's when none is queued.
class ScriptedBoxes
{
public:
    ScriptedBoxes();
    ~ScriptedBoxes();
    ScriptedBoxes(const ScriptedBoxes&) = delete;
    ScriptedBoxes& operator=(const ScriptedBoxes&) = delete;

    void QueueAnswer(int answer);

private:
    int Show(const char* text, const char* caption, unsigned flags);

    std::mutex m_lock;
    std::deque<int> m_answers;
    qvplat::MessageBoxFn m_previous;
};

class CUiDriver : public wxEvtHandler
{
public:
    // secondInstance: the command line of a second instance of the program
    // (it must find this one running and end).
    CUiDriver(CQvTidewellApp& app, ScriptedBoxes& boxes, const wxString& directory,
              std::vector<std::string> secondInstance);
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
    void AddSteps();

    // The steps, in order: Done to go on, Wait to be called again on the
    // next tick (until the step's time runs out).
    StepResult StepDocumentOpen();
    StepResult StepSettle();
    StepResult StepScreenshotOpen();
    StepResult StepStart();
    StepResult StepDataArrives();
    StepResult StepScreenshotTransmitting();
    StepResult StepSecondInstance();
    StepResult StepCloseAsksFirst();
    StepResult StepStop();
    StepResult StepStoppedStatus();
    StepResult StepDrop();
    StepResult StepNewWindow();
    StepResult StepAbout();
    StepResult StepExit();

    bool IsReady(CTransmitPanel* panel) const;
    // A panel that is neither the first nor the second; null when none.
    CTransmitPanel* NewPanel() const;

    std::vector<CTransmitPanel*> Panels() const;
    wxString ControlText(CTransmitPanel* panel, int id) const;
    bool ControlEnabled(CTransmitPanel* panel, int id) const;
    void SetControlText(CTransmitPanel* panel, int id, const wxString& text);
    void SetCheckBox(CTransmitPanel* panel, int id, bool value);
    void Click(CTransmitPanel* panel, int id);
    void AimAtReceiver(CTransmitPanel* panel);
    bool SaveScreenshot(const wxString& name);
    bool StartSecondInstance();
    void EndSecondInstance();
    void DrainReceiver();

    CQvTidewellApp& m_app;
    ScriptedBoxes& m_boxes;
    wxString m_directory;
    std::vector<std::string> m_secondInstance;
    wxTimer m_timer;
    std::vector<Step> m_steps;
    std::size_t m_step = 0;
    int m_stepElapsedMs = 0;
    int m_totalElapsedMs = 0;
    bool m_failed = false;
    bool m_dropped = false;
    bool m_aboutAsked = false;
    bool m_newWindow = false;
    CTransmitPanel* m_first = nullptr;
    CTransmitPanel* m_second = nullptr;
    std::unique_ptr<qvtest::UdpSocket> m_receiver;
    unsigned long long m_received = 0;
    pid_t m_secondPid = -1;
};
