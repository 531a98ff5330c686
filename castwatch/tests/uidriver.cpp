#include "castwatch/tests/uidriver.h"

#include "castwatch/monitorapp.h"
#include "castwatch/monitordlg.h"
#include "castwatch/resource.h"
#include "core/sap/qvsapdb.h"
#include "platform/testsupport/udp_socket.h"
#include "platform/testsupport/x11/screenimage.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/image.h>
#include <wx/listbox.h>
#include <wx/textctrl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

constexpr int kTickMs = 100;
constexpr const char* kSessionLine = "239.4.4.4/5004";

void Say(const std::string& line)
{
    std::printf("uitest: %s\n", line.c_str());
    std::fflush(stdout);
}

std::string Datagram(const std::string& sdp)
{
    const char header[8] = {0x20, 0, 0x34, 0x12, 127, 0, 0, 1};
    return std::string(header, sizeof header) + sdp;
}

std::string Sdp(long id, const char* name, const char* group)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 127.0.0.1\ns=" + name + "\nc=IN IP4 " +
           group + "/127\nt=0 0\nm=video 5004 RTP/AVP 32\n";
}

} // namespace

// ---- Message boxes --------------------------------------------------------------------

ScriptedBoxes::ScriptedBoxes()
{
    m_previous =
        qvplat::SetMessageBoxHandler([](const char* text, const char* caption, unsigned flags) {
            std::printf("%s: %s\n", caption, text);
            std::fflush(stdout);
            return qvplat::DefaultAnswer(flags);
        });
}

ScriptedBoxes::~ScriptedBoxes()
{
    qvplat::SetMessageBoxHandler(std::move(m_previous));
}

// ---- The walk -------------------------------------------------------------------------

CUiDriver::CUiDriver(CMonitorApp& app, const wxString& directory, std::string castwatch)
    : m_app(app), m_directory(directory), m_castwatch(std::move(castwatch)), m_timer(this)
{
    Bind(wxEVT_TIMER, &CUiDriver::OnTick, this);
    m_steps = {
        {"the About box at start", 20000, &CUiDriver::StepAboutAtStart},
        {"an announced session is listed", 30000, &CUiDriver::StepSessionListed},
        {"a double-click shows its SDP", 5000, &CUiDriver::StepDoubleClick},
        {"settle", 2000, &CUiDriver::StepSettle},
        {"screenshot of the monitor", 5000, &CUiDriver::StepScreenshotDesktop},
        {"Setup opens", 5000, &CUiDriver::StepOpenSetup},
        {"OK in Setup", 20000, &CUiDriver::StepPressOkInSetup},
        {"Setup applied", 20000, &CUiDriver::StepSetupApplied},
        {"castwatch -kill", 5000, &CUiDriver::StepKill},
        {"the stop signal closes the monitor", 20000, &CUiDriver::StepClosedBySignal},
    };
}

CUiDriver::~CUiDriver()
{
    m_timer.Stop();
    if (m_kill > 0) {
        ::kill(m_kill, SIGKILL);
        ::waitpid(m_kill, nullptr, 0);
    }
}

void CUiDriver::Begin()
{
    try {
        m_announcer = std::make_unique<qvtest::UdpSocket>();
    } catch (const std::exception& error) {
        Fail(std::string("no announcing socket: ") + error.what());
        CallAfter([this] { Dialog()->Close(true); });
        return;
    }
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) {
        wxImage::AddHandler(new wxPNGHandler);
    }
    Say("started");
    m_timer.Start(kTickMs);
}

void CUiDriver::Fail(const std::string& what)
{
    Say("FAIL: " + what);
    m_failed = true;
}

void CUiDriver::Check(bool condition, const std::string& what)
{
    if (!condition) {
        Fail(what);
    }
}

void CUiDriver::OnTick(wxTimerEvent&)
{
    if (m_step >= m_steps.size()) {
        return;
    }
    if (m_kill <= 0) {
        Announce();
    }
    const Step& step = m_steps[m_step];
    m_stepElapsedMs += kTickMs;
    if ((this->*step.run)() == StepResult::Done) {
        Say(std::string("done: ") + step.name);
        ++m_step;
        m_stepElapsedMs = 0;
    } else if (m_stepElapsedMs > step.timeoutMs) {
        Fail(std::string("timed out: ") + step.name);
        m_step = m_steps.size();
        m_timer.Stop();
        for (wxWindow* window : wxTopLevelWindows) {
            auto* modal = dynamic_cast<wxDialog*>(window);
            if (modal != nullptr && modal->IsModal()) {
                modal->EndModal(wxID_CANCEL);
            }
        }
        CallAfter([this] {
            if (CMonitorDlg* dialog = Dialog()) {
                dialog->Close(true);
            }
        });
    }
}

int CUiDriver::Finish()
{
    m_timer.Stop();
    // The last step ends with the main loop.
    if (m_kill > 0 && m_step + 1 == m_steps.size()) {
        Say(std::string("done: ") + m_steps[m_step].name);
        ++m_step;
    }
    Check(m_step == m_steps.size(), "the walk ended early");
    if (m_kill > 0) {
        int status = 0;
        ::waitpid(m_kill, &status, 0);
        m_kill = -1;
        Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "castwatch -kill ends");
    }
    Say(m_failed ? "FAIL" : "PASS");
    return m_failed ? 1 : 0;
}

// ---- Helpers --------------------------------------------------------------------------

CMonitorDlg* CUiDriver::Dialog() const
{
    return m_app.MainDialog();
}

