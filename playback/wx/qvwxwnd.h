#pragma once
// The playback objects' windows on wx. A host hands its wx windows to the
// controller wrapped in QvWxWnd (as the parent and as the frame); the
// controller's display window is then a plain wx child of the parent that
// paints itself light grey and holds the video window, a native child
// window the graph's sink draws into. Mouse and keyboard input over the
// video is posted to the frame window, in the frame's coordinates. Full
// screen is a borderless top-level frame over the whole display; closing
// it is refused (the host leaves full screen with SetDisplayMode(0)).
//
// The video sink draws from its own thread through Xlib: hosts call
// XInitThreads before the toolkit starts, and run GTK on X11.

#include "playback/qvplaybackexport.h"
#include "playback/qvwnd.h"

class wxWindow;

class QV_PLAYBACK_API QvWxWnd : public QvWnd
{
public:
    // The window must outlive this object's use as parent or frame.
    explicit QvWxWnd(wxWindow* window) : m_window(window) {}
    ~QvWxWnd() override;

    wxWindow* GetWindow() const { return m_window; }

    QvRect GetClientRect() const override;
    QvDisplayWnd* CreateDisplayWindow(const QvRect& rect, QvDisplayEvents& events) override;

private:
    wxWindow* m_window;
};

// The wx window behind a display window made by QvWxWnd (null for others).
QV_PLAYBACK_API wxWindow* QvGetWxWindow(QvDisplayWnd* display);
