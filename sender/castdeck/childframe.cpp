#include "sender/castdeck/childframe.h"

#include "platform/msgbox.h"
#include "sender/castdeck/transmitpanel.h"

#include <wx/dcscreen.h>

#include <algorithm>

CChildFrame::CChildFrame(wxDocument* doc, wxView* view, wxMDIParentFrame* parent)
    : wxDocMDIChildFrame(doc, view, parent, wxID_ANY, doc->GetUserReadableName())
{
    // The frame cannot be resized: its smallest and largest size are both
    // the panel's frame size, scaled to the screen's pixels per inch.
    const wxSize ppi = wxScreenDC().GetPPI();
    const wxSize size(kWidth * ppi.x / 96, kHeight * ppi.y / 96);
    SetSizeHints(size, size);
    SetSize(size);

    // The document frame base binds its own close handler; one bound later
    // runs first, so the question comes before the view is closed.
    Bind(wxEVT_CLOSE_WINDOW, &CChildFrame::OnClose, this);
}

CChildFrame::~CChildFrame()
{
    // The panel, a child window, is destroyed after this part of the frame.
    if (m_panel != nullptr) {
        m_panel->DetachFrame();
    }
}

void CChildFrame::FitToPanel()
{
    if (m_panel == nullptr) {
        return;
    }
    // Tabbed frames take the main frame's client area: grow the main frame
    // when the panel would not fit.
    wxWindow* parent = GetParent();
    if (parent != nullptr) {
        const wxSize need = m_panel->GetSize();
        const wxSize have = GetClientSize();
        const wxSize grow(std::max(0, need.x - have.x), std::max(0, need.y - have.y));
        if (grow.x > 0 || grow.y > 0) {
            parent->SetSize(parent->GetSize() + grow);
        }
    }
}

void CChildFrame::OnClose(wxCloseEvent& event)
{
    if (event.CanVeto() && m_panel != nullptr && m_panel->IsTransmitting()) {
        const int answer = qvplat::MessageBox(kCloseQuestion, "Notice",
                                              qvplat::MB_YESNO | qvplat::MB_ICONQUESTION);
        if (answer != qvplat::IDYES) {
            event.Veto();
            return;
        }
    }
    event.Skip();
}
