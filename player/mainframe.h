#pragma once
// CMainFrame: the visible player. A panel holding the stream controller's
// video window, a toolbar at the bottom, the logo painted behind the video,
// the animation window for a live stream's waiting phases and the modeless
// volume, colour and channel dialogs. Embedded, the panel is a child of the
// control's window; as a popup it fills a top-level window of its own
// ("Veltora"). Its behaviour is in model/framemodel.h.
//
// Stream messages are drained on timer 1; an embedded frame passes each
// message number to the owning control, which fires StreamEvent. While the
// player is popped up or full screen the container hears of none.

#include "platform/ui/wx/wxtimerset.h"
#include "player/model/framemodel.h"
#include "player/model/playerids.h"

#include <wx/panel.h>
#include <wx/weakref.h>

#include <memory>
#include <vector>

class CPlayerCtlCtrl;
class CWndGif;
class QvMessage;
class wxDialog;
class wxFrame;

namespace player {
class CPlayerToolBar;
}

class CMainFrame : public wxPanel, public player::FrameView
{
public:
    // Makes a frame over the control window's client area (embedded) or a
    // top-level window 20 pixels below and right of it (popup). Null when the
    // frame cannot be made (the reason was shown).
    static CMainFrame* Open(CPlayerCtlCtrl& owner, QvPlayerContext& context, wxWindow* control,
                            bool popup);
    ~CMainFrame() override;

    // Destroys the frame and its top-level window; nothing runs on it after.
    void DestroyFrame();
    bool IsPopup() const { return m_shell != nullptr; }
    // The popup window maximized.
    void Maximize();
    // Runs a command at once, as the toolbar would.
    void RunCommand(int id);
    // The embedded frame follows the control window's size.
    void FitInto(const wxRect& rect);

    // FrameView
    void ShowButton(int command, bool show) override;
    void EnableButton(int command, bool enable) override;
    player::PlayerRect VideoArea() override;
    void ShowAnimation(const std::string& name) override;
    void HideAnimation() override;
    void PostCommand(int command) override;
    void StartTimer(int id, int milliseconds) override;
    void KillTimer(int id) override;
    void ShowMessage(const std::string& text) override;
    void UpdateWindow() override;

private:
    CMainFrame(CPlayerCtlCtrl& owner, QvPlayerContext& context, wxFrame* shell);
    bool CreateFrame(wxWindow* parent, const wxRect& rect);

    void OnCommandEvent(wxCommandEvent& event);
    void OnTimer(int id);
    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnDropFiles(const wxString& path);
    void OnFileOpen();
    void ToggleToolbar();
    void CloseDialogs();
    void OpenDialogFor(int command);
    void LayoutChildren();

    CPlayerCtlCtrl& m_owner;
    QvPlayerContext& m_context;
    player::FrameModel m_model;
    wxFrame* m_shell; // the popup's top-level window, or null
    player::CPlayerToolBar* m_toolbar = nullptr;
    CWndGif* m_animation = nullptr;
    player::BackgroundAnimation m_logo{player::kFrameLogoTimer};
    std::vector<wxBitmap> m_logoFrames;
    qvplat::WxTimerSet m_timers{[this](int id) { OnTimer(id); }};
    std::unique_ptr<QvMessage> m_messages;
    wxWeakRef<wxDialog> m_volumeDlg;
    wxWeakRef<wxDialog> m_colorDlg;
    wxWeakRef<wxDialog> m_channelDlg;
    bool m_closing = false;
};
