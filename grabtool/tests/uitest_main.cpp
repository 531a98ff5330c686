// grabtool_uitest: grabtool's application with a driver that walks through
// the dialog by its own handlers, the way a user would: fill in the fields,
// Start, wait until data sent to 127.0.0.1 is captured, take a screenshot,
// Stop and Exit. It then checks the settings file and the capture file in the
// working directory. Exit code 0 when every check held.
//
//   grabtool_uitest <screenshot directory>
//
// It needs an X display; the smoke test runs it on a private Xvfb server.
#include "grabtool/captureapp.h"
#include "grabtool/capturedlg.h"
#include "grabtool/resource.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/castdeck/tests/screencapture.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/combobox.h>
#include <wx/image.h>
#include <wx/textctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

bool g_failed = false;
std::string g_directory;

void Say(const std::string& line)
{
    std::printf("uitest: %s\n", line.c_str());
    std::fflush(stdout);
}

void Check(bool condition, const std::string& what)
{
    if (!condition) {
        Say("FAIL: " + what);
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
        if (auto* entry = dynamic_cast<wxTextEntry*>(control)) {
            return entry->GetValue();
        }
        return control != nullptr ? control->GetLabel() : wxString();
    }
    bool Enabled(int id) const { return m_dialog.FindWindow(id)->IsEnabled(); }
    void Type(int id, const wxString& text)
    {
        dynamic_cast<wxTextEntry*>(m_dialog.FindWindow(id))->SetValue(text); // sends the text event
    }
    void Click(int id)
    {
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(m_dialog.FindWindow(id));
        m_dialog.FindWindow(id)->ProcessWindowEvent(event);
    }
    bool Screenshot(const std::string& name)
    {
        const wxRect rect = m_dialog.GetScreenRect();
        std::vector<std::uint8_t> rgb;
        if (!CaptureScreenRgb(rect.x, rect.y, rect.width, rect.height, rgb)) {
            return false;
        }
        auto* data = static_cast<unsigned char*>(std::malloc(rgb.size())); // wxImage frees it
        std::memcpy(data, rgb.data(), rgb.size());
        const std::string path = g_directory + "/" + name;
        Say("screenshot " + path);
        return wxImage(rect.width, rect.height, data).SaveFile(path, wxBITMAP_TYPE_PNG);
    }

    void OnTick(wxTimerEvent&)
    {
        m_elapsedMs += 100;
        if (m_elapsedMs > 60000) {
            Check(false, "timed out in step " + std::to_string(m_step));
            m_timer.Stop();
            m_dialog.Close();
            return;
        }
        if (m_sender) {
            // A stream of 1316-byte datagrams, four every tick.
            const std::string datagram(1316, 'x');
            for (int i = 0; i < 4; ++i) {
                m_sender->SendTo("127.0.0.1", m_port, datagram);
            }
        }
        switch (m_step) {
        case 0: {
            Check(m_dialog.GetTitle() == "Snaretap", "the caption");
            auto* formats = dynamic_cast<wxComboBox*>(m_dialog.FindWindow(IDC_PACKET_FORMAT));
            Check(formats->GetCount() == 5 && formats->GetString(1) == "OPV" &&
                      formats->GetString(4) == "RAW",
                  "the packet formats, sorted");
            for (const int id : {IDC_INTERFACE, IDC_PACKET_FORMAT, IDC_MUX}) {
                Check(Text(id) == "<any>", "<any> in combo " + std::to_string(id));
            }
            // The stream goes to a port that neither this sender nor anyone
            // else holds.
            m_sender = std::make_unique<qvtest::UdpSocket>("127.0.0.1");
            m_port = qvtest::UdpSocket("127.0.0.1").LocalPort();
            Type(IDC_ADDRESS, "127.0.0.1");
            Type(IDC_PORT, wxString::Format("%u", m_port));
            Type(IDC_FILENAME, "capture.ts");
            Type(IDC_MUX, "m2t");
            Click(IDC_START);
            Check(Text(IDC_START) == "Start" && !Enabled(IDC_FILENAME) && !Enabled(IDC_UNICAST),
                  "waiting: Start label, file and Unicast disabled");
            Check(Text(IDC_LOG).Contains("Start Time: "), "the start time is logged");
            ++m_step;
            break;
        }
        case 1:
            if (Text(IDC_START) == "Stop" && Text(IDC_LOG).Contains("Data Started") &&
                Text(IDC_BYTES_RECEIVED) != "0") {
                m_settleMs = m_elapsedMs + 700; // the window repaints before the picture
                ++m_step;
            }
            break;
        case 2:
            if (m_elapsedMs >= m_settleMs) {
                Check(Screenshot("grabtool-capturing.png"), "screenshot while capturing");
                Click(IDC_START);
                Check(Text(IDC_START) == "Start" && Enabled(IDC_FILENAME) && Enabled(IDC_UNICAST),
                      "stopped: Start label, inputs enabled");
                Check(Text(IDC_LOG).Contains("Stop Time: "), "the stop time is logged");
                m_sender.reset();
                m_timer.Stop();
                Click(IDC_EXIT);
                ++m_step;
            }
            break;
        default:
            break;
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

class CUiTestApp : public CCaptureApp
{
protected:
    void OnDialogCreated(CCaptureDlg& dialog) override
    {
        wxInitAllImageHandlers();
        m_driver = std::make_unique<CUiDriver>(dialog);
    }

private:
    std::unique_ptr<CUiDriver> m_driver;
};

std::string ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

wxIMPLEMENT_APP_NO_MAIN(CUiTestApp);

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: grabtool_uitest <screenshot directory>\n");
        return 2;
    }
    g_directory = argv[1];
    int appArgc = 1;
    wxEntry(appArgc, argv);
    Check(CCaptureApp::DialogRan(), "the dialog ran");
    const std::string settings = ReadFile("grabtool.ini");
    Check(settings.find("ADDRESS=127.0.0.1\n") != std::string::npos &&
              settings.find("MUX=m2t\n") != std::string::npos,
          "the settings file after Exit:\n" + settings);
    Check(ReadFile("capture.ts").size() > 0, "the capture file has data");
    Say(g_failed ? "FAIL" : "PASS");
    return g_failed ? 1 : 0;
}
