// playerctl: the player control, its property page and the server's
// registration. The control's behaviour is in model/; its frame window in
// mainframe.cpp.
#include "player/playerctl.h"

#include "player/mainframe.h"
#include "player/model/animationclock.h"
#include "player/model/playerids.h"
#include "player/playbackbridge.h"
#include "player/playerres.h"
#include "player/playerui.h"

#include "core/settings/qvlog.h"
#include "platform/com/server.h"
#include "platform/ui/wx/wxtimerset.h"
#include "player/gif/gifbitmap.h"

#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>

#include <algorithm>
#include <limits>
#include <memory>

using namespace qvplat;
using namespace player;

namespace {

constexpr CLSID kClsidControl = MakeGuid("{7487BBEC-8D92-4103-A143-9931EDF6041F}");
constexpr CLSID kClsidPropPage = MakeGuid("{9C0DD5BD-45DD-4EC2-8FAF-7DE539719552}");
constexpr GUID kTypeLib = MakeGuid("{CDB3C83B-7385-437A-AF53-CF2D80F57BF2}");
constexpr IID kIidDispatch = MakeGuid("{C47EED04-0719-4918-85E0-561909CC2982}");
constexpr IID kIidEvents = MakeGuid("{352AB826-CD9B-4A33-BB71-47129880BFEF}");

constexpr DISPID kEventStreamEvent = 1;

std::int16_t ToShort(int value)
{
    return static_cast<std::int16_t>(std::clamp<int>(
        value, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

} // namespace

// The control's window: paints the background animation and hands its
// messages to the control.
class CPlayerCtlWnd final : public wxWindow, public player::TimerHost
{
public:
    CPlayerCtlWnd(CPlayerCtlCtrl& control, wxWindow* parent, const wxRect& rect, long style,
                  wxWindowID id)
        : wxWindow(parent, id, rect.GetPosition(), rect.GetSize(), style | wxCLIP_CHILDREN,
                   "PlayerCtl"),
          m_control(control)
    {
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        Bind(wxEVT_MENU, [this](wxCommandEvent& event) { OnCommand(event); });
        Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
            wxPaintDC dc(this);
            m_control.PaintBackground(*this, dc);
        });
        Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
            m_control.OnSize();
            event.Skip();
        });
        Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_control.OnLButtonDblClk(); });
    }
    ~CPlayerCtlWnd() override
    {
        m_timers.KillAll();
        // The frame and the directory go while the children still exist.
        m_control.OnDestroy();
    }

    void StartTimer(int id, int milliseconds) override { m_timers.Start(id, milliseconds); }
    void KillTimer(int id) override { m_timers.Kill(id); }

private:
    void OnCommand(wxCommandEvent& event)
    {
        switch (event.GetId()) {
        case ID_STARTUP:
            m_control.OnStartup();
            break;
        case ID_EMBED:
            m_control.OnEmbedWindow();
            break;
        case ID_POPUP:
            m_control.OnPopupWindow();
            break;
        case ID_ADJUST:
            m_control.OnAdjust();
            break;
        case WM_STREAMMESSAGE:
            m_control.OnStreamMessage(event.GetInt());
            break;
        default:
            break;
        }
    }

    CPlayerCtlCtrl& m_control;
    qvplat::WxTimerSet m_timers{[this](int id) { m_control.OnTimer(id); }};
};

// ---- The control -------------------------------------------------------------------------

CPlayerCtlCtrl::CPlayerCtlCtrl(IUnknown* outer)
    : WxComControl(outer, Table(), &EventInfo(), {kClsidPropPage}),
      ControlModel(&CreateStreamController)
{
    if (!HasController()) {
        // Shown once the container's creation call has returned.
        QvDebugMsgTime("Failed to create a StreamController.");
        if (wxTheApp != nullptr) {
            wxTheApp->CallAfter(
                [] { ShowPlayerMessage(nullptr, "Failed to create a StreamController."); });
        }
    }
}

CPlayerCtlCtrl::~CPlayerCtlCtrl()
{
    // The window and the frame go before the player's state.
    DestroyControlWindow();
}

const DispatchTable& CPlayerCtlCtrl::Table()
{
    using C = CPlayerCtlCtrl;
    static const DispatchTable table =
        DispatchTableBuilder<C>(kIidDispatch, "_DPlayerCtl")
            .Property(1, "Profile", &C::GetProfileText, &C::SetProfileText)
            .Property(2, "PropList", &C::GetPropListText, &C::SetPropListText)
            .Method(3, "Play", &C::Play)
            .Method(4, "Stop", &C::Stop)
            .Method(5, "Pause", &C::Pause)
            .Method(6, "AddProp", &C::AddPropMethod)
            .Method(7, "FindProp", &C::FindPropMethod)
            .Method(8, "ClearProp", &C::ClearPropMethod)
            .Method(9, "ClearProps", &C::ClearPropsMethod)
            .Method(10, "SetVolume", &C::SetVolumeMethod)
            .Method(11, "GetVolume", &C::GetVolumeMethod)
            .Method(12, "SetPosition", &C::SetPositionMethod)
            .Method(13, "GetPosition", &C::GetPositionMethod)
            .Method(14, "GetLength", &C::GetLengthMethod)
            .Method(15, "GetStreamState", &C::GetStreamStateMethod)
            .Property(DISPID_READYSTATE, "ReadyState", &C::GetReadyState)
            .Method(DISPID_ABOUTBOX, "AboutBox", &C::AboutBox)
            .Build();
    return table;
}

