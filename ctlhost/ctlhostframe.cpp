// The frame of ctlhost: hosts one control, prints its events and runs the
// script against it.
#include "ctlhost/ctlhostframe.h"

#include "platform/com/creation.h"
#include "platform/com/wx/wxhost.h"
#include "platform/ui/wx/wxuidispatch.h"

#include <wx/anybutton.h>
#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/modalhook.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

using namespace qvplat;

namespace {

ctlhost::Options g_options;
std::vector<ctlhost::ScriptCommand> g_script;
const ctlhost::HostProgram* g_program = nullptr;

void Print(const std::string& line)
{
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

// Once the script has ended no modal box opens any more (ShowModal returns
// wxID_CANCEL at once): a box that nobody answers would keep the program
// alive.
class CModalBoxes final : public wxModalDialogHook
{
public:
    void Refuse() { m_refuse = true; }

protected:
    int Enter(wxDialog*) override { return m_refuse ? wxID_CANCEL : wxID_NONE; }
    void Exit(wxDialog*) override {}

private:
    bool m_refuse = false;
};

CModalBoxes g_boxes;

// The last resort once a script has quit: a box that runs a loop of its own
// (a native message box) cannot be ended from here, so the program ends with
// the script's status when it has not closed within the bound.
class CQuitDeadline
{
public:
    static constexpr std::chrono::seconds kBound{20};

    void Arm(int status)
    {
        const std::lock_guard armed(m_mutex);
        if (m_thread.joinable() || m_disarmed) {
            return;
        }
        m_thread = std::thread([this, status] {
            std::unique_lock lock(m_mutex);
            if (!m_ended.wait_for(lock, kBound, [this] { return m_disarmed; })) {
                std::fprintf(stderr,
                             "error: the program did not close within %lld s of the "
                             "script's end (a box is still up)\n",
                             static_cast<long long>(kBound.count()));
                std::fflush(stdout);
                std::fflush(stderr);
                std::_Exit(status);
            }
        });
    }
    // The program closed in time.
    void Disarm()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_disarmed = true;
        }
        m_ended.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_disarmed = false;
    std::thread m_thread;
};

CQuitDeadline g_deadline;

class CCtlHostFrame final : public wxFrame, public ctlhost::ScriptHost
{
public:
    // status receives the program's exit status when a script quits.
    CCtlHostFrame(std::shared_ptr<WxUiDispatcher> ui, int& status)
        : wxFrame(nullptr, wxID_ANY, "ctlhost - " + wxString::FromUTF8(g_options.control)),
          m_session(ui, &Print, [this] { ScheduleStep(); }), m_status(status)
    {
        SetClientSize(g_options.width, g_options.height);
        m_timer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { RunStep(); });
        // The application sees idle moments also while a modal box is up.
        wxTheApp->Bind(wxEVT_IDLE, [this](wxIdleEvent& event) {
            if (std::exchange(m_stepWhenIdle, false)) {
                RunStep();
            }
            event.Skip();
        });
        Bind(wxEVT_CLOSE_WINDOW, &CCtlHostFrame::OnClose, this);
    }

    bool Start()
    {
        std::string error;
        if (!m_session.Open(g_options.control, g_options.params, error)) {
            Print("error: " + error);
            return false;
        }
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        wxWindow* window = nullptr;
        ComPtr<IQvWxControl> control = ComPtr<IUnknown>(m_session.Control()).As<IQvWxControl>();
        if (control) {
            const HRESULT hr =
                control->CreateControlWindow(this, wxRect(GetClientSize()), 0, wxID_ANY, &window);
            if (Failed(hr)) {
                Print("error: the control's window: " + std::string(HResultName(hr)));
                return false;
            }
        } else {
            window = new wxStaticText(this, wxID_ANY, "(the control has no window)");
        }
        sizer->Add(window, 1, wxEXPAND);
        SetSizer(sizer);
        m_controlWindow = window;
        Show();
        if (g_program->extra) {
            m_extra = g_program->extra(*this, *window);
        }
        if (!g_script.empty()) {
            m_runner = std::make_unique<ctlhost::ScriptRunner>(m_session, *this, &Print, g_script,
                                                               m_extra.get());
            ScheduleStep();
        }
        return true;
    }

