#include "sender/castdeck/tidewellview.h"

#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/childframe.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/tidewelldoc.h"
#include "sender/castdeck/transmitpanel.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQvTidewellView, wxView);

CQvTidewellView::~CQvTidewellView()
{
    // The frame, and the panel in it, may outlive the view for a moment.
    if (m_panel != nullptr) {
        m_panel->DetachView();
    }
}

bool CQvTidewellView::OnCreate(wxDocument* doc, long flags)
{
    if (!wxView::OnCreate(doc, flags)) {
        return false;
    }
    CMainFrame* parent = wxGetApp().MainFrame();
    auto* frame = new CChildFrame(doc, this, parent);
    SetFrame(frame);
    // The panel registers itself with its frame.
    m_panel = new CTransmitPanel(frame, this);
    frame->FitToPanel();
    frame->Show();
    // A further window on an open document shows its file at once.
    OnUpdate(nullptr, nullptr);
    return true;
}

void CQvTidewellView::OnDraw(wxDC*)
{
    // The panel draws itself.
}

CQvTidewellDoc* CQvTidewellView::GetTidewellDoc() const
{
    return dynamic_cast<CQvTidewellDoc*>(GetDocument());
}

void CQvTidewellView::OnUpdate(wxView*, wxObject*)
{
    CQvTidewellDoc* doc = GetTidewellDoc();
    if (m_panel == nullptr || doc == nullptr) {
        return;
    }
    // Only a changed path is shown (and analysed) again.
    if (doc->GetPath() != m_shownPath) {
        m_shownPath = doc->GetPath();
        m_panel->ShowDocumentPath(m_shownPath);
    }
}

void CQvTidewellView::OnChangeFilename()
{
    wxView::OnChangeFilename();
    ShowTitleInMainFrame();
}

void CQvTidewellView::OnActivateView(bool activate, wxView* activeView, wxView* deactiveView)
{
    wxView::OnActivateView(activate, activeView, deactiveView);
    if (activate) {
        ShowTitleInMainFrame();
    }
}

void CQvTidewellView::ShowTitleInMainFrame()
{
    CMainFrame* main = wxGetApp().MainFrame();
    if (main != nullptr && GetDocument() != nullptr &&
        (main->GetActiveChild() == nullptr || main->GetActiveChild() == GetFrame())) {
        main->ShowDocumentTitle(GetDocument()->GetUserReadableName());
    }
}

bool CQvTidewellView::OnClose(bool deleteWindow)
{
    if (!wxView::OnClose(deleteWindow)) {
        return false;
    }
    Activate(false);
    if (deleteWindow && GetFrame() != nullptr) {
        GetFrame()->Destroy();
        SetFrame(nullptr);
    }
    return true;
}