const DispatchInterfaceInfo& CPlayerCtlCtrl::EventInfo()
{
    static const DispatchInterfaceInfo events{
        kIidEvents,
        "_DPlayerCtlEvents",
        {{kEventStreamEvent, "StreamEvent", false, VT_EMPTY, {VT_I4}},
         {DISPID_READYSTATECHANGE, "ReadyStateChange", false, VT_EMPTY, {VT_I4}}}};
    return events;
}

HRESULT CPlayerCtlCtrl::Load(const PropertyBag& bag)
{
    // Both persisted texts are stored as they are; the start-up sequence
    // reads them.
    if (const auto text = bag.Read("PropList")) {
        propListText = *text;
    }
    if (const auto text = bag.Read("Profile")) {
        profilePath = *text;
    }
    SetModified(false);
    return S_OK;
}

HRESULT CPlayerCtlCtrl::Save(PropertyBag& bag, bool clearDirty)
{
    bag.Write("PropList", propListText);
    bag.Write("Profile", profilePath);
    if (clearDirty) {
        SetModified(false);
    }
    return S_OK;
}

CMainFrame* CPlayerCtlCtrl::Frame() const
{
    return frame;
}

void CPlayerCtlCtrl::PostCommand(int id)
{
    player::PostCommand(Window(), id);
}

void CPlayerCtlCtrl::PostStreamMessage(int number)
{
    player::PostCommand(Window(), WM_STREAMMESSAGE, number);
}

void CPlayerCtlCtrl::PostDoubleClick()
{
    if (wxWindow* window = Window()) {
        window->GetEventHandler()->QueueEvent(new wxMouseEvent(wxEVT_LEFT_DCLICK));
    }
}

void CPlayerCtlCtrl::FrameDestroyed(CMainFrame* gone)
{
    if (frame == gone) {
        frame = nullptr;
    }
}

// ---- Automation ------------------------------------------------------------------------

void CPlayerCtlCtrl::SetProfileText(const std::string& path)
{
    SetProfile(path);
    SetModified();
    // Without a window the start-up command comes when the window is made.
    PostCommand(ID_STARTUP);
}

void CPlayerCtlCtrl::SetPropListText(const std::string& text)
{
    SetPropList(text);
    SetModified();
}

void CPlayerCtlCtrl::Play()
{
    if (CMainFrame* current = Frame()) {
        current->RunCommand(ID_PLAY);
    }
}

void CPlayerCtlCtrl::Stop()
{
    if (CMainFrame* current = Frame()) {
        current->RunCommand(ID_STOP);
    }
}

void CPlayerCtlCtrl::Pause()
{
    if (CMainFrame* current = Frame()) {
        current->RunCommand(ID_PAUSE);
    }
}

std::int32_t CPlayerCtlCtrl::AddPropMethod(const std::string& name, const std::string& value)
{
    return AddProp(name, value);
}

std::int16_t CPlayerCtlCtrl::GetVolumeMethod()
{
    return ToShort(ControlModel::GetVolume());
}

std::int16_t CPlayerCtlCtrl::GetStreamStateMethod()
{
    return ToShort(ControlModel::GetStreamState());
}

void CPlayerCtlCtrl::AboutBox()
{
    ShowAboutDialog(Window());
}

// ---- The window ------------------------------------------------------------------------

wxWindow* CPlayerCtlCtrl::OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                                         wxWindowID id)
{
    auto* window = new CPlayerCtlWnd(*this, parent, rect, style, id);
    m_destroyed = false;
    // Window() is set once this returns: the start-up command goes to the
    // window directly.
    player::PostCommand(window, ID_STARTUP);
    animationName = "GIFWAIT";
    m_background.Load(*window);
    m_backgroundFrames = GifFrameBitmaps(m_background.Image(), *wxBLACK);
    window->StartTimer(kControlStartupTimer, kStartupRetryMs);
    return window;
}

void CPlayerCtlCtrl::OnClose()
{
    OnDestroy();
    WxComControl::OnClose();
}

void CPlayerCtlCtrl::OnDestroy()
{
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    if (CMainFrame* current = Frame()) {
        current->RunCommand(ID_STOP);
        current->DestroyFrame();
    }
    frame = nullptr;
    StopDirectory();
}

