#include "sender/castdeck/tidewellview.h"

#include "platform/msgbox.h"
#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/childframe.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/tidewelldoc.h"
#include "sender/castdeck/transmitpanel.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQvTidewellView, wxView);

// clang-format off
wxBEGIN_EVENT_TABLE(CQvTidewellView, wxView)
    EVT_MENU(wxID_CLOSE, CQvTidewellView::OnCloseCommand)
wxEND_EVENT_TABLE()
    // clang-format on

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

bool CQvTidewellView::DocumentTransmits() const
{
    if (GetDocument() == nullptr) {
        return false;
    }
    for (wxView* view : GetDocument()->GetViewsVector()) {
        auto* tide = dynamic_cast<CQvTidewellView*>(view);
        if (tide != nullptr && tide->m_panel != nullptr && tide->m_panel->IsTransmitting()) {
            return true;
        }
    }
    return false;
}

void CQvTidewellView::OnCloseCommand(wxCommandEvent& event)
{
    // Where document windows are tabs they have no close box of their own:
    // Stream > Close is how one is closed, so it asks what closing a
    // transmitting window asks. The document manager then closes the
    // document with all its windows.
    if (DocumentTransmits() &&
        qvplat::MessageBox(CChildFrame::kCloseQuestion, "Notice",
                           qvplat::MB_YESNO | qvplat::MB_ICONQUESTION) != qvplat::IDYES) {
        return;
    }
    event.Skip();
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