    // ScriptHost
    bool ShowPages(std::vector<std::string>& titles, std::string& error) override
    {
        auto* sheet = new CQvPropertySheet(this, m_session.Control(), "Properties");
        if (sheet->PageCount() == 0) {
            sheet->Destroy();
            error = "the control has no property pages";
            return false;
        }
        titles = sheet->Titles();
        sheet->Show();
        return true;
    }
    bool Command(int id, std::string& error) override
    {
        wxWindow* found = nullptr;
        for (wxWindow* window : wxTopLevelWindows) {
            if ((found = FindById(window, id)) != nullptr) {
                break;
            }
        }
        auto* button = dynamic_cast<wxAnyButton*>(found);
        if (button == nullptr) {
            error = "no button " + std::to_string(id);
            return false;
        }
        if (!button->IsShownOnScreen() || !button->IsEnabled()) {
            error = "button " + std::to_string(id) + " is hidden or disabled";
            return false;
        }
        wxCommandEvent event(wxEVT_BUTTON, button->GetId());
        event.SetEventObject(button);
        button->GetEventHandler()->ProcessEvent(event);
        return true;
    }
    void Quit(int status) override
    {
        m_status = status;
        g_boxes.Refuse();
        g_deadline.Arm(status);
        // Modal boxes of the control end first; the frame closes once their
        // loops have unwound.
        for (wxWindow* window : wxTopLevelWindows) {
            if (auto* dialog = dynamic_cast<wxDialog*>(window);
                dialog != nullptr && dialog->IsModal()) {
                dialog->EndModal(wxID_CANCEL);
            }
        }
        CloseWhenUnwound();
    }

private:
    // The first shown window with that id, or named by that number (ids
    // stop at 32767), depth first.
    static wxWindow* FindById(wxWindow* window, int id)
    {
        if (window == nullptr || !window->IsShown()) {
            return nullptr;
        }
        if (window->GetId() == id || window->GetName() == std::to_string(id)) {
            return window;
        }
        for (wxWindow* child : window->GetChildren()) {
            if (wxWindow* found = FindById(child, id)) {
                return found;
            }
        }
        return nullptr;
    }
    // Closes once no nested (modal) loop runs: a modal box of the control
    // must not lose its window while its loop is still on the stack.
    void CloseWhenUnwound()
    {
        CallAfter([this] {
            const wxEventLoopBase* active = wxEventLoopBase::GetActive();
            if (active != nullptr && !active->IsMain()) {
                CloseWhenUnwound();
            } else {
                Close(true);
            }
        });
    }
    void ScheduleStep()
    {
        if (m_runner && !m_stepQueued) {
            m_stepQueued = true;
            CallAfter([this] {
                m_stepQueued = false;
                RunStep();
            });
        }
    }
    void RunStep()
    {
        if (!m_runner || m_stepping) {
            return;
        }
        m_stepping = true;
        const auto wait = m_runner->Step();
        m_stepping = false;
        if (wait && wait->count() == 0) {
            m_stepWhenIdle = true;
            wxWakeUpIdle();
        } else if (wait) {
            m_timer.StartOnce(static_cast<int>(wait->count()));
        } else {
            m_runner.reset();
            m_timer.Stop();
        }
    }
    void OnClose(wxCloseEvent&)
    {
        m_timer.Stop();
        m_runner.reset();
        m_extra.reset();
        m_session.Close();
        Destroy();
    }

    ctlhost::CtlSession m_session;
    wxWindow* m_controlWindow = nullptr;
    std::unique_ptr<ctlhost::ExtraVerbs> m_extra;
    std::unique_ptr<ctlhost::ScriptRunner> m_runner;
    wxTimer m_timer;
    bool m_stepQueued = false;
    bool m_stepping = false;
    bool m_stepWhenIdle = false;
    int& m_status;
};

class CCtlHostApp final : public wxApp
{
public:
    bool OnInit() override
    {
        wxInitAllImageHandlers();
        if (!g_script.empty()) {
            // Nobody answers a box while a script runs: wx's own errors go to
            // standard error instead of a log box.
            delete wxLog::SetActiveTarget(new wxLogStderr);
        }
        g_boxes.Register();
        CoInitialize();
        m_ui = WxUiDispatcher::Create();
        auto* frame = new CCtlHostFrame(m_ui, m_status);
        if (!frame->Start()) {
            frame->Destroy();
            g_boxes.Unregister();
            // Nothing to show: leave at once with the failure.
            return false;
        }
        return true;
    }
    int OnRun() override
    {
        wxApp::OnRun();
        return m_status;
    }
    int OnExit() override
    {
        g_deadline.Disarm();
        g_boxes.Unregister();
        m_ui->Close();
        CoFreeUnusedLibraries();
        CoUninitialize();
        return wxApp::OnExit();
    }

private:
    std::shared_ptr<WxUiDispatcher> m_ui;
    int m_status = 0;
};

} // namespace

// The application class is this file's own, and so is the wxGetApp the
// macro defines, which nothing here calls.
[[maybe_unused]] CCtlHostApp& wxGetApp();
wxIMPLEMENT_APP_NO_MAIN(CCtlHostApp);

namespace ctlhost {

int RunHost(int argc, char** argv, const HostProgram& program)
{
    g_program = &program;
    std::string message;
    if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), g_options, message,
                          Usage(program.name, program.verbs))) {
        const bool help = message.starts_with("usage:");
        std::fprintf(help ? stdout : stderr, "%s\n", message.c_str());
        return help ? 0 : 2;
    }
    if (!g_options.script.empty()) {
        std::ifstream in(g_options.script, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            std::fprintf(stderr, "%s: cannot read script \"%s\"\n", program.name.c_str(),
                         g_options.script.c_str());
            return 2;
        }
        if (!ParseScript(text.str(), program.verbs, g_script, message)) {
            std::fprintf(stderr, "%s: %s: %s\n", program.name.c_str(), g_options.script.c_str(),
                         message.c_str());
            return 2;
        }
    }
    const int status = wxEntry(argc, argv);
    return status == -1 ? 2 : status;
}

} // namespace ctlhost