void CPlayerCtlCtrl::OnStartup()
{
    auto* window = static_cast<CPlayerCtlWnd*>(Window());
    if (window == nullptr || m_destroyed) {
        return;
    }
    const Startup startup = RunStartup();
    if (startup.watchTimer) {
        window->StartTimer(kControlWatchTimer, kWatchPeriodMs);
    }
    OpenFrame(startup.popup);
    if (startup.autoStart) {
        Play();
    }
}

void CPlayerCtlCtrl::OnEmbedWindow()
{
    OpenFrame(false);
}

void CPlayerCtlCtrl::OnPopupWindow()
{
    OpenFrame(true);
}

void CPlayerCtlCtrl::OpenFrame(bool popup)
{
    wxWindow* window = Window();
    if (window == nullptr || m_destroyed) {
        return;
    }
    CMainFrame* previous = Frame();
    CMainFrame* next = CMainFrame::Open(*this, *this, window, popup);
    if (next == nullptr) {
        return;
    }
    // The video moves into the new frame before the old one goes, so each
    // window is destroyed once, by its own parent.
    if (controller != nullptr && controller->HasWindow()) {
        controller->MoveWindowTo(*next);
    }
    if (previous != nullptr) {
        previous->DestroyFrame();
    }
    frame = next;
    EnterWindowMode(popup ? kPopup : kEmbedded);
    PostCommand(ID_ADJUST);
}

void CPlayerCtlCtrl::OnAdjust()
{
    if (controller != nullptr && controller->HasWindow()) {
        controller->LowerWindow();
    }
    if (wxWindow* window = Window()) {
        window->Refresh(true);
        window->Update();
    }
}

void CPlayerCtlCtrl::OnLButtonDblClk()
{
    switch (NextWindowMode()) {
    case WindowChange::Popup:
        OnPopupWindow();
        break;
    case WindowChange::Maximize:
        if (CMainFrame* current = Frame()) {
            current->Maximize();
        }
        break;
    case WindowChange::Embed:
        OnEmbedWindow();
        break;
    }
}

void CPlayerCtlCtrl::OnTimer(int id)
{
    auto* window = static_cast<CPlayerCtlWnd*>(Window());
    if (window == nullptr) {
        return;
    }
    switch (id) {
    case kControlStartupTimer:
        window->KillTimer(kControlStartupTimer);
        if (!StartupDone()) {
            PostCommand(ID_STARTUP);
        }
        break;
    case kControlBackgroundTimer: {
        // Under an embedded frame the background cannot be seen.
        const bool covered = Frame() != nullptr && !Frame()->IsPopup();
        if (m_background.OnTimer(*window, playState == kStopped) && !covered) {
            window->Refresh(false);
        }
        break;
    }
    case kControlWatchTimer:
        WatchTick();
        break;
    default:
        break;
    }
}

void CPlayerCtlCtrl::OnStreamMessage(int number)
{
    FireEvent(kEventStreamEvent, {Variant(static_cast<std::int32_t>(number))});
}

void CPlayerCtlCtrl::OnSize()
{
    if (CMainFrame* current = Frame(); current != nullptr && Window() != nullptr) {
        current->FitInto(wxRect(Window()->GetClientSize()));
    }
}

void CPlayerCtlCtrl::PaintBackground(wxWindow& window, wxDC& dc)
{
    const wxSize client = window.GetClientSize();
    if (m_background.Shown() < m_backgroundFrames.size()) {
        const wxBitmap& picture = m_backgroundFrames[m_background.Shown()];
        wxMemoryDC source;
        source.SelectObjectAsSource(picture);
        dc.StretchBlit(0, 0, client.x, client.y, &source, 0, 0, picture.GetWidth(),
                       picture.GetHeight());
    } else {
        dc.SetBrush(*wxWHITE_BRUSH);
        dc.DrawRectangle(wxRect(client));
    }
}

// ---- Property page and registration ----------------------------------------------------

namespace {

// What the control's "General" property page shows.
constexpr char kPageText[] = "(Not Available)";

const CATID kCategories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};

const ComClassInfo kClasses[] = {
    {.clsid = kClsidControl,
     .create = &CreateComInstance<CPlayerCtlCtrl>,
     .progId = "PLAYERCTL.PlayerCtlCtrl.1",
     .typeName = kUserTypeName,
     .miscStatus = 0x30191,
     .control = true,
     .insertable = true,
     .dispatchInfo = &CPlayerCtlCtrl::DispatchInfo,
     .eventInfo = &CPlayerCtlCtrl::EventInfo,
     .categories = kCategories,
     .keepCategoryMarks = true},
    {.clsid = kClsidPropPage,
     .create = &CreateGeneralPropertyPage<kPageText>,
     .progId = "PLAYERCTL.PlayerCtlPropPage.1",
     .typeName = "Source"},
};

const ComTypeLibInfo kTypeLibInfo{kTypeLib, "PLAYERCTLLib", "1.0"};
const ComServerInfo kServer{kClasses, &kTypeLibInfo, kSafeControlCategories};

} // namespace

QV_COM_SERVER(kServer)
