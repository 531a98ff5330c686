#pragma once
// Windows as the playback objects see them. The host's windows belong to
// its toolkit (wx in our programs: playback/wx/qvwxwnd.h); the controller's
// logic needs only what these interfaces give, so it runs and is tested
// without a display.
//
// QvWnd is a host window: the parent given to the controller, and the frame
// that receives the video's mouse and keyboard input. The controller makes
// its own window, the display window, as a child of the parent through
// CreateDisplayWindow; the display window shows the video of the graph
// (it is the graph's VideoOwner) and tells the controller about its size,
// its destruction and when the video needs drawing again.
//
// Everything here runs on the host's user-interface thread.

#include "platform/media/mediagraph.h"
#include "playback/qvplaybackexport.h"

#include <cstdint>

// A rectangle as left, top, right, bottom (right and bottom exclusive).
struct QV_PLAYBACK_API QvRect
{
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const QvRect&) const = default;
};

// What the display window reports to its controller.
class QV_PLAYBACK_API QvDisplayEvents
{
public:
    virtual ~QvDisplayEvents();
    // The window's client area changed size.
    virtual void OnDisplaySize(const QvRect& client) = 0;
    // The window is being destroyed (by its owner or with its parent); it
    // is still usable during the call and gone after it.
    virtual void OnDisplayDestroy() = 0;
    // The video window was exposed and wants its picture drawn again.
    virtual void OnVideoExpose() = 0;
};

class QvDisplayWnd;

class QV_PLAYBACK_API QvWnd
{
public:
    virtual ~QvWnd();

    // The client area; left and top are 0.
    virtual QvRect GetClientRect() const = 0;
    // Makes the controller's display window: a visible child of this window
    // at `rect` (client coordinates) that reports to `events`. Null when it
    // cannot be made. The window lives until its DestroyWindow, or until
    // this window destroys its children; either way events.OnDisplayDestroy
    // is called.
    virtual QvDisplayWnd* CreateDisplayWindow(const QvRect& rect, QvDisplayEvents& events) = 0;
};

class QV_PLAYBACK_API QvDisplayWnd : public QvWnd, public qvplat::VideoOwner
{
public:
    // Moves and sizes the window within its parent.
    virtual void MoveWindow(const QvRect& rect) = 0;
    // Puts the window beneath its siblings without moving it.
    virtual void LowerWindow() = 0;
    // Destroys the window (and its video window).
    virtual void DestroyWindow() = 0;
    // Where the video window's mouse and keyboard input goes (null: nowhere).
    virtual void SetMessageDrain(QvWnd* frame) = 0;
};
