#include "playback/wx/qvwxwnd.h"

#include <wx/dcclient.h>
#include <wx/display.h>
#include <wx/frame.h>
#include <wx/weakref.h>
#include <wx/window.h>

#include <algorithm>
#include <cstdint>
#include <dlfcn.h>

namespace {

// The X11 window of a wx window, made native and known to the X server
// (the sink draws through a connection of its own). GTK's functions are
// looked up in the process, which has loaded GTK with wx; 0 where they are
// missing (not X11).
std::uintptr_t NativeWindowOf(wxWindow* window)
{
    using WidgetFn = void (*)(void*);
    using GetFn = void* (*)(void*);
    using EnsureNativeFn = int (*)(void*);
    using XidFn = unsigned long (*)(void*);
    static const auto realize =
        reinterpret_cast<WidgetFn>(dlsym(RTLD_DEFAULT, "gtk_widget_realize"));
    static const auto getWindow =
        reinterpret_cast<GetFn>(dlsym(RTLD_DEFAULT, "gtk_widget_get_window"));
    static const auto ensureNative =
        reinterpret_cast<EnsureNativeFn>(dlsym(RTLD_DEFAULT, "gdk_window_ensure_native"));
    static const auto xid =
        reinterpret_cast<XidFn>(dlsym(RTLD_DEFAULT, "gdk_x11_window_get_xid"));
    static const auto getDisplay =
        reinterpret_cast<GetFn>(dlsym(RTLD_DEFAULT, "gdk_window_get_display"));
    static const auto sync = reinterpret_cast<WidgetFn>(dlsym(RTLD_DEFAULT, "gdk_display_sync"));
    void* widget = window->GetHandle();
    if (realize == nullptr || getWindow == nullptr || ensureNative == nullptr || xid == nullptr ||
        getDisplay == nullptr || sync == nullptr || widget == nullptr) {
        return 0;
    }
    realize(widget);
    void* gdkWindow = getWindow(widget);
    if (gdkWindow == nullptr || ensureNative(gdkWindow) == 0) {
        return 0;
    }
    const std::uintptr_t id = xid(gdkWindow);
    // The window exists on the server before anyone else is told its id.
    sync(getDisplay(gdkWindow));
    return id;
}

// Waits until the X server has carried out what the toolkit asked of it.
void SyncDisplay()
{
    using GetFn = void* (*)();
    using SyncFn = void (*)(void*);
    static const auto display =
        reinterpret_cast<GetFn>(dlsym(RTLD_DEFAULT, "gdk_display_get_default"));
    static const auto sync = reinterpret_cast<SyncFn>(dlsym(RTLD_DEFAULT, "gdk_display_sync"));
    if (display != nullptr && sync != nullptr) {
        if (void* current = display()) {
            sync(current);
        }
    }
}

QvRect ClientRectOf(const wxWindow& window)
{
    const wxSize size = window.GetClientSize();
    return {0, 0, size.x, size.y};
}

class CQvDisplayWindow;

// A native child window that shows video and passes its input on.
class CQvVideoSurface : public wxWindow
{
public:
    CQvVideoSurface(wxWindow* parent, CQvDisplayWindow& display);

private:
    void OnMouse(wxMouseEvent& event);
    void OnKey(wxKeyEvent& event);

