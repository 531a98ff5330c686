#pragma once
// castdeck's document window: a fixed-size child frame around one panel.

#include <wx/docmdi.h>

class CTransmitPanel;

class CChildFrame : public wxDocMDIChildFrame
{
public:
    static constexpr const char* kCloseQuestion =
        "Transmitting stream.  Are you sure you want to terminate?";
    // The frame's size at 96 pixels per inch.
    static constexpr int kWidth = 290;
    static constexpr int kHeight = 385;

    CChildFrame(wxDocument* doc, wxView* view, wxMDIParentFrame* parent);
    ~CChildFrame() override;

    void SetPanel(CTransmitPanel* panel) { m_panel = panel; }
    CTransmitPanel* GetPanel() const { return m_panel; }

    // Makes the frame (and, where frames are tabs, the main frame) large
    // enough for the whole panel.
    void FitToPanel();

private:
    void OnClose(wxCloseEvent& event);

    CTransmitPanel* m_panel = nullptr;
};
