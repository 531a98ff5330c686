#pragma once
// The engine's icon in the desktop's notification area. A press of either
// mouse button on it queues the callback message to the owner as a
// wxThreadEvent (id = the message). Where the desktop has no notification
// area (an X server without one) nothing is shown and Add says so.

#include <wx/event.h>
#include <wx/icon.h>
#include <wx/string.h>

#include <memory>

class wxTaskBarIcon;

class CTrayIcon
{
public:
    static constexpr unsigned kIconId = 1;
    static constexpr std::size_t kMaxTip = 63;

    // The tip is cut to 63 characters.
    CTrayIcon(wxEvtHandler* owner, const wxIcon& icon, const wxString& tip,
              unsigned callbackMessage);
    ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Shows the icon; false where there is no notification area.
    bool Add();
    void Remove();
    bool IsAdded() const { return m_added; }

private:
    wxEvtHandler* m_owner;
    wxIcon m_icon;
    wxString m_tip;
    unsigned m_callbackMessage;
    std::unique_ptr<wxTaskBarIcon> m_taskBarIcon;
    bool m_added = false;
};
