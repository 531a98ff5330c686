#pragma once
// The transmission panel (dialog 129) inside each document window. The
// window is thin: it forwards the user's edits and its events to a
// castdeck::TransmitModel and shows the model's state afterwards.

#include "sender/castdeck/model/transmitmodel.h"

#include <wx/panel.h>
#include <wx/timer.h>

class CChildFrame;
class CQvTidewellView;
class wxButton;
class wxCheckBox;
class wxChoice;
class wxGauge;
class wxTextCtrl;

class CTransmitPanel : public wxPanel, public castdeck::TransmitPanelHost
{
public:
    // The panel's size in dialog units.
    static constexpr int kWidthDlu = 187;
    static constexpr int kHeightDlu = 223;
    static constexpr int kTimerMs = 1000;

    CTransmitPanel(CChildFrame* frame, CQvTidewellView* view);
    ~CTransmitPanel() override;

    bool IsTransmitting() const { return m_model.IsTransmitting(); }
    const castdeck::TransmitModel& Model() const { return m_model; }

    // The document's path changed.
    void ShowDocumentPath(const wxString& path);
    // The view is gone; the panel goes with its frame shortly.
    void DetachView() { m_view = nullptr; }
    // The frame is being destroyed.
    void DetachFrame() { m_frame = nullptr; }

    // castdeck::TransmitPanelHost
    std::string TakeDroppedPath() override;
    void SetDocumentPath(const std::string& path) override;
    void ShowError(const std::string& text) override;

private:
    void CreateControls();
    // Shows the model's state in the controls.
    void ShowState();
    void FillLists();

    void OnBrowse(wxCommandEvent& event);
    void OnStartStop(wxCommandEvent& event);
    void OnPathText(wxCommandEvent& event);
    void OnAddressText(wxCommandEvent& event);
    void OnPortText(wxCommandEvent& event);
    void OnInterface(wxCommandEvent& event);
    void OnTtl(wxCommandEvent& event);
    void OnPacketFormat(wxCommandEvent& event);
    void OnRewind(wxCommandEvent& event);
    void OnSap(wxCommandEvent& event);
    void OnPathKillFocus(wxFocusEvent& event);
    void OnTimer(wxTimerEvent& event);

    CChildFrame* m_frame;
    CQvTidewellView* m_view;
    castdeck::TransmitModel m_model;
    wxTimer m_timer;
    unsigned m_shownListRevision = ~0u;

    wxButton* m_browse = nullptr;
    wxTextCtrl* m_path = nullptr;
    wxChoice* m_interface = nullptr;
    wxTextCtrl* m_mux = nullptr;
    wxTextCtrl* m_bitrate = nullptr;
    wxTextCtrl* m_address = nullptr;
    wxTextCtrl* m_port = nullptr;
    wxChoice* m_ttl = nullptr;
    wxCheckBox* m_rewind = nullptr;
    wxCheckBox* m_sap = nullptr;
    wxChoice* m_packetFormat = nullptr;
    wxTextCtrl* m_status = nullptr;
    wxGauge* m_progress = nullptr;
    wxButton* m_start = nullptr;

    wxDECLARE_EVENT_TABLE();
};
