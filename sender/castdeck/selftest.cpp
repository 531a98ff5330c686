#include "sender/castdeck/selftest.h"

#include "platform/msgbox.h"
#include "sender/castdeck/aboutdlg.h"
#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/childframe.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/resource.h"
#include "sender/castdeck/screencapture.h"
#include "sender/castdeck/tidewelldoc.h"
#include "sender/castdeck/tidewellview.h"
#include "sender/castdeck/transmitpanel.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/textctrl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kTickMs = 100;
constexpr int kOverallLimitMs = 120000;
constexpr const char* kReady = "Press <Start Transmission> button.";

std::string Utf8(const wxString& text)
{
    return text.utf8_string();
}

void Say(const std::string& line)
{
    std::printf("selftest: %s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

CSelfTest::CSelfTest(CQvTidewellApp& app, const wxString& directory)
    : m_app(app), m_directory(directory), m_timer(this)
{
    Bind(wxEVT_TIMER, &CSelfTest::OnTick, this);
}

CSelfTest::~CSelfTest()
{
    m_timer.Stop();
    if (m_receiver >= 0) {
        close(m_receiver);
    }
}

void CSelfTest::Begin()
{
    wxFileName::Mkdir(m_directory, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);

    // The check's own receiver on loopback: the transmissions go there.
    m_receiver = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (m_receiver < 0 || bind(m_receiver, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(m_receiver, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        Fail("cannot open the loopback receiver");
        return;
    }
    m_receiverPort = ntohs(addr.sin_port);

    AddSteps();
    Say("started");
    m_timer.Start(kTickMs);
}

void CSelfTest::Fail(const std::string& what)
{
    Say("FAIL: " + what);
    m_failed = true;
    m_app.SetExitCode(1);
}

void CSelfTest::Check(bool condition, const std::string& what)
{
    if (!condition) {
        Fail(what);
    }
}

std::vector<CTransmitPanel*> CSelfTest::Panels() const
{
    std::vector<CTransmitPanel*> panels;
    if (m_app.DocManager() == nullptr) {
        return panels;
    }
    for (wxDocument* doc : m_app.DocManager()->GetDocumentsVector()) {
        for (wxView* view : doc->GetViewsVector()) {
            auto* tide = dynamic_cast<CQvTidewellView*>(view);
            if (tide != nullptr && tide->GetPanel() != nullptr) {
                panels.push_back(tide->GetPanel());
            }
        }
    }
    return panels;
}

wxString CSelfTest::ControlText(CTransmitPanel* panel, int id) const
{
    wxWindow* control = panel->FindWindow(id);
    if (auto* text = dynamic_cast<wxTextCtrl*>(control)) {
        return text->GetValue();
    }
    return control != nullptr ? control->GetLabel() : wxString();
}

bool CSelfTest::ControlEnabled(CTransmitPanel* panel, int id) const
{
    wxWindow* control = panel->FindWindow(id);
    return control != nullptr && control->IsEnabled();
}

void CSelfTest::SetControlText(CTransmitPanel* panel, int id, const wxString& text)
{
    if (auto* control = dynamic_cast<wxTextCtrl*>(panel->FindWindow(id))) {
        control->SetValue(text); // sends the text event, as typing does
    }
}

void CSelfTest::SetCheckBox(CTransmitPanel* panel, int id, bool value)
{
    if (auto* box = dynamic_cast<wxCheckBox*>(panel->FindWindow(id))) {
        box->SetValue(value);
        wxCommandEvent event(wxEVT_CHECKBOX, id);
        event.SetEventObject(box);
        event.SetInt(value ? 1 : 0);
        box->ProcessWindowEvent(event);
    }
}

void CSelfTest::Click(CTransmitPanel* panel, int id)
{
    if (auto* button = dynamic_cast<wxButton*>(panel->FindWindow(id))) {
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(button);
        button->ProcessWindowEvent(event);
    }
}

void CSelfTest::AimAtReceiver(CTransmitPanel* panel)
{
    SetControlText(panel, IDC_ADDRESS, "127.0.0.1");
    SetControlText(panel, IDC_PORT, wxString::Format("%u", m_receiverPort));
    SetCheckBox(panel, IDC_SAP, false);
}

void CSelfTest::DrainReceiver()
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = recv(m_receiver, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        m_received += static_cast<unsigned long long>(got);
    }
}

bool CSelfTest::SaveScreenshot(const wxString& name)
{
    CMainFrame* frame = m_app.MainFrame();
    if (frame == nullptr) {
        return false;
    }
    const wxRect rect = frame->GetScreenRect();
    std::vector<std::uint8_t> rgb;
    if (!CaptureScreenRgb(rect.x, rect.y, rect.width, rect.height, rgb)) {
        return false;
    }
    // wxImage takes ownership of a malloc'ed buffer.
    auto* data = static_cast<unsigned char*>(std::malloc(rgb.size()));
    if (data == nullptr) {
        return false;
    }
    std::memcpy(data, rgb.data(), rgb.size());
    const wxImage image(rect.width, rect.height, data);
    const wxString path = m_directory + "/" + name;
    if (!image.SaveFile(path, wxBITMAP_TYPE_PNG)) {
        return false;
    }
    Say("screenshot " + Utf8(path));
    return true;
}

bool CSelfTest::SecondInstanceRefused()
{
    char exe[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) {
        return false;
    }
    const std::string output = Utf8(m_directory) + "/second-instance.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    char noDialogs[] = "--no-dialogs";
    char* argv[] = {exe, noDialogs, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return false;
    }
    // It should end at once; give it generous time, then make sure it ends.
    int status = 0;
    bool ended = false;
    for (int waited = 0; waited < 60000; waited += 50) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        Fail("the second instance did not end");
        return false;
    }
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    const bool refused = text.str().find(std::string("Error: ") +
                                         CQvTidewellApp::kAlreadyRunning) != std::string::npos;
    const bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    return refused && failed;
}

void CSelfTest::AddSteps()
{
    m_steps = {
        {"the opened file is analysed", 15000, &CSelfTest::StepDocumentOpen},
        {"settle", 2000, &CSelfTest::StepSettle},
        {"screenshot of the open document", 5000, &CSelfTest::StepScreenshotOpen},
        {"start", 5000, &CSelfTest::StepStart},
        {"data arrives and the status counts it", 15000, &CSelfTest::StepDataArrives},
        {"settle", 2000, &CSelfTest::StepSettle},
        {"screenshot while transmitting", 5000, &CSelfTest::StepScreenshotTransmitting},
        {"a second instance is refused", 65000, &CSelfTest::StepSecondInstance},
        {"closing a transmitting window asks first", 5000, &CSelfTest::StepCloseAsksFirst},
        {"stop", 5000, &CSelfTest::StepStop},
        {"the status says stopped", 5000, &CSelfTest::StepStoppedStatus},
        {"a dropped file opens a new document", 15000, &CSelfTest::StepDrop},
        {"New Window opens another view of the document", 15000, &CSelfTest::StepNewWindow},
        {"the About box", 5000, &CSelfTest::StepAbout},
        {"exit while transmitting", 10000, &CSelfTest::StepExit},
    };
}

bool CSelfTest::IsReady(CTransmitPanel* panel) const
{
    return panel != nullptr && ControlText(panel, IDC_STATUS) == kReady;
}

CSelfTest::StepResult CSelfTest::StepDocumentOpen()
{
    const std::vector<CTransmitPanel*> panels = Panels();
    CTransmitPanel* panel = panels.empty() ? nullptr : panels.front();
    if (!IsReady(panel)) {
        return StepResult::Wait;
    }
    m_first = panel;
    Check(panels.size() == 1, "one document window");
    Check(!ControlText(panel, IDC_MUX).empty(), "the Mux field shows the stream type");
    unsigned long bitrate = 0;
    Check(ControlText(panel, IDC_BITRATE).ToULong(&bitrate) && bitrate > 0,
          "the Bitrate field shows the bit rate");
    Check(ControlText(panel, IDC_PORT) == "2010", "the first panel proposes port 2010");
    Check(ControlText(panel, IDC_ADDRESS) == "225.1.1.1", "the default address");
    Check(ControlEnabled(panel, IDC_START), "Start is enabled");
    Check(ControlText(panel, IDC_START) == "Start Transmission", "the Start label");
    const wxString name = wxFileName(ControlText(panel, IDC_FILENAME)).GetFullName();
    Check(!name.empty() && m_app.MainFrame()->GetTitle().Contains(name),
          "the main frame's title shows the document");
    Say("document open: " + Utf8(ControlText(panel, IDC_MUX)) + ", " +
        Utf8(ControlText(panel, IDC_BITRATE)) + " bps");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepSettle()
{
    // The windows repaint in their own time before a screenshot.
    return m_stepElapsedMs >= 700 ? StepResult::Done : StepResult::Wait;
}

CSelfTest::StepResult CSelfTest::StepScreenshotOpen()
{
    Check(SaveScreenshot("castdeck-open.png"), "screenshot castdeck-open.png");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepStart()
{
    AimAtReceiver(m_first);
    Click(m_first, IDC_START);
    Check(m_first->IsTransmitting(), "the panel transmits");
    Check(ControlText(m_first, IDC_START) == "Stop Transmission", "the Stop label");
    for (const int id : {IDC_FILENAME_BUTTON, IDC_FILENAME, IDC_INTERFACE, IDC_MUX, IDC_BITRATE,
                         IDC_ADDRESS, IDC_PORT, IDC_TTL, IDC_REWIND, IDC_SAP, IDC_PACKET_FORMAT}) {
        Check(!ControlEnabled(m_first, id),
              "control " + std::to_string(id) + " is disabled while transmitting");
    }
    Check(ControlEnabled(m_first, IDC_START), "Stop stays enabled");
    Check(m_app.TransmittingCount() == 1, "one panel transmits");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepDataArrives()
{
    DrainReceiver();
    const wxString status = ControlText(m_first, IDC_STATUS);
    if (m_received == 0 || !status.StartsWith("Transmission started.") ||
        !status.Contains("Bytes sent: ") || status.EndsWith("Bytes sent: 0")) {
        return StepResult::Wait;
    }
    Say("transmitting: " + std::to_string(m_received) + " bytes received on loopback");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepScreenshotTransmitting()
{
    Check(SaveScreenshot("castdeck-transmitting.png"), "screenshot castdeck-transmitting.png");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepSecondInstance()
{
    Check(SecondInstanceRefused(), "a second instance says it is already running and ends");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepCloseAsksFirst()
{
    auto* frame = dynamic_cast<CChildFrame*>(m_first->GetParent());
    m_app.QueueDialogAnswer(qvplat::IDNO);
    Check(frame != nullptr && !frame->Close(), "answering No keeps the window");
    Check(Panels().size() == 1 && m_first->IsTransmitting(), "and the transmission");
    // Stream > Close, the way a tabbed document window is closed, asks too.
    m_app.QueueDialogAnswer(qvplat::IDNO);
    wxCommandEvent command(wxEVT_MENU, wxID_CLOSE);
    m_app.MainFrame()->ProcessWindowEvent(command);
    Check(Panels().size() == 1 && m_first->IsTransmitting(),
          "answering No to Stream > Close keeps the window and the transmission");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepStop()
{
    Click(m_first, IDC_START);
    Check(!m_first->IsTransmitting(), "the panel stopped");
    Check(m_app.TransmittingCount() == 0, "no panel transmits");
    Check(ControlText(m_first, IDC_START) == "Start Transmission", "the Start label is back");
    Check(ControlEnabled(m_first, IDC_ADDRESS), "the inputs are enabled again");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepStoppedStatus()
{
    return ControlText(m_first, IDC_STATUS) == "Transmission stopped." ? StepResult::Done
                                                                       : StepResult::Wait;
}

CSelfTest::StepResult CSelfTest::StepDrop()
{
    if (!m_dropped) {
        m_dropped = true;
        m_app.MainFrame()->OnFileDropped(ControlText(m_first, IDC_FILENAME));
        return StepResult::Wait;
    }
    m_second = NewPanel();
    if (!IsReady(m_second)) {
        return StepResult::Wait;
    }
    Check(Panels().size() == 2, "two document windows");
    Check(ControlText(m_second, IDC_PORT) == "2011", "the second panel proposes port 2011");
    Check(ControlText(m_second, IDC_FILENAME) == ControlText(m_first, IDC_FILENAME),
          "the new panel took the dropped file");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepNewWindow()
{
    if (!m_newWindow) {
        m_newWindow = true;
        wxCommandEvent command(wxEVT_MENU, ID_WINDOW_NEW);
        m_app.MainFrame()->ProcessWindowEvent(command);
        return StepResult::Wait;
    }
    CTransmitPanel* third = NewPanel();
    if (!IsReady(third)) {
        return StepResult::Wait;
    }
    Check(Panels().size() == 3, "three document windows");
    Check(ControlText(third, IDC_PORT) == "2012", "the third panel proposes port 2012");
    Check(ControlText(third, IDC_FILENAME) == ControlText(m_first, IDC_FILENAME),
          "the new window shows the document's file");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepAbout()
{
    CAboutDlg about(m_app.MainFrame());
    Check(about.GetTitle() == "About", "the About box's title");
    wxWindow* website = about.FindWindow(IDC_WEBSITE);
    Check(website != nullptr && website->GetLabel() == "Website", "the Website button");
    Check(about.FindWindow(wxID_OK) != nullptr, "the OK button");
    return StepResult::Done;
}

CSelfTest::StepResult CSelfTest::StepExit()
{
    AimAtReceiver(m_second);
    Click(m_second, IDC_START);
    Check(m_app.TransmittingCount() == 1, "the second panel transmits");
    m_app.QueueDialogAnswer(qvplat::IDYES);
    m_timer.Stop();
    Say("closing the main frame");
    m_app.MainFrame()->Close();
    return StepResult::Done;
}

CTransmitPanel* CSelfTest::NewPanel() const
{
    CTransmitPanel* found = nullptr;
    for (CTransmitPanel* panel : Panels()) {
        if (panel != m_first && panel != m_second) {
            found = panel;
        }
    }
    return found;
}

void CSelfTest::OnTick(wxTimerEvent&)
{
    m_totalElapsedMs += kTickMs;
    m_stepElapsedMs += kTickMs;
    if (m_step >= m_steps.size()) {
        m_timer.Stop();
        return;
    }
    Step& step = m_steps[m_step];
    if (m_stepElapsedMs > step.timeoutMs || m_totalElapsedMs > kOverallLimitMs) {
        Fail(std::string("timed out: ") + step.name);
        m_timer.Stop();
        if (m_app.MainFrame() != nullptr) {
            m_app.QueueDialogAnswer(qvplat::IDYES);
            m_app.MainFrame()->Close(true);
        }
        return;
    }
    if ((this->*step.run)() == StepResult::Done) {
        Say(std::string("ok: ") + step.name);
        ++m_step;
        m_stepElapsedMs = 0;
    }
}

int CSelfTest::Finish()
{
    Check(m_step == m_steps.size(), "every step ran");
    Check(m_app.TransmittingCount() == 0,
          "closing the windows stopped their transmissions (count " +
              std::to_string(m_app.TransmittingCount()) + ")");
    Say(m_failed ? "FAIL" : "PASS");
    return m_failed ? 1 : 0;
}
