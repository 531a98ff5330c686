#include "sender/castdeck/tests/transmitdriver.h"

#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/resource.h"
#include "sender/castdeck/tests/uidriver.h"
#include "sender/castdeck/tidewellview.h"
#include "sender/castdeck/transmitpanel.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/textctrl.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>

namespace {

constexpr int kTickMs = 100;
// How long the file may take to be analysed.
constexpr int kAnalysisLimitMs = 30000;

volatile std::sig_atomic_t g_stop = 0;

void Say(const std::string& line)
{
    std::printf("uitest: %s\n", line.c_str());
    std::fflush(stdout);
}

CTransmitPanel* FirstPanel(CQvTidewellApp& app)
{
    if (app.DocManager() == nullptr) {
        return nullptr;
    }
    for (wxDocument* doc : app.DocManager()->GetDocumentsVector()) {
        for (wxView* view : doc->GetViewsVector()) {
            if (auto* tide = dynamic_cast<CQvTidewellView*>(view)) {
                return tide->GetPanel();
            }
        }
    }
    return nullptr;
}

std::string Text(CTransmitPanel* panel, int id)
{
    wxWindow* control = panel->FindWindow(id);
    if (auto* text = dynamic_cast<wxTextCtrl*>(control)) {
        return text->GetValue().utf8_string();
    }
    if (auto* choice = dynamic_cast<wxChoice*>(control)) {
        return choice->GetStringSelection().utf8_string();
    }
    if (auto* box = dynamic_cast<wxCheckBox*>(control)) {
        return box->GetValue() ? "checked" : "unchecked";
    }
    return control != nullptr ? control->GetLabel().utf8_string() : std::string();
}

} // namespace

CTransmitDriver::CTransmitDriver(CQvTidewellApp& app, ScriptedBoxes& boxes,
                                 std::string packetFormat)
    : m_app(app), m_boxes(boxes), m_packetFormat(std::move(packetFormat)), m_timer(this)
{
    Bind(wxEVT_TIMER, &CTransmitDriver::OnTick, this);
}

CTransmitDriver::~CTransmitDriver()
{
    m_timer.Stop();
}

void CTransmitDriver::Begin()
{
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    m_timer.Start(kTickMs);
}

void CTransmitDriver::OnTick(wxTimerEvent&)
{
    m_elapsedMs += kTickMs;
    CTransmitPanel* panel = FirstPanel(m_app);
    if (g_stop != 0 || (!m_started && m_elapsedMs > kAnalysisLimitMs)) {
        if (!m_started) {
            Say("FAIL: the file was not analysed in time");
            m_failed = true;
        } else if (panel == nullptr || !panel->IsTransmitting()) {
            Say("FAIL: the transmission ended before it was stopped: " +
                (panel != nullptr ? Text(panel, IDC_STATUS) : std::string("no panel")));
            m_failed = true;
        }
        m_timer.Stop();
        Say("closing the main frame");
        m_boxes.QueueAnswer(qvplat::IDYES);
        m_app.MainFrame()->Close();
        return;
    }
    if (m_started || panel == nullptr ||
        Text(panel, IDC_STATUS) != "Press <Start Transmission> button.") {
        return;
    }
    m_started = true;
    if (auto* choice = dynamic_cast<wxChoice*>(panel->FindWindow(IDC_PACKET_FORMAT));
        choice != nullptr && !m_packetFormat.empty()) {
        if (!choice->SetStringSelection(wxString::FromUTF8(m_packetFormat))) {
            Say("FAIL: no packet format " + m_packetFormat);
            m_failed = true;
            g_stop = 1;
            return;
        }
        wxCommandEvent event(wxEVT_CHOICE, IDC_PACKET_FORMAT);
        event.SetEventObject(choice);
        event.SetInt(choice->GetSelection());
        choice->ProcessWindowEvent(event);
    }
    Say("settings: " + Text(panel, IDC_MUX) + ", " + Text(panel, IDC_BITRATE) + " bps, to " +
        Text(panel, IDC_ADDRESS) + " port " + Text(panel, IDC_PORT) + ", " +
        Text(panel, IDC_PACKET_FORMAT) + ", Rewind " + Text(panel, IDC_REWIND) + ", SAP " +
        Text(panel, IDC_SAP));
    if (auto* button = dynamic_cast<wxButton*>(panel->FindWindow(IDC_START))) {
        wxCommandEvent event(wxEVT_BUTTON, IDC_START);
        event.SetEventObject(button);
        button->ProcessWindowEvent(event);
    }
    if (!panel->IsTransmitting()) {
        Say("FAIL: the transmission did not start: " + Text(panel, IDC_STATUS));
        m_failed = true;
        m_started = false;
        g_stop = 1;
        return;
    }
    Say("transmitting");
}

int CTransmitDriver::Finish() const
{
    const bool ok = m_started && !m_failed && m_app.TransmittingCount() == 0;
    Say(ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
