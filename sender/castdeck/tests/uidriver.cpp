#include "sender/castdeck/tests/uidriver.h"

#include "platform/testsupport/udp_socket.h"
#include "platform/testsupport/x11/screenimage.h"
#include "platform/ui/wx/wxaboutbox.h"
#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/childframe.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/resource.h"
#include "sender/castdeck/tidewellview.h"
#include "sender/castdeck/transmitpanel.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/textctrl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
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
    std::printf("uitest: %s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

// ---- Message boxes --------------------------------------------------------------------

ScriptedBoxes::ScriptedBoxes()
{
    m_previous =
        qvplat::SetMessageBoxHandler([this](const char* text, const char* caption, unsigned flags) {
            return Show(text, caption, flags);
        });
}

ScriptedBoxes::~ScriptedBoxes()
{
    qvplat::SetMessageBoxHandler(std::move(m_previous));
}

void ScriptedBoxes::QueueAnswer(int answer)
{
    const std::lock_guard guard(m_lock);
    m_answers.push_back(answer);
}

int ScriptedBoxes::Show(const char* text, const char* caption, unsigned flags)
{
    std::printf("%s: %s\n", caption, text);
    std::fflush(stdout);
    const std::lock_guard guard(m_lock);
    if (m_answers.empty()) {
        return qvplat::DefaultAnswer(flags);
    }
    const int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

// ---- The walk -------------------------------------------------------------------------

CUiDriver::CUiDriver(CQvTidewellApp& app, ScriptedBoxes& boxes, const wxString& directory,
                     std::vector<std::string> secondInstance)
    : m_app(app), m_boxes(boxes), m_directory(directory),
      m_secondInstance(std::move(secondInstance)), m_timer(this)
{
    Bind(wxEVT_TIMER, &CUiDriver::OnTick, this);
}

CUiDriver::~CUiDriver()
{
    m_timer.Stop();
    EndSecondInstance();
}

void CUiDriver::Begin()
{
    wxFileName::Mkdir(m_directory, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);

    // The driver's own receiver on loopback: the transmissions go there.
    try {
        m_receiver = std::make_unique<qvtest::UdpSocket>("127.0.0.1");
    } catch (const std::exception& error) {
        Fail(std::string("cannot open the loopback receiver: ") + error.what());
        m_app.MainFrame()->Close(true);
        return;
    }

    AddSteps();
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

std::vector<CTransmitPanel*> CUiDriver::Panels() const
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

wxString CUiDriver::ControlText(CTransmitPanel* panel, int id) const
{
    wxWindow* control = panel->FindWindow(id);
    if (auto* text = dynamic_cast<wxTextCtrl*>(control)) {
        return text->GetValue();
    }
    return control != nullptr ? control->GetLabel() : wxString();
}

bool CUiDriver::ControlEnabled(CTransmitPanel* panel, int id) const
{
    wxWindow* control = panel->FindWindow(id);
    return control != nullptr && control->IsEnabled();
}

void CUiDriver::SetControlText(CTransmitPanel* panel, int id, const wxString& text)
{
    if (auto* control = dynamic_cast<wxTextCtrl*>(panel->FindWindow(id))) {
        control->SetValue(text); // sends the text event, as typing does
    }
}

void CUiDriver::SetCheckBox(CTransmitPanel* panel, int id, bool value)
{
    if (auto* box = dynamic_cast<wxCheckBox*>(panel->FindWindow(id))) {
        box->SetValue(value);
        wxCommandEvent event(wxEVT_CHECKBOX, id);
        event.SetEventObject(box);
        event.SetInt(value ? 1 : 0);
        box->ProcessWindowEvent(event);
    }
}

void CUiDriver::Click(CTransmitPanel* panel, int id)
{
    if (auto* button = dynamic_cast<wxButton*>(panel->FindWindow(id))) {
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(button);
        button->ProcessWindowEvent(event);
    }
}

void CUiDriver::AimAtReceiver(CTransmitPanel* panel)
{
    SetControlText(panel, IDC_ADDRESS, "127.0.0.1");
    SetControlText(panel, IDC_PORT, wxString::Format("%u", m_receiver->LocalPort()));
    SetCheckBox(panel, IDC_SAP, false);
}

void CUiDriver::DrainReceiver()
{
    while (const auto datagram = m_receiver->Receive(std::chrono::milliseconds(0))) {
        m_received += datagram->payload.size();
    }
}

bool CUiDriver::SaveScreenshot(const wxString& name)
{
    CMainFrame* frame = m_app.MainFrame();
    if (frame == nullptr) {
        return false;
    }
    const wxImage image = qvtest::CaptureScreenImage(frame->GetScreenRect());
    const wxString path = m_directory + "/" + name;
    if (!image.IsOk() || !image.SaveFile(path, wxBITMAP_TYPE_PNG)) {
        return false;
    }
    Say("screenshot " + Utf8(path));
    return true;
}

bool CUiDriver::StartSecondInstance()
{
    const std::string output = Utf8(m_directory) + "/second-instance.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : m_secondInstance) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_secondPid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_secondPid = -1;
        return false;
    }
    return true;
}

void CUiDriver::EndSecondInstance()
{
    if (m_secondPid > 0) {
        kill(m_secondPid, SIGKILL);
        waitpid(m_secondPid, nullptr, 0);
        m_secondPid = -1;
    }
}

void CUiDriver::AddSteps()
{
    m_steps = {
        {"the opened file is analysed", 15000, &CUiDriver::StepDocumentOpen},
        {"settle", 2000, &CUiDriver::StepSettle},
        {"screenshot of the open document", 5000, &CUiDriver::StepScreenshotOpen},
        {"start", 5000, &CUiDriver::StepStart},
        {"data arrives and the status counts it", 15000, &CUiDriver::StepDataArrives},
        {"settle", 2000, &CUiDriver::StepSettle},
        {"screenshot while transmitting", 5000, &CUiDriver::StepScreenshotTransmitting},
        {"a second instance is refused", 65000, &CUiDriver::StepSecondInstance},
        {"closing a transmitting window asks first", 5000, &CUiDriver::StepCloseAsksFirst},
        {"stop", 5000, &CUiDriver::StepStop},
        {"the status says stopped", 5000, &CUiDriver::StepStoppedStatus},
        {"a dropped file opens a new document", 15000, &CUiDriver::StepDrop},
        {"New Window opens another view of the document", 15000, &CUiDriver::StepNewWindow},
        {"the About box", 5000, &CUiDriver::StepAbout},
        {"exit while transmitting", 10000, &CUiDriver::StepExit},
    };
}

bool CUiDriver::IsReady(CTransmitPanel* panel) const
{
    return panel != nullptr && ControlText(panel, IDC_STATUS) == kReady;
}

CUiDriver::StepResult CUiDriver::StepDocumentOpen()
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

CUiDriver::StepResult CUiDriver::StepSettle()
{
    // The windows repaint in their own time before a screenshot.
    return m_stepElapsedMs >= 700 ? StepResult::Done : StepResult::Wait;
}

CUiDriver::StepResult CUiDriver::StepScreenshotOpen()
{
    Check(SaveScreenshot("castdeck-open.png"), "screenshot castdeck-open.png");
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepStart()
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

CUiDriver::StepResult CUiDriver::StepDataArrives()
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

CUiDriver::StepResult CUiDriver::StepScreenshotTransmitting()
{
    Check(SaveScreenshot("castdeck-transmitting.png"), "screenshot castdeck-transmitting.png");
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepSecondInstance()
{
    // The second instance runs while the main loop goes on; each tick looks
    // whether it has ended.
    if (m_secondPid < 0) {
        if (!StartSecondInstance()) {
            Fail("cannot start a second instance");
            return StepResult::Done;
        }
        return StepResult::Wait;
    }
    int status = 0;
    if (waitpid(m_secondPid, &status, WNOHANG) != m_secondPid) {
        return StepResult::Wait;
    }
    m_secondPid = -1;
    std::ifstream in(Utf8(m_directory) + "/second-instance.txt");
    std::stringstream text;
    text << in.rdbuf();
    Check(text.str().find(std::string("Error: ") + CQvTidewellApp::kAlreadyRunning) !=
              std::string::npos,
          "a second instance says it is already running");
    Check(WIFEXITED(status) && WEXITSTATUS(status) != 0, "and ends with a failure");
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepCloseAsksFirst()
{
    auto* frame = dynamic_cast<CChildFrame*>(m_first->GetParent());
    m_boxes.QueueAnswer(qvplat::IDNO);
    Check(frame != nullptr && !frame->Close(), "answering No keeps the window");
    Check(Panels().size() == 1 && m_first->IsTransmitting(), "and the transmission");
    // Stream > Close, the way a tabbed document window is closed, asks too.
    m_boxes.QueueAnswer(qvplat::IDNO);
    wxCommandEvent command(wxEVT_MENU, wxID_CLOSE);
    m_app.MainFrame()->ProcessWindowEvent(command);
    Check(Panels().size() == 1 && m_first->IsTransmitting(),
          "answering No to Stream > Close keeps the window and the transmission");
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepStop()
{
    Click(m_first, IDC_START);
    Check(!m_first->IsTransmitting(), "the panel stopped");
    Check(m_app.TransmittingCount() == 0, "no panel transmits");
    Check(ControlText(m_first, IDC_START) == "Start Transmission", "the Start label is back");
    Check(ControlEnabled(m_first, IDC_ADDRESS), "the inputs are enabled again");
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepStoppedStatus()
{
    return ControlText(m_first, IDC_STATUS) == "Transmission stopped." ? StepResult::Done
                                                                       : StepResult::Wait;
}

CUiDriver::StepResult CUiDriver::StepDrop()
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

CUiDriver::StepResult CUiDriver::StepNewWindow()
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

CUiDriver::StepResult CUiDriver::StepAbout()
{
    if (!m_aboutAsked) {
        m_aboutAsked = true;
        // Queued: the box's modal loop runs the next ticks.
        m_app.MainFrame()->GetEventHandler()->QueueEvent(
            new wxCommandEvent(wxEVT_MENU, wxID_ABOUT));
        return StepResult::Wait;
    }
    wxDialog* about = nullptr;
    for (wxWindow* window : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        if (dialog != nullptr && dialog->IsModal() && dialog->IsShown()) {
            about = dialog;
        }
    }
    if (about == nullptr) {
        return StepResult::Wait;
    }
    Check(about->GetTitle() == "About", "the About box's title");
    wxWindow* website = about->FindWindow(qvplat::kAboutWebsiteId);
    Check(website != nullptr && website->GetLabel() == "Website", "the Website button");
    Check(about->FindWindow(wxID_OK) != nullptr, "the OK button");
    about->EndModal(wxID_OK);
    return StepResult::Done;
}

CUiDriver::StepResult CUiDriver::StepExit()
{
    AimAtReceiver(m_second);
    Click(m_second, IDC_START);
    Check(m_app.TransmittingCount() == 1, "the second panel transmits");
    m_boxes.QueueAnswer(qvplat::IDYES);
    m_timer.Stop();
    Say("closing the main frame");
    m_app.MainFrame()->Close();
    return StepResult::Done;
}

CTransmitPanel* CUiDriver::NewPanel() const
{
    CTransmitPanel* found = nullptr;
    for (CTransmitPanel* panel : Panels()) {
        if (panel != m_first && panel != m_second) {
            found = panel;
        }
    }
    return found;
}

void CUiDriver::OnTick(wxTimerEvent&)
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
        EndSecondInstance();
        if (m_app.MainFrame() != nullptr) {
            m_boxes.QueueAnswer(qvplat::IDYES);
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

int CUiDriver::Finish()
{
    Check(m_step == m_steps.size(), "every step ran");
    Check(m_app.TransmittingCount() == 0,
          "closing the windows stopped their transmissions (count " +
              std::to_string(m_app.TransmittingCount()) + ")");
    Say(m_failed ? "FAIL" : "PASS");
    return m_failed ? 1 : 0;
}
