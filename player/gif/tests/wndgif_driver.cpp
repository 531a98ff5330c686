// Run by wndgif_smoke_test on a private X display: plays "GIFWAIT" in a
// CWndGif inside a 480x320 frame, places it, counts the image changes over
// 2 s, compares the screen with one image, saves a screenshot of the frame
// and reports each result as a "key values..." line on standard output.
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
#include <cstring>

namespace {

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

void Report(const char* what, const wxRect& rect)
{
    std::printf("%s %d %d %d %d\n", what, rect.x, rect.y, rect.width, rect.height);
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
        m_frame->SetClientSize(480, 320);
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
        m_gif->Place(wxRect(0, 0, 480, 150));
        Report("raised", m_gif->GetRect());
        m_gif->Show(true);

        m_started = std::chrono::steady_clock::now();
        m_poll.Bind(wxEVT_TIMER, &CDriverApp::OnPoll, this);
        m_poll.Start(5);
        return true;
    }

private:
    void OnPoll(wxTimerEvent&)
    {
        const std::size_t shown = m_gif->GetShownFrame();
        if (shown != m_last) {
            ++m_changes;
            m_last = shown;
            if (!m_compared) {
                // Paint now, before the next tick, and read the screen back.
                m_gif->Update();
                CompareScreen(shown);
                m_compared = true;
            }
        }
        if (std::chrono::steady_clock::now() - m_started < std::chrono::seconds(2)) {
            return;
        }
        m_poll.Stop();
        std::printf("frame-changes %d\n", m_changes);
        std::printf("screenshot %d\n", Grab(*m_panel).SaveFile(m_screenshot, wxBITMAP_TYPE_PNG));
        std::fflush(stdout);
        m_frame->Close(true);
    }

    void CompareScreen(std::size_t index)
    {
        const wxImage screen = Grab(*m_gif);
        const wxImage image = GifFrameBitmap(m_gif->GetImage(), index, *wxBLACK).ConvertToImage();
        const int size = image.GetWidth() * image.GetHeight();
        int differing = 0;
        for (int i = 0; i < 3 * size; i += 3) {
            differing += screen.GetSize() != image.GetSize() ||
                         std::memcmp(screen.GetData() + i, image.GetData() + i, 3) != 0;
        }
        std::printf("screen-differs %d of %d\n", differing, size);
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

// The application class is this file's own, and so is the wxGetApp the
// macro defines, which nothing here calls.
[[maybe_unused]] CDriverApp& wxGetApp();
wxIMPLEMENT_APP(CDriverApp);