    CQvDisplayWindow& m_display;
};

class CQvDisplayWindow : public wxWindow, public QvDisplayWnd
{
public:
    CQvDisplayWindow(wxWindow* parent, const QvRect& rect, QvDisplayEvents& events)
        : wxWindow(parent, wxID_ANY, wxPoint(rect.left, rect.top),
                   wxSize(std::max(0, rect.Width()), std::max(0, rect.Height())),
                   wxCLIP_CHILDREN | wxFULL_REPAINT_ON_RESIZE | wxBORDER_NONE,
                   "Stream Controller"),
          m_events(events)
    {
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
            wxPaintDC dc(this);
            dc.SetBrush(*wxLIGHT_GREY_BRUSH);
            dc.SetPen(*wxBLACK_PEN);
            dc.DrawRectangle(wxWindow::GetClientRect());
        });
        Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
            event.Skip();
            m_events.OnDisplaySize(ClientRectOf(*this));
        });
    }

    ~CQvDisplayWindow() override
    {
        // The controller lets go of the video while this window still exists.
        m_events.OnDisplayDestroy();
        CloseFullScreen();
    }

    QvRect GetClientRect() const override { return ClientRectOf(*this); }
    QvDisplayWnd* CreateDisplayWindow(const QvRect& rect, QvDisplayEvents& events) override
    {
        return new CQvDisplayWindow(this, rect, events);
    }
    void MoveWindow(const QvRect& rect) override
    {
        SetSize(rect.left, rect.top, std::max(0, rect.Width()), std::max(0, rect.Height()));
    }
    void LowerWindow() override { Lower(); }
    void DestroyWindow() override { Destroy(); }
    void SetMessageDrain(QvWnd* frame) override
    {
        auto* wx = dynamic_cast<QvWxWnd*>(frame);
        m_drain = wx != nullptr ? wx->GetWindow() : nullptr;
    }

    std::uintptr_t AcquireVideoSurface() override
    {
        if (m_surface == nullptr) {
            m_surface = new CQvVideoSurface(this, *this);
        }
        return NativeWindowOf(m_surface);
    }
    void PlaceVideoSurface(const qvplat::VideoRect& rect, bool visible) override
    {
        if (m_surface != nullptr) {
            m_surface->SetSize(rect.left, rect.top, std::max(1, rect.width),
                               std::max(1, rect.height));
            m_surface->Show(visible);
        }
    }
    void ReleaseVideoSurface() override
    {
        if (m_surface != nullptr) {
            m_surface->Destroy();
            m_surface = nullptr;
        }
    }
    std::uintptr_t EnterFullScreen(qvplat::VideoRect& area) override
    {
        CloseFullScreen();
        m_full = new wxFrame(nullptr, wxID_ANY, GetName(), wxDefaultPosition, wxDefaultSize,
                             wxBORDER_NONE | wxFRAME_NO_TASKBAR);
        m_full->Bind(wxEVT_CLOSE_WINDOW, [](wxCloseEvent& event) {
            if (event.CanVeto()) {
                event.Veto();
            } else {
                event.Skip();
            }
        });
        const int index = wxDisplay::GetFromWindow(this);
        const wxRect screen =
            wxDisplay(index != wxNOT_FOUND ? static_cast<unsigned>(index) : 0U).GetGeometry();
        m_full->SetSize(screen);
        auto* surface = new CQvVideoSurface(m_full, *this);
        surface->SetSize(0, 0, screen.width, screen.height);
        surface->Show();
        m_full->Show();
        m_full->ShowFullScreen(true);
        m_full->Raise();
        area = {0, 0, screen.width, screen.height};
        return NativeWindowOf(surface);
    }
    void LeaveFullScreen() override { CloseFullScreen(); }

    QvDisplayEvents& Events() { return m_events; }
    wxWindow* Drain() const { return m_drain.get(); }

private:
    void CloseFullScreen()
    {
        if (m_full != nullptr) {
            m_full->Destroy();
            m_full = nullptr;
        }
    }

    QvDisplayEvents& m_events;
    wxWeakRef<wxWindow> m_drain;
    CQvVideoSurface* m_surface = nullptr;
    wxFrame* m_full = nullptr;
};

CQvVideoSurface::CQvVideoSurface(wxWindow* parent, CQvDisplayWindow& display)
    : wxWindow(parent, wxID_ANY, wxPoint(0, 0), wxSize(1, 1), wxBORDER_NONE), m_display(display)
{
    Hide();
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
        wxPaintDC dc(this);
        // The sink reads the window's size from the server when told to
        // draw again (it does not watch the window), and the toolkit may
        // not have sent the size it just gave the window yet.
        SyncDisplay();
        m_display.Events().OnVideoExpose();
    });
    for (const auto type :
         {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_LEFT_DCLICK, wxEVT_RIGHT_DOWN, wxEVT_RIGHT_UP,
          wxEVT_RIGHT_DCLICK, wxEVT_MIDDLE_DOWN, wxEVT_MIDDLE_UP, wxEVT_MIDDLE_DCLICK,
          wxEVT_MOTION, wxEVT_MOUSEWHEEL}) {
        Bind(type, &CQvVideoSurface::OnMouse, this);
    }
    for (const auto type : {wxEVT_KEY_DOWN, wxEVT_KEY_UP, wxEVT_CHAR}) {
        Bind(type, &CQvVideoSurface::OnKey, this);
    }
}

void CQvVideoSurface::OnMouse(wxMouseEvent& event)
{
    wxWindow* drain = m_display.Drain();
    if (drain == nullptr) {
        event.Skip();
        return;
    }
    wxMouseEvent copy(event);
    copy.SetEventObject(drain);
    copy.SetId(drain->GetId());
    copy.SetPosition(drain->ScreenToClient(ClientToScreen(event.GetPosition())));
    drain->GetEventHandler()->AddPendingEvent(copy);
}

void CQvVideoSurface::OnKey(wxKeyEvent& event)
{
    wxWindow* drain = m_display.Drain();
    if (drain == nullptr) {
        event.Skip();
        return;
    }
    wxKeyEvent copy(event);
    copy.SetEventObject(drain);
    copy.SetId(drain->GetId());
    drain->GetEventHandler()->AddPendingEvent(copy);
}

} // namespace

QvWxWnd::~QvWxWnd() = default;

QvRect QvWxWnd::GetClientRect() const
{
    return m_window != nullptr ? ClientRectOf(*m_window) : QvRect{};
}

QvDisplayWnd* QvWxWnd::CreateDisplayWindow(const QvRect& rect, QvDisplayEvents& events)
{
    if (m_window == nullptr) {
        return nullptr;
    }
    return new CQvDisplayWindow(m_window, rect, events);
}

wxWindow* QvGetWxWindow(QvDisplayWnd* display)
{
    return dynamic_cast<CQvDisplayWindow*>(display);
}