wxDialog* CUiDriver::ModalDialog(const char* title) const
{
    for (wxWindow* window : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        if (dialog != nullptr && dialog->IsModal() && dialog->IsShown() &&
            dialog->GetTitle() == title) {
            return dialog;
        }
    }
    return nullptr;
}

void CUiDriver::Click(wxWindow* parent, int id)
{
    if (auto* button = dynamic_cast<wxButton*>(parent->FindWindow(id))) {
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(button);
        button->ProcessWindowEvent(event);
    }
}

void CUiDriver::Announce()
{
    if (m_announcer) {
        m_announcer->SendTo("224.2.127.254", 9875, Datagram(Sdp(42, "Smoke test", "239.4.4.4")));
    }
}

bool CUiDriver::SaveScreenshot(wxWindow* window, const wxString& name)
{
    const wxImage image = qvtest::CaptureScreenImage(window->GetScreenRect());
    const wxString path = m_directory + "/" + name;
    if (!image.IsOk() || !image.SaveFile(path, wxBITMAP_TYPE_PNG)) {
        return false;
    }
    Say("screenshot " + path.utf8_string());
    return true;
}

// ---- Steps ----------------------------------------------------------------------------

CUiDriver::StepResult CUiDriver::StepAboutAtStart()
{
    wxDialog* about = ModalDialog(kAboutTitle);
    if (about == nullptr) {
        return StepResult::Wait;
    }
    Check(about->FindWindow(wxID_OK) != nullptr, "the About box has OK");
    about->EndModal(wxID_OK);
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepSessionListed()
{
    CMonitorDlg* dialog = Dialog();
    auto* list =
        dialog != nullptr ? dynamic_cast<wxListBox*>(dialog->FindWindow(IDC_PROGRAMS)) : nullptr;
    return list != nullptr && list->FindString(kSessionLine) != wxNOT_FOUND ? StepResult::Done
                                                                            : StepResult::Wait;
}

CUiDriver::StepResult CUiDriver::StepDoubleClick()
{
    CMonitorDlg* dialog = Dialog();
    auto* list = dynamic_cast<wxListBox*>(dialog->FindWindow(IDC_PROGRAMS));
    const int index = list->FindString(kSessionLine);
    if (index == wxNOT_FOUND) {
        return StepResult::Wait; // expired between two announcements: listed again soon
    }
    list->SetSelection(index);
    wxCommandEvent click(wxEVT_LISTBOX_DCLICK, IDC_PROGRAMS);
    click.SetEventObject(list);
    click.SetInt(index);
    list->ProcessWindowEvent(click);
    const wxString sdp = dynamic_cast<wxTextCtrl*>(dialog->FindWindow(IDC_SDP))->GetValue();
    const wxString line = dynamic_cast<wxTextCtrl*>(dialog->FindWindow(IDC_SELECTED))->GetValue();
    Check(sdp.Contains("\ns=Smoke test\n"), "the SDP view shows the session: " + sdp.utf8_string());
    Check(line == kSessionLine, "the selected line shows " + line.utf8_string());
    // The desktop monitor lists but never writes the output file.
    const std::string output = dialog->Monitor().OutputFile();
    Check(!output.empty() && !std::filesystem::exists(output),
          "the desktop monitor wrote no output file " + output);
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepSettle()
{
    return m_stepElapsedMs >= 1000 ? StepResult::Done : StepResult::Wait;
}

CUiDriver::StepResult CUiDriver::StepScreenshotDesktop()
{
    Check(SaveScreenshot(Dialog(), "castwatch-desktop.png"), "screenshot castwatch-desktop.png");
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepOpenSetup()
{
    m_generation = Dialog()->Monitor().Generation();
    // Posted: the modal loop of Setup must not run inside this tick.
    CallAfter([this] {
        if (CMonitorDlg* dialog = Dialog()) {
            Click(dialog, IDC_SETUP);
        }
    });
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepPressOkInSetup()
{
    wxDialog* setup = ModalDialog(kSetupTitle);
    if (setup == nullptr) {
        return StepResult::Wait;
    }
    auto* pairs = dynamic_cast<wxListBox*>(setup->FindWindow(IDC_PAIRS));
    Check(pairs->GetCount() == 2 && pairs->GetString(0) == "224.2.127.254 - 9875" &&
              pairs->GetString(1) == "226.0.0.0 - 6318",
          "Setup lists both pairs");
    Check(!setup->FindWindow(IDC_ADD)->IsEnabled() && !setup->FindWindow(IDC_REMOVE)->IsEnabled(),
          "Add and Remove are disabled at first");
    Check(SaveScreenshot(setup, "castwatch-setup.png"), "screenshot castwatch-setup.png");
    Click(setup, wxID_OK);
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepSetupApplied()
{
    if (ModalDialog(kSetupTitle) != nullptr ||
        Dialog()->Monitor().Generation() != m_generation + 1) {
        return StepResult::Wait;
    }
    QvPropertyList key;
    key.ReadRegistry(QvSapDb::registryKey, qvplat::RegRoot::LocalMachine);
    const std::string text = key.GetPropertyString().chars();
    Check(text.find("SAPDBSCANPERIOD=100 ") != std::string::npos &&
              text.find("SAPDBFILE=c:\\player.dat ") != std::string::npos,
          "the key keeps what Setup does not edit: " + text);
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepKill()
{
    const std::vector<char*> args = {m_castwatch.data(), const_cast<char*>("-kill"), nullptr};
    if (::posix_spawn(&m_kill, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        m_kill = -1;
        Fail("castwatch -kill does not start");
    }
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepClosedBySignal()
{
    // The monitor's timer closes it; then the main loop ends and Finish runs.
    return StepResult::Wait;
}
