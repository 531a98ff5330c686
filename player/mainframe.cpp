#include "player/mainframe.h"

#include "player/model/animationclock.h"
#include "player/model/playerids.h"
#include "player/playbackbridge.h"
#include "player/playerctl.h"
#include "player/playerdialogs.h"
#include "player/playertoolbar.h"
#include "player/playerui.h"

#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"
#include "player/gif/gifbitmap.h"
#include "player/gif/wndgif.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/frame.h>

#include <algorithm>
#include <functional>

using namespace player;

namespace {

constexpr int kPopupOffset = 20;
const wxSize kMinimumSize(200, 150);

class CFrameDropTarget : public wxFileDropTarget
{
public:
    explicit CFrameDropTarget(std::function<void(const wxString&)> dropped)
        : m_dropped(std::move(dropped))
    {
    }
    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& names) override
    {
        if (!names.empty()) {
            m_dropped(names[0]);
        }
        return true;
    }

private:
    std::function<void(const wxString&)> m_dropped;
};

} // namespace

CMainFrame* CMainFrame::Open(CPlayerCtlCtrl& owner, QvPlayerContext& context, wxWindow* control,
                             bool popup)
{
    wxRect rect(wxPoint(0, 0), control->GetClientSize());
    wxFrame* shell = nullptr;
    if (popup) {
        rect.SetPosition(control->ClientToScreen(wxPoint(0, 0)) +
                         wxPoint(kPopupOffset, kPopupOffset));
        shell = new wxFrame(nullptr, wxID_ANY, "Veltora", rect.GetPosition(), rect.GetSize(),
                            wxDEFAULT_FRAME_STYLE | wxCLIP_CHILDREN);
        shell->SetMinSize(kMinimumSize);
    }
    auto* frame = new CMainFrame(owner, context, shell);
    if (!frame->CreateFrame(popup ? static_cast<wxWindow*>(shell) : control,
                            popup ? wxRect(wxPoint(0, 0), shell->GetClientSize()) : rect)) {
        if (shell != nullptr) {
            shell->Destroy();
        }
        return nullptr;
    }
    if (shell != nullptr) {
        shell->Bind(wxEVT_SIZE, [frame, shell](wxSizeEvent& event) {
            frame->SetSize(shell->GetClientSize());
            event.Skip();
        });
        // The popup re-embeds instead of closing.
        shell->Bind(wxEVT_CLOSE_WINDOW, [frame](wxCloseEvent& event) {
            if (event.CanVeto()) {
                event.Veto();
                frame->RunCommand(ID_EMBED);
            } else {
                event.Skip();
            }
        });
        shell->Show();
    }
    return frame;
}

CMainFrame::CMainFrame(CPlayerCtlCtrl& owner, QvPlayerContext& context, wxFrame* shell)
    : m_owner(owner), m_context(context), m_model(context, *this), m_shell(shell)
{
}

CMainFrame::~CMainFrame()
{
    m_timers.KillAll();
    // Destroyed by someone else than the control (with its parent).
    if (!m_closing) {
        m_closing = true;
        m_owner.FrameDestroyed(this);
    }
}

bool CMainFrame::CreateFrame(wxWindow* parent, const wxRect& rect)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!Create(parent, wxID_ANY, rect.GetPosition(), rect.GetSize(),
                wxCLIP_CHILDREN | wxBORDER_NONE, m_shell != nullptr ? "Veltora" : "Embed Frame")) {
        return false;
    }
    m_messages = CreateStreamMessageHandler([this](int number, unsigned long value) {
        m_model.OnStreamMessage(number, value);
        // Only a frame inside the control's window tells the container; a
        // popped-up (or full-screen) frame has no parent to tell.
        if (!IsPopup()) {
            m_owner.PostStreamMessage(number);
        }
    });

    const UtCString logo = m_context.properties.GetProperty("LogoImage");
    m_logo.Load(*this, logo.isNull() ? std::string() : std::string(logo.chars(), logo.length()));
    m_logoFrames = GifFrameBitmaps(m_logo.Image(), *wxBLACK);
    // The animation window exists whether or not a logo loaded.
    m_animation = new CWndGif;
    m_animation->Create(wxRect(0, 0, 100, 100), this, m_context.animationVisible);
    if (!m_context.animationName.empty()) {
        m_animation->Load(m_context.animationName);
        m_animation->SizeToFirstFrame();
    }
    Update();

    m_toolbar = new CPlayerToolBar;
    if (!m_toolbar->Create(this)) {
        delete m_toolbar;
        m_toolbar = nullptr;
        ShowPlayerMessage(this, "Failed to create toolbar.");
        return false;
    }
    m_toolbar->Show(m_context.toolbarShown);
    m_model.OnCreate();
    SetDropTarget(new CFrameDropTarget([this](const wxString& path) { OnDropFiles(path); }));

    Bind(wxEVT_MENU, &CMainFrame::OnCommandEvent, this);
    Bind(wxEVT_PAINT, &CMainFrame::OnPaint, this);
    Bind(wxEVT_SIZE, &CMainFrame::OnSize, this);
    Bind(wxEVT_RIGHT_UP, [this](wxMouseEvent&) { ToggleToolbar(); });
    Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_owner.PostDoubleClick(); });
    Bind(wxEVT_MOTION, [this](wxMouseEvent& event) {
        PostCommand(ID_CLOSEDIALOGS);
        event.Skip();
    });
    LayoutChildren();
    return true;
}

