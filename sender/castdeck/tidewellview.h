#pragma once
// castdeck's view: a child frame holding one transmission panel.

#include <wx/docview.h>

class CTransmitPanel;
class CQvTidewellDoc;

class CQvTidewellView : public wxView
{
public:
    CQvTidewellView() = default;
    ~CQvTidewellView() override;

    // Creates the child frame and the panel inside it.
    bool OnCreate(wxDocument* doc, long flags) override;
    void OnDraw(wxDC* dc) override;
    // The panel shows the document's path.
    void OnUpdate(wxView* sender, wxObject* hint) override;
    void OnChangeFilename() override;
    void OnActivateView(bool activate, wxView* activeView, wxView* deactiveView) override;
    bool OnClose(bool deleteWindow) override;

    CTransmitPanel* GetPanel() const { return m_panel; }
    // The panel is being destroyed with its frame.
    void PanelGone() { m_panel = nullptr; }
    CQvTidewellDoc* GetTidewellDoc() const;

private:
    void ShowTitleInMainFrame();
    // Stream > Close.
    void OnCloseCommand(wxCommandEvent& event);
    bool DocumentTransmits() const;

    CTransmitPanel* m_panel = nullptr;
    wxString m_shownPath;

    wxDECLARE_DYNAMIC_CLASS(CQvTidewellView);
    wxDECLARE_EVENT_TABLE();
};
