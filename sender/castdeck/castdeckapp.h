#pragma once
// castdeck's application object: single-instance check, logs, settings,
// the document manager and the main frame.

#include "sender/castdeck/model/deckprofile.h"
#include "sender/castdeck/model/transmitmodel.h"

#include <wx/app.h>
#include <wx/docview.h>
#include <wx/string.h>

#include <deque>
#include <memory>

class CMainFrame;
class CSelfTest;

// The document manager: a recent-file list of four entries, kept in the
// registry store and saved whenever it changes.
class CDeckDocManager : public wxDocManager
{
public:
    CDeckDocManager();

    wxFileHistory* OnCreateFileHistory() override;
    void AddFileToHistory(const wxString& file) override;
    void RemoveFileFromHistory(size_t i) override;

    void LoadHistory();
    void SaveHistory() const;
};

class CQvTidewellApp : public wxApp
{
public:
    static constexpr const char* kTitle = "castdeck";
    static constexpr const char* kAlreadyRunning = "MPEG Flowmill is already running.";

    CQvTidewellApp();
    ~CQvTidewellApp() override;

    bool OnInit() override;
    int OnExit() override;
    int OnRun() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;

    // The counters shared by the panels: ports, the blink tick and the
    // number of panels now transmitting.
    castdeck::DeckState& State() { return m_state; }
    int TransmittingCount() const { return m_state.transmitting; }

    CMainFrame* MainFrame() const { return m_mainFrame; }
    CDeckDocManager* DocManager() const { return m_docManager; }

    // Shows the About box.
    void ShowAbout(wxWindow* parent);

    // In scripted runs message boxes are written to standard output instead
    // of shown; these answers are given to the next questions, in order
    // (otherwise the default button's answer).
    bool DialogsShown() const { return !m_noDialogs; }
    void QueueDialogAnswer(int answer) { m_answers.push_back(answer); }
    // Marks a failed scripted run; OnRun then returns 1.
    void SetExitCode(int code) { m_exitCode = code; }

private:
    void InstallMessageBoxHandler();
    bool OpenCommandLineDocument();

    castdeck::DeckState m_state;
    castdeck::InstanceLock m_instance;
    CDeckDocManager* m_docManager = nullptr;
    CMainFrame* m_mainFrame = nullptr;
    wxString m_fileToOpen;
    wxString m_selfTestDir;
    bool m_noDialogs = false;
    std::deque<int> m_answers;
    int m_exitCode = 0;
    std::unique_ptr<CSelfTest> m_selfTest;
};

wxDECLARE_APP(CQvTidewellApp);