void CMainFrame::DestroyFrame()
{
    if (m_closing) {
        return;
    }
    m_closing = true;
    m_timers.KillAll();
    CloseDialogs();
    m_owner.FrameDestroyed(this);
    if (m_shell != nullptr) {
        m_shell->Hide();
        m_shell->Destroy();
    } else {
        Destroy();
    }
}

void CMainFrame::Maximize()
{
    if (m_shell != nullptr) {
        m_shell->Maximize();
    }
}

void CMainFrame::FitInto(const wxRect& rect)
{
    if (m_shell == nullptr) {
        SetSize(rect);
    }
}

// ---- Commands ------------------------------------------------------------------------

void CMainFrame::OnCommandEvent(wxCommandEvent& event)
{
    RunCommand(event.GetId());
}

void CMainFrame::RunCommand(int id)
{
    if (m_closing) {
        return;
    }
    switch (id) {
    case ID_PLAY:
        m_model.OnPlay();
        break;
    case ID_PAUSE:
        m_model.OnPause();
        break;
    case ID_STOP:
        m_model.OnStop();
        break;
    case ID_RESTART:
        m_model.OnRestart();
        break;
    case ID_EMBED:
        m_owner.PostCommand(ID_EMBED);
        m_model.OnEmbedCommand();
        break;
    case ID_POPUP:
        m_owner.PostCommand(ID_POPUP);
        m_model.OnPopupCommand();
        break;
    case ID_VOLUME:
    case ID_COLOR:
    case ID_CHANNELS:
        OpenDialogFor(id);
        break;
    case ID_SNAPSHOT:
        ShowPlayerMessage(this, "Snapshot disabled.", "Note");
        break;
    case ID_CAPTURE:
        ShowPlayerMessage(this, "Stream Capture disabled.", "Note");
        break;
    case ID_OPENFILE:
        OnFileOpen();
        break;
    case ID_ABOUT:
        ShowAboutDialog(this);
        break;
    case ID_CLOSEDIALOGS:
        CloseDialogs();
        break;
    default:
        break;
    }
}

void CMainFrame::OnFileOpen()
{
    wxFileDialog dialog(this, "Open", "", "", "MPEG Files (*.mpg)|*.mpg",
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() == wxID_OK) {
        m_model.OnFileChosen(dialog.GetPath().utf8_string());
    }
}

void CMainFrame::OnDropFiles(const wxString& path)
{
    m_model.OnFileDropped(path.utf8_string());
}

// ---- Dialogs ---------------------------------------------------------------------------

void CMainFrame::CloseDialogs()
{
    for (wxWeakRef<wxDialog>* dialog : {&m_volumeDlg, &m_colorDlg, &m_channelDlg}) {
        if (wxDialog* open = dialog->get()) {
            *dialog = nullptr;
            open->Destroy();
        }
    }
}

void CMainFrame::OpenDialogFor(int command)
{
    CloseDialogs();
    wxDialog* dialog = nullptr;
    const char* failure = "";
    switch (command) {
    case ID_VOLUME:
        dialog = new CVolumeDlg(this, &m_context);
        failure = "Failed to create mVolumeDlg.";
        m_volumeDlg = dialog;
        break;
    case ID_COLOR:
        dialog = new CColorDlg(this);
        failure = "Failed to create mColorDlg.";
        m_colorDlg = dialog;
        break;
    default:
        dialog = new CChannelDlg(this, &m_context);
        failure = "Failed to create mChannelDlg.";
        m_channelDlg = dialog;
        break;
    }
    if (dialog == nullptr || dialog->GetHandle() == nullptr) {
        ShowPlayerMessage(this, failure);
        return;
    }
    // Above its button: left edges aligned, the dialog's bottom on the
    // button's top.
    const wxRect button = m_toolbar->ButtonScreenRect(command);
    const wxSize size = dialog->GetSize();
    dialog->Move(button.GetLeft(), button.GetTop() - size.y);
    dialog->Show();
    dialog->Raise();
    dialog->WarpPointer(size.x / 2, size.y / 2);
}

