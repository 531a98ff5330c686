// Test driver for the animation window, run by wndgif_smoke_test on a
// private X display: puts a CWndGif playing "GIFWAIT" into a frame, places
// it, counts the image changes over 2 s, compares what the screen shows with
// one image drawn, saves a screenshot of the frame and reports on standard
// output, one "key values..." line each.
// Usage: wndgif_driver <screenshot.png>
#include "player/gif/gifbitmap.h"
#include "player/gif/wndgif.h"

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>
#include <wx/timer.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr int kClientWidth = 480;
constexpr int kClientHeight = 320;
// A bottom edge above the centred position, as the frame's toolbar makes.
constexpr int kBottom = 150;
constexpr auto kCountFor = std::chrono::seconds(2);

// What the screen shows in the window's rectangle.
wxImage Grab(const wxWindow& window)
{
    const wxRect rect = window.GetScreenRect();
    wxBitmap shot(rect.GetSize(), 24);
    wxMemoryDC memory(shot);
    wxScreenDC screen;
    memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
    memory.SelectObject(wxNullBitmap);
    return shot.ConvertToImage();
}

class CDriverApp : public wxApp
{
public:
    bool OnInit() override
    {
        wxInitAllImageHandlers();
        if (argc < 2) {
            return false;
        }
        m_screenshot = argv[1];
        m_frame = new wxFrame(nullptr, wxID_ANY, "WndGif");
        m_frame->SetClientSize(kClientWidth, kClientHeight);
        m_panel = new wxPanel(m_frame);
        m_panel->SetBackgroundColour(wxColour(0x80, 0x80, 0x80));
        m_frame->Show();

        m_gif = new CWndGif;
        const bool created = m_gif->Create(wxRect(0, 0, 100, 100), m_panel, false);
        const bool loaded = m_gif->Load("GIFWAIT");
        std::printf("created %d loaded %d shown %d\n", created, loaded, m_gif->IsShown());
        m_gif->SizeToFirstFrame();
        Report("first-frame", m_gif->GetRect());
        m_gif->Place(m_panel->GetClientRect());
        Report("placed", m_gif->GetRect());
        m_gif->Place(wxRect(0, 0, kClientWidth, kBottom));
        Report("raised", m_gif->GetRect());
        m_gif->Show(true);
        std::printf("client %d %d bottom %d\n", m_panel->GetClientSize().x,
                    m_panel->GetClientSize().y, kBottom);
        std::fflush(stdout);

        m_started = std::chrono::steady_clock::now();
        m_last = m_gif->GetShownFrame();
        m_poll.Bind(wxEVT_TIMER, &CDriverApp::OnPoll, this);
        m_poll.Start(5);
        return true;
    }

private:
    static void Report(const char* what, const wxRect& rect)
    {
        std::printf("%s %d %d %d %d\n", what, rect.x, rect.y, rect.width, rect.height);
    }

    void OnPoll(wxTimerEvent&)
    {
        const std::size_t shown = m_gif->GetShownFrame();
        if (shown != m_last) {
            ++m_changes;
            m_last = shown;
            if (!m_compared && shown > 0) {
                // Paint now, before the next tick, and read the screen back.
                m_gif->Update();
                CompareScreen(shown);
                m_compared = true;
            }
        }
        if (std::chrono::steady_clock::now() - m_started < kCountFor) {
            return;
        }
        m_poll.Stop();
        std::printf("frame-changes %d\n", m_changes);
        const bool saved = Grab(*m_panel).SaveFile(m_screenshot, wxBITMAP_TYPE_PNG);
        std::printf("screenshot %d\n", saved);
        std::fflush(stdout);
        m_frame->Close(true);
    }

    void CompareScreen(std::size_t index)
    {
        const wxImage screen = Grab(*m_gif);
        const wxImage expected = GifFrameBitmap(m_gif->GetImage(), index, *wxBLACK).ConvertToImage();
        long differing = 0;
        for (int y = 0; y < expected.GetHeight(); ++y) {
            for (int x = 0; x < expected.GetWidth(); ++x) {
                if (x >= screen.GetWidth() || y >= screen.GetHeight() ||
                    screen.GetRed(x, y) != expected.GetRed(x, y) ||
                    screen.GetGreen(x, y) != expected.GetGreen(x, y) ||
                    screen.GetBlue(x, y) != expected.GetBlue(x, y)) {
                    ++differing;
                }
            }
        }
        std::printf("screen-differs %ld of %d\n", differing,
                    expected.GetWidth() * expected.GetHeight());
    }

    wxFrame* m_frame = nullptr;
    wxPanel* m_panel = nullptr;
    CWndGif* m_gif = nullptr;
    wxString m_screenshot;
    wxTimer m_poll;
    std::chrono::steady_clock::time_point m_started;
    std::size_t m_last = 0;
    int m_changes = 0;
    bool m_compared = false;
};

} // namespace

wxIMPLEMENT_APP_NO_MAIN(CDriverApp);

int main(int argc, char** argv)
{
    return wxEntry(argc, argv);
}
