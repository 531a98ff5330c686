// grabtool_uitest, the smoke test of grabtool: its application runs on a
// private Xvfb display, in a private network namespace (only loopback, so
// the dialog's listener hears 127.0.0.1) and a private working and Windows
// directory, with a driver that walks the dialog through its own handlers:
// fill in the fields, Start, wait until the data it sends is captured, take
// a screenshot, Stop and Exit; then it checks the settings and capture files.
//
//   grabtool_uitest <screenshot directory>
//
// Exit code 0 when every check held, 77 (skipped) without Xvfb or namespaces.
// The screenshot is kept in the given directory.
#include "grabtool/captureapp.h"
#include "grabtool/capturedlg.h"
#include "grabtool/resource.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/netns.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"

#include <wx/combobox.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <cstdio>
#include <unistd.h>

namespace {

bool g_failed = false;
std::string g_screenshots;

void Check(bool condition, const std::string& what)
{
    if (!condition) {
        std::printf("uitest: FAIL: %s\n", what.c_str());
        g_failed = true;
    }
}

class CUiDriver : public wxEvtHandler
{
public:
    explicit CUiDriver(CCaptureDlg& dialog) : m_dialog(dialog), m_timer(this)
    {
        Bind(wxEVT_TIMER, &CUiDriver::OnTick, this);
        m_timer.Start(100);
    }

private:
    wxString Text(int id) const
    {
        wxWindow* control = m_dialog.FindWindow(id);
        auto* entry = dynamic_cast<wxTextEntry*>(control);
        return entry != nullptr ? entry->GetValue() : control->GetLabel();
    }
    bool Enabled(int id) const { return m_dialog.FindWindow(id)->IsEnabled(); }
    void Type(int id, const wxString& text)
    {
        dynamic_cast<wxTextEntry*>(m_dialog.FindWindow(id))->SetValue(text); // a text event
    }
    void Click(int id)
    {
        wxCommandEvent event(wxEVT_BUTTON, id);
        m_dialog.FindWindow(id)->ProcessWindowEvent(event);
    }
    // What the screen shows in the dialog's rectangle.
    bool Screenshot(const std::string& name)
    {
        const wxRect rect = m_dialog.GetScreenRect();
        wxBitmap shot(rect.GetSize(), 24);
        wxMemoryDC memory(shot);
        wxScreenDC screen;
        memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
        memory.SelectObject(wxNullBitmap);
        std::printf("uitest: screenshot %s/%s\n", g_screenshots.c_str(), name.c_str());
        return shot.ConvertToImage().SaveFile(g_screenshots + "/" + name);
    }

    void OnTick(wxTimerEvent&)
    {
        Check((m_elapsedMs += 100) < 60000, "step " + std::to_string(m_step) + " in time");
        if (g_failed) {
            m_timer.Stop();
            m_dialog.Close();
            return;
        }
        for (int i = 0; m_sender && i < 24; ++i) { // about 2.5 Mbit/s in 1316-byte datagrams
            m_sender->SendTo("127.0.0.1", m_port, std::string(1316, 'x'));
        }
        if (m_step == 0) {
            Check(m_dialog.GetTitle() == "Snaretap", "the caption");
            auto* formats = dynamic_cast<wxComboBox*>(m_dialog.FindWindow(IDC_PACKET_FORMAT));
            Check(formats->GetCount() == 5 && formats->GetString(4) == "RAW", "formats sorted");
            for (const int id : {IDC_INTERFACE, IDC_PACKET_FORMAT, IDC_MUX}) {
                Check(Text(id) == "<any>", "<any> in combo " + std::to_string(id));
            }
            m_sender = std::make_unique<qvtest::UdpSocket>("127.0.0.1");
            m_port = qvtest::UdpSocket("127.0.0.1").LocalPort(); // free, and not the sender's
            Type(IDC_ADDRESS, "127.0.0.1");
            Type(IDC_PORT, wxString::Format("%u", m_port));
            Type(IDC_FILENAME, "capture.ts");
            Type(IDC_MUX, "m2t");
            Click(IDC_START);
            Check(Text(IDC_START) == "Start" && !Enabled(IDC_FILENAME) && !Enabled(IDC_UNICAST),
                  "waiting: Start label, file field and Unicast disabled");
            Check(Text(IDC_LOG).Contains("Start Time: "), "the start time is logged");
            ++m_step;
        } else if (m_step == 1 && Text(IDC_START) == "Stop" &&
                   Text(IDC_LOG).Contains("Data Started") && Text(IDC_BYTES_RECEIVED) != "0") {
            m_settleMs = m_elapsedMs + 700; // the window repaints before the picture
            ++m_step;
        } else if (m_step == 2 && m_elapsedMs >= m_settleMs) {
            Check(Screenshot("grabtool-capturing.png"), "screenshot while capturing");
            Click(IDC_START);
            Check(Text(IDC_START) == "Start" && Enabled(IDC_FILENAME) && Enabled(IDC_UNICAST),
                  "stopped: Start label, inputs enabled");
            Check(Text(IDC_LOG).Contains("Stop Time: "), "the stop time is logged");
            m_timer.Stop();
            Click(IDC_EXIT);
        }
    }