// ---- The view for the model ----------------------------------------------------------

void CMainFrame::ShowButton(int command, bool show)
{
    if (m_toolbar != nullptr) {
        m_toolbar->ShowButton(command, show);
    }
}

void CMainFrame::EnableButton(int command, bool enable)
{
    if (m_toolbar != nullptr) {
        m_toolbar->EnableButton(command, enable);
    }
}

PlayerRect CMainFrame::VideoArea()
{
    const wxSize client = GetClientSize();
    const int bottom = client.y - (m_context.toolbarShown ? m_context.toolbarHeight : 0);
    return {0, 0, client.x, std::max(0, bottom)};
}

void CMainFrame::ShowAnimation(const std::string& name)
{
    m_animation->Load(name);
    m_animation->SizeToFirstFrame();
    m_animation->Show(true);
    const PlayerRect area = VideoArea();
    m_animation->Place(wxRect(area.left, area.top, area.right - area.left, area.bottom - area.top));
    m_animation->Raise();
}

void CMainFrame::HideAnimation()
{
    m_animation->Show(false);
}

void CMainFrame::PostCommand(int command)
{
    player::PostCommand(this, command);
}

void CMainFrame::StartTimer(int id, int milliseconds)
{
    m_timers.Start(id, milliseconds);
}

void CMainFrame::KillTimer(int id)
{
    m_timers.Kill(id);
}

void CMainFrame::ShowMessage(const std::string& text)
{
    ShowPlayerMessage(this, text);
}

void CMainFrame::UpdateWindow()
{
    Refresh(false);
    Update();
}

// ---- Window messages ---------------------------------------------------------------------

void CMainFrame::OnTimer(int id)
{
    if (m_closing) {
        return;
    }
    if (id == kFrameLogoTimer) {
        if (m_logo.OnTimer(*this, m_context.playState == QvPlayerContext::kStopped)) {
            const PlayerRect area = VideoArea();
            RefreshRect(wxRect(0, 0, area.right, area.bottom), false);
        }
        return;
    }
    m_model.OnTimer(id, m_messages.get());
}

void CMainFrame::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    const wxSize client = GetClientSize();
    const std::size_t shown = m_logo.Shown();
    const CGifImage& logo = m_logo.Image();
    if (shown < m_logoFrames.size() && m_logoFrames[shown].IsOk()) {
        // The logo image at its own offset, stretched to the client area.
        const wxBitmap& frame = m_logoFrames[shown];
        GifImageInfo info;
        logo.GetImageInfo(shown, info);
        const int screenWidth = std::max<int>(1, logo.GetScreenWidth());
        const int screenHeight = std::max<int>(1, logo.GetScreenHeight());
        wxMemoryDC source;
        source.SelectObjectAsSource(frame);
        dc.StretchBlit(info.left * client.x / screenWidth, info.top * client.y / screenHeight,
                       client.x * info.width / screenWidth, client.y * info.height / screenHeight,
                       &source, 0, 0, frame.GetWidth(), frame.GetHeight());
    } else {
        dc.SetBackground(*wxBLACK_BRUSH);
        dc.Clear();
    }
}

void CMainFrame::OnSize(wxSizeEvent& event)
{
    if (!m_closing) {
        LayoutChildren();
    }
    event.Skip();
}

void CMainFrame::LayoutChildren()
{
    const wxSize client = GetClientSize();
    if (m_toolbar != nullptr) {
        m_toolbar->SetSize(0, client.y - m_context.toolbarHeight, client.x,
                           m_context.toolbarHeight);
    }
    m_model.FitVideo();
    if (m_animation != nullptr && m_animation->IsShown()) {
        const PlayerRect area = VideoArea();
        m_animation->Place(wxRect(0, 0, area.right, area.bottom));
    }
    Refresh(false);
}

void CMainFrame::ToggleToolbar()
{
    m_toolbar->Show(!m_context.toolbarShown);
    m_model.OnToggleToolbar();
    LayoutChildren();
}
