#include "player/gif/wndgif.h"

#include "player/gif/gifbitmap.h"

#include <wx/dcclient.h>

#include <algorithm>

CWndGif::CWndGif() : m_timer(this, kTimerId)
{
    Bind(wxEVT_TIMER, &CWndGif::OnTimer, this, kTimerId);
    Bind(wxEVT_PAINT, &CWndGif::OnPaint, this);
}

CWndGif::~CWndGif()
{
    m_timer.Stop();
}

bool CWndGif::Create(const wxRect& rect, wxWindow* parent, bool visible)
{
    m_visible = visible;
    // Everything is painted here: the background must not flicker through.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!visible) {
        wxWindow::Show(false); // created hidden
    }
    if (!wxWindow::Create(parent, wxID_ANY, rect.GetPosition(), rect.GetSize(), wxBORDER_NONE,
                          "WndGif")) {
        return false;
    }
    SetLabel("WndGif");
    SetBackgroundColour(*wxBLACK);
    return true;
}

bool CWndGif::Load(const std::string& resourceName)
{
    m_frame = 0;
    m_shown = 0;
    const bool loaded = m_gif.LoadResource(resourceName);
    if (GetHandle() == nullptr) {
        return false;
    }
    // A failed load shows nothing, and the running timer stops at its next
    // tick.
    Refresh(false);
    if (!loaded) {
        return false;
    }
    if (m_visible) {
        m_timer.StartOnce(static_cast<int>(CGifImage::kMinIntervalMs));
    }
    return true;
}

void CWndGif::SizeToFirstFrame()
{
    GifImageInfo first;
    if (m_gif.GetImageInfo(0, first)) {
        SetSize(0, 0, first.width, first.height);
    }
}

void CWndGif::Place(const wxRect& bounds)
{
    wxWindow* parent = GetParent();
    if (parent == nullptr) {
        return;
    }
    const wxSize area = parent->GetClientSize();
    const wxSize size = GetSize();
    const int x = (area.x - size.x) / 2;
    const int y = std::min((area.y - size.y) / 2, bounds.GetBottom() + 1 - size.y);
    Move(x, y);
    if (m_visible) {
        Refresh(false);
    }
}

bool CWndGif::Show(bool show)
{
    m_visible = show;
    if (show) {
        m_frame = 0;
        // A hidden window's animation does not tick.
        if (m_gif.GetFrameCount() > 0 && GetHandle() != nullptr) {
            m_timer.StartOnce(static_cast<int>(CGifImage::kMinIntervalMs));
        }
    } else {
        m_timer.Stop();
    }
    return wxWindow::Show(show);
}

void CWndGif::OnTimer(wxTimerEvent&)
{
    const std::size_t count = m_gif.GetFrameCount();
    if (count == 0) {
        m_timer.Stop();
        return;
    }
    if (m_frame >= count) {
        m_frame = 0;
    }
    GifImageInfo info;
    m_gif.GetImageInfo(m_frame, info);
    m_shown = m_frame;
    RefreshRect(wxRect(info.left, info.top, info.width, info.height), false);
    // A single image is drawn once.
    if (count > 1) {
        m_timer.StartOnce(static_cast<int>(m_gif.GetIntervalMs(m_frame)));
    }
    ++m_frame;
}

void CWndGif::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    GifImageInfo info;
    if (!m_gif.GetImageInfo(m_shown, info)) {
        return;
    }
    const wxBitmap bitmap = GifFrameBitmap(m_gif, m_shown, *wxBLACK);
    if (bitmap.IsOk()) {
        dc.DrawBitmap(bitmap, info.left, info.top);
    }
}