    CCaptureDlg& m_dialog;
    wxTimer m_timer;
    std::unique_ptr<qvtest::UdpSocket> m_sender;
    std::uint16_t m_port = 0;
    int m_step = 0;
    int m_elapsedMs = 0;
    int m_settleMs = 0;
};

} // namespace

wxIMPLEMENT_APP_NO_MAIN(CCaptureApp);

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: grabtool_uitest <screenshot directory>\n");
        return 2;
    }
    g_screenshots = argv[1];
    qvtest::ScopedNetNamespace netns;
    const qvtest::XvfbServer server;
    if (!netns.IsReady() || server.Display().empty()) {
        std::printf("skipped: needs network namespaces (%s) and Xvfb\n", netns.Error().c_str());
        return 77;
    }
    const qvtest::TempDir work("grabtool_uitest");
    if (chdir(work.Path().c_str()) != 0) {
        return 2;
    }
    for (const char* name : {"QV_WINDOWS_DIR", "HOME", "XDG_RUNTIME_DIR"}) {
        setenv(name, work.Path().c_str(), 1);
    }
    setenv("DISPLAY", server.Display().c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);

    // The application starts as the program's does; once its dialog runs,
    // the driver takes it from the dialog's own event loop.
    int appArgc = 1;
    if (!wxEntryStart(appArgc, argv)) {
        return 2;
    }
    // Nobody answers a log box in a test: wx's own errors go to standard
    // error instead.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxInitAllImageHandlers();
    std::unique_ptr<CUiDriver> driver;
    wxTheApp->CallAfter([&driver] {
        driver = std::make_unique<CUiDriver>(*dynamic_cast<CCaptureDlg*>(wxTheApp->GetTopWindow()));
    });
    wxTheApp->CallOnInit();
    driver.reset();
    wxEntryCleanup();
    Check(CCaptureApp::DialogRan(), "the dialog ran");
    const qvtest::Bytes ini = qvtest::ReadAll("grabtool.ini");
    const std::string settings(ini.begin(), ini.end());
    Check(settings.find("ADDRESS=127.0.0.1\n") != std::string::npos &&
              settings.find("MUX=m2t\n") != std::string::npos,
          "the settings file after Exit:\n" + settings);
    Check(!qvtest::ReadAll("capture.ts").empty(), "the capture file has data");
    const qvtest::Bytes debug = qvtest::ReadAll("QvDebug.log"); // the Windows directory's
    Check(std::string(debug.begin(), debug.end()).find("\nAddress=127.0.0.1 Port=") !=
              std::string::npos,
          "the debug log names the address the receiver listens on");
    std::printf("uitest: %s\n", g_failed ? "FAIL" : "PASS");
    return g_failed ? 1 : 0;
}
