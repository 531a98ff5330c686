#include "capture/engine/trayicon.h"

#include <wx/bmpbndl.h>
#include <wx/taskbar.h>

CTrayIcon::CTrayIcon(wxEvtHandler* owner, const wxIcon& icon, const wxString& tip,
                     unsigned callbackMessage)
    : m_owner(owner), m_icon(icon), m_tip(tip.Left(kMaxTip)), m_callbackMessage(callbackMessage)
{
}

CTrayIcon::~CTrayIcon()
{
    Remove();
}

bool CTrayIcon::Add()
{
    if (m_added) {
        return true;
    }
    if (!wxTaskBarIcon::IsAvailable()) {
        return false;
    }
    m_taskBarIcon = std::make_unique<wxTaskBarIcon>();
    if (!m_taskBarIcon->SetIcon(wxBitmapBundle(m_icon), m_tip)) {
        m_taskBarIcon.reset();
        return false;
    }
    if (m_callbackMessage != 0) {
        const auto notify = [this](wxTaskBarIconEvent&) {
            wxQueueEvent(m_owner,
                         new wxThreadEvent(wxEVT_THREAD, static_cast<int>(m_callbackMessage)));
        };
        m_taskBarIcon->Bind(wxEVT_TASKBAR_LEFT_DOWN, notify);
        m_taskBarIcon->Bind(wxEVT_TASKBAR_RIGHT_DOWN, notify);
    }
    m_added = true;
    return true;
}

void CTrayIcon::Remove()
{
    if (m_taskBarIcon) {
        m_taskBarIcon->RemoveIcon();
        m_taskBarIcon->Destroy();
        m_taskBarIcon.release(); // Destroy deletes it when wx is done with it
    }
    m_added = false;
}
