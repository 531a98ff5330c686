#pragma once
// The window side of an instance: the player control hosted in the host's
// window, and the handler the plug-in puts in front of that window.

#include "platform/com/wx/wxcontrol.h"
#include "platform/ui/wx/wxuidispatch.h"

#include <wx/event.h>
#include <wx/weakref.h>
#include <wx/window.h>

#include <cstdint>
#include <memory>
#include <string>

class QvPluginInstance;

// The player control and its one property the plug-in sets.
inline constexpr qvplat::CLSID kClsidPlayerCtl =
    qvplat::MakeGuid("{7487BBEC-8D92-4103-A143-9931EDF6041F}");
inline constexpr qvplat::DISPID kDispidProfile = 1;

// A control created by class id with its window in a window of ours,
// reached through its properties by number.
class CPlayerCtl
{
public:
    CPlayerCtl() = default;
    ~CPlayerCtl();
    CPlayerCtl(const CPlayerCtl&) = delete;
    CPlayerCtl& operator=(const CPlayerCtl&) = delete;

    // Creates the control, sites it (its events run on the wx application's
    // thread) and makes its window a child of parent.
    qvplat::HRESULT Create(const qvplat::CLSID& clsid, wxWindow* parent, const wxRect& rect,
                           long style, wxWindowID id);
    qvplat::HRESULT SetProperty(qvplat::DISPID id, const std::string& value);
    // The control's window, null when there is none (any more).
    wxWindow* GetWindow() const { return m_window.get(); }
    // Closes the control, which takes its window away, and lets it go.
    void Destroy();

private:
    qvplat::ComPtr<qvplat::IUnknown> m_control;
    std::shared_ptr<qvplat::WxUiDispatcher> m_ui;
    wxWeakRef<wxWindow> m_window;
};

// Pushed onto the host's window in place of subclassing it: paints the
// player over the window and keeps the window from erasing under it.
class CQvPluginWnd : public wxEvtHandler
{
public:
    explicit CQvPluginWnd(QvPluginInstance& record);
    // Destroys the player's window.
    ~CQvPluginWnd() override;

    // Puts this handler in front of the window's own; false when it is
    // already in front of one.
    bool SubclassWindow(wxWindow* window);
    void UnsubclassWindow();
    wxWindow* GetWindow() const { return m_window; }

    // Creates the player as a child over the window's client area and
    // points its Profile at the instance's profile file. A player that
    // cannot be created leaves the window empty (and a log line).
    virtual bool CreatePlayer();
    // Called when the instance is destroyed.
    virtual void OnPluginDestroy() {}

private:
    void OnPaint(wxPaintEvent& event);
    void OnEraseBackground(wxEraseEvent& event);
    void OnWindowDestroy(wxWindowDestroyEvent& event);

    QvPluginInstance& m_record;
    wxWindow* m_window = nullptr;
    CPlayerCtl m_player;
};

// The instance on a printed page: the frame of its place, drawn with a
// 1-pixel solid grey (0x808080) pen and the device's current brush.
void DrawPrintFrame(wxDC& dc, std::int32_t x, std::int32_t y, std::uint32_t width,
                    std::uint32_t height);
