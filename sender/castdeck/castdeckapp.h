#pragma once
// castdeck's application object: single-instance check, logs, settings,
// the document manager and the main frame. The program's entry (main.cpp)
// creates it; a test program may create it the same way.

#include "sender/castdeck/model/deckprofile.h"
#include "sender/castdeck/model/transmitmodel.h"
#include "platform/ui/wx/wxuidispatch.h"

#include <memory>

#include <wx/app.h>
#include <wx/docview.h>
#include <wx/string.h>

class CMainFrame;

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

    // Makes the process's message boxes (qvplat::MessageBox) modal dialogs
    // over the top window, shown on the user-interface thread whichever
    // thread asks (the asking thread waits for the answer). The program
    // installs it before the application starts, so the single-instance
    // refusal is a dialog too.
    static void InstallMessageBoxHandler();

private:
    bool OpenCommandLineDocument();
    void StopUiDispatcher();

    castdeck::DeckState m_state;
    castdeck::InstanceLock m_instance;
    CDeckDocManager* m_docManager = nullptr;
    CMainFrame* m_mainFrame = nullptr;
    wxString m_fileToOpen;
    std::shared_ptr<qvplat::WxUiDispatcher> m_ui;
};

wxDECLARE_APP(CQvTidewellApp);
