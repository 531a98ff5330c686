#pragma once
// A small child window that plays one of the player's animations
// ("GIFWAIT", "GIFDETECT", "GIFSTART") on a timer, each image at its own
// offset and size, never stretched, transparent pixels black.

#include "player/gif/gifimage.h"

#include <wx/timer.h>
#include <wx/window.h>

class CWndGif : public wxWindow
{
public:
    static constexpr int kTimerId = 100;

    CWndGif();
    ~CWndGif() override;

    // Creates the child window, shown or hidden.
    bool Create(const wxRect& rect, wxWindow* parent, bool visible);
    // Loads the animation and, when the window exists and is shown, starts
    // its timer at the shortest period; true when the window exists and the
    // load succeeded. A failed load leaves the window empty and its timer
    // stops at the next tick. The timer runs only while the window is shown,
    // and stops after drawing a picture of one image.
    bool Load(const std::string& resourceName);
    // Moves the window to the parent's top-left corner with the size of the
    // first image.
    void SizeToFirstFrame();
    // Centres the window horizontally in its parent and vertically too, but
    // raised so that its bottom edge stays at or above bounds' bottom
    // (parent client coordinates). Repaints only when visible.
    void Place(const wxRect& bounds);
    // Shows or hides the window; showing starts the animation from image 0.
    bool Show(bool show = true) override;

    const CGifImage& GetImage() const { return m_gif; }
    // The image drawn last.
    std::size_t GetShownFrame() const { return m_shown; }

private:
    void OnTimer(wxTimerEvent& event);
    void OnPaint(wxPaintEvent& event);

    wxTimer m_timer;
    CGifImage m_gif;
    std::size_t m_frame = 0; // the image the next tick draws
    std::size_t m_shown = 0;
    bool m_visible = false;
};
