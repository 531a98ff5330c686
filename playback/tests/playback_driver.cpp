// Run by playback_smoke_test on a private X display: plays a sample file
// through a QvAMovController into a wx frame (ximagesink, no sound), checks
// that the picture reached the screen, in the window and full screen, that
// a click on the video reaches the frame, saves screenshots and reports each
// result as a "key values..." line on standard output.
// Usage: playback_driver <sample file> <screenshot directory>
#include "playback/qvcontroller.h"
#include "playback/qvstreammsg.h"
#include "playback/wx/qvwxwnd.h"

#include "platform/testsupport/x11/screenimage.h"

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

class CDriverApp : public wxApp
{
public:
    bool OnInit() override
    {
        wxInitAllImageHandlers();
        if (argc < 3) {
            return false;
        }
        m_directory = argv[2];
        m_frame = new wxFrame(nullptr, wxID_ANY, "Playback");
        m_frame->SetClientSize(480, 360);
        m_frame->Show();
        m_frame->Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent& event) {
            std::printf("frame-click %d %d\n", event.GetX(), event.GetY());
            std::fflush(stdout);
            m_clicked = true;
        });
        m_host = std::make_unique<QvWxWnd>(m_frame);
        m_settings.SetProperty("Filename", UtCString(argv[1].utf8_str()));
        m_settings.SetProperty("AudioSink", "fakeaudiosink");
        m_settings.SetProperty("BorderWidth", "10");
        m_controller = std::make_unique<QvAMovController>();
        const bool ok =
            m_controller->Initialize({0, 0, 480, 360}, m_host.get(), &m_settings, &m_queue);
        std::printf("initialized %d play %d\n", ok, ok ? m_controller->Play() : -1);
        m_started = std::chrono::steady_clock::now();
        m_tick.Bind(wxEVT_TIMER, &CDriverApp::OnTick, this);
        m_tick.Start(100);
        return true;
    }

    int OnExit() override
    {
        m_controller.reset();
        return wxApp::OnExit();
    }

private:
    struct Recorder : QvStreamMessage
    {
        void HandleMessage(QvMessage* message) override
        {
            if (auto* stream = dynamic_cast<QvStreamMessage*>(message)) {
                numbers += " " + std::to_string(stream->type);
            }
        }
        std::string numbers;
    };

    bool Rendered() const
    {
        return m_controller->graph != nullptr && m_controller->graph->GetVideoStats().rendered > 10;
    }

    void OnTick(wxTimerEvent&)
    {
        m_controller->Periodic();
        m_queue.DispatchMessages(&m_recorder);
        const auto elapsed = std::chrono::steady_clock::now() - m_started;
        if (elapsed > std::chrono::seconds(60)) {
            std::printf("timed out at step %d\n", m_step);
            Finish();
            return;
        }
        wxWindow* display = QvGetWxWindow(m_controller->GetDisplayWindow());
        switch (m_step) {
        case 0: // playing in the window
            if (!Rendered()) {
                return;
            }
            {
                const qvplat::VideoRect video = m_controller->graph->GetWindowPosition();
                std::printf("video %d %d %d %d\n", video.left, video.top, video.width,
                            video.height);
                const wxPoint origin = display->GetScreenPosition();
                const wxImage shot = qvtest::CaptureScreenImage(
                    wxRect(origin.x + video.left, origin.y + video.top, video.width, video.height));
                std::printf("video-colours %d\n", qvtest::CountColours(shot) > 1000);
                std::printf("screenshot %d\n",
                            qvtest::CaptureScreenImage(m_frame->GetScreenRect())
                                .SaveFile(m_directory + "/playback-window.png", wxBITMAP_TYPE_PNG));
                wxUIActionSimulator input;
                input.MouseMove(origin.x + video.left + 40, origin.y + video.top + 30);
                input.MouseClick();
            }
            m_step = 1;
            return;
        case 1: // the click went through the video to the frame
            if (!m_clicked && elapsed < std::chrono::seconds(20)) {
                return;
            }
            m_controller->SetDisplayMode(1);
            m_step = 2;
            m_waitFrom = std::chrono::steady_clock::now();
            return;
        case 2: // full screen: give it a second to come up
            if (std::chrono::steady_clock::now() - m_waitFrom < std::chrono::seconds(1)) {
                return;
            }
            {
                // The picture fills the screen, also where the frame is not.
                const wxSize screen = wxGetDisplaySize();
                const wxImage shot = qvtest::CaptureScreenImage(wxRect(wxPoint(0, 0), screen));
                const wxRect frame = m_frame->GetScreenRect();
                const wxImage beside = qvtest::CaptureScreenImage(
                    wxRect(frame.GetRight() + 1, 0, screen.x - frame.GetRight() - 1, screen.y));
                std::printf("fullscreen-colours %d\n", qvtest::CountColours(beside) > 1000);
                shot.SaveFile(m_directory + "/playback-fullscreen.png", wxBITMAP_TYPE_PNG);
            }
            m_controller->SetDisplayMode(0);
            const int stopped = m_controller->Stop();
            std::printf("stop %d state %d\n", stopped, m_controller->GetStreamState());
            Finish();
            return;
        }
    }

    void Finish()
    {
        m_tick.Stop();
        m_controller->Periodic();
        m_queue.DispatchMessages(&m_recorder);
        std::printf("messages%s\n", m_recorder.numbers.c_str());
        std::fflush(stdout);
        m_controller.reset();
        m_frame->Close(true);
    }

    wxFrame* m_frame = nullptr;
    std::unique_ptr<QvWxWnd> m_host;
    std::unique_ptr<QvAMovController> m_controller;
    QvPropertyList m_settings;
    QvMessageQueue m_queue;
    Recorder m_recorder;
    wxString m_directory;
    wxTimer m_tick;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_waitFrom;
    int m_step = 0;
    bool m_clicked = false;
};

} // namespace

// The application class is this file's own, and so is the wxGetApp the
// macro defines, which nothing here calls.
[[maybe_unused]] CDriverApp& wxGetApp();
wxIMPLEMENT_APP_NO_MAIN(CDriverApp);

int main(int argc, char** argv)
{
    XInitThreads(); // the video sink draws from its own thread
    setvbuf(stdout, nullptr, _IONBF, 0);
    return wxEntry(argc, argv);
}
