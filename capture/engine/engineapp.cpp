// recordengine: the capture engine program. One instance at a time: it
// takes the engine's lock before anything else and beats its pulse while
// it runs; a second start ends at once ("-kill" first asks the running
// engine to close, once the system confirms that the process the lock file
// names holds the lock). SIGTERM (or SIGINT)
// closes the main window on the user-interface thread.
#include "capture/channel/qvengineinstance.h"
#include "capture/engine/captureenginedlg.h"
#include "platform/msgbox.h"
#include "platform/stopsignals.h"
#include "platform/ui/uimsgbox.h"
#include "platform/ui/wx/wxmsgbox.h"
#include "platform/ui/wx/wxuidispatch.h"

#include <wx/app.h>

#include <atomic>
#include <mutex>

namespace {

// How long an engine started by a control waits for the lock: the engine
// of the previous capture may still be closing.
constexpr std::uint32_t kControlLaunchLockWaitMs = 5000;
// A start by hand waits only out a control that looks at the lock.
constexpr std::uint32_t kLockWaitMs = 250;

qvplat::UiMessageBoxes& Boxes()
{
    static qvplat::UiMessageBoxes boxes(qvplat::ShowWxMessageDialog);
    return boxes;
}

// The stop signals are blocked in every thread and taken by one watching
// thread, which hands the close to the user-interface thread.
class TerminationWatcher
{
public:
    // From here on a stop signal runs close on the user-interface thread; one
    // that came before runs it at once.
    void Attach(std::shared_ptr<qvplat::UiDispatcher> ui, std::function<void()> close)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_ui = std::move(ui);
        m_close = std::move(close);
        if (m_ui && m_requested) {
            m_ui->Post(m_close);
        }
    }

private:
    void OnStop()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requested = true;
        if (m_ui) {
            m_ui->Post(m_close);
        }
    }

    std::mutex m_lock;
    std::shared_ptr<qvplat::UiDispatcher> m_ui;
    std::function<void()> m_close;
    bool m_requested = false;
    // Last: its thread ends before the members above go.
    qvplat::StopSignalWatcher m_watcher{[this] { OnStop(); }};
};

TerminationWatcher* g_watcher = nullptr;
bool g_launchedByControl = false;

} // namespace

class CCaptureEngineApp final : public wxApp
{
public:
    bool OnInit() override
    {
        m_ui = qvplat::WxUiDispatcher::Create();
        Boxes().SetDispatcher(m_ui);
        m_dialog = new CCaptureEngineDlg(m_progress, g_launchedByControl);
        SetTopWindow(m_dialog);
        m_dialog->Show();
        m_dialog->Bind(wxEVT_DESTROY, [this](wxWindowDestroyEvent& event) {
            if (event.GetEventObject() == m_dialog) {
                m_dialog = nullptr;
            }
            event.Skip();
        });
        g_watcher->Attach(m_ui, [this] {
            if (m_dialog != nullptr) {
                m_dialog->Close(true);
            }
        });
        return true;
    }

    int OnExit() override
    {
        g_watcher->Attach(nullptr, nullptr);
        Boxes().SetDispatcher(nullptr);
        m_ui->Close();
        return wxApp::OnExit();
    }

private:
    std::shared_ptr<qvplat::WxUiDispatcher> m_ui;
    CCaptureEngineDlg* m_dialog = nullptr;
    // Raised by the capture loop once per round; the watchdog reads it.
    std::atomic<std::uint32_t> m_progress{0};
};

wxIMPLEMENT_APP_NO_MAIN(CCaptureEngineApp);

int main(int argc, char** argv)
{
    wxDISABLE_DEBUG_SUPPORT();
    const QvEngineProgram::CommandLine line =
        QvEngineProgram::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (line.kill) {
        QvEngineInstance::TerminateHolder();
        return 0;
    }
    QvEngineInstance instance;
    switch (instance.Acquire(line.controlLaunch ? kControlLaunchLockWaitMs : kLockWaitMs)) {
    case QvEngineInstance::Result::Acquired:
        break;
    case QvEngineInstance::Result::HeldElsewhere:
        return 0; // the running engine stays as it is
    default:
        return 1;
    }
    g_launchedByControl = line.controlLaunch;
    qvplat::SetMessageBoxHandler(Boxes().Handler());
    qvplat::BlockStopSignals();
    // After the block, so that its thread never takes a stop signal. An
    // engine without a pulse still works; its controls only cannot tell
    // when it stands still.
    instance.StartPulse();
    TerminationWatcher watcher;
    g_watcher = &watcher;
    const int status = wxEntry(argc, argv);
    g_watcher = nullptr;
    return status;
}
