#pragma once
// The built-in check behind the hidden "--selftest=<dir>" option: it drives
// the running program through its own event handlers the way a user would
// (open a file, start, stop, refuse a second instance, drop a file, close
// while transmitting), checks what the windows show, saves screenshots in
// <dir> and ends the program with exit code 0 when everything held.
//
// Transmissions go to 127.0.0.1 only, to a socket of the check's own, with
// announcements off.

#include <wx/event.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <string>
#include <vector>

class CQvTidewellApp;
class CTransmitPanel;

class CSelfTest : public wxEvtHandler
{
public:
    CSelfTest(CQvTidewellApp& app, const wxString& directory);
    ~CSelfTest() override;

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
        StepResult (CSelfTest::*run)();
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
    bool SecondInstanceRefused();
    void DrainReceiver();

    CQvTidewellApp& m_app;
    wxString m_directory;
    wxTimer m_timer;
    std::vector<Step> m_steps;
    std::size_t m_step = 0;
    int m_stepElapsedMs = 0;
    int m_totalElapsedMs = 0;
    bool m_failed = false;
    bool m_dropped = false;
    bool m_newWindow = false;
    CTransmitPanel* m_first = nullptr;
    CTransmitPanel* m_second = nullptr;
    int m_receiver = -1;
    unsigned m_receiverPort = 0;
    unsigned long long m_received = 0;
};
