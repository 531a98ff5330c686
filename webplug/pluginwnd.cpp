#include "webplug/pluginwnd.h"

#include "webplug/plugin.h"

#include "platform/com/creation.h"

#include <wx/dc.h>
#include <wx/dcclient.h>
#include <wx/pen.h>

#include <algorithm>
#include <climits>

using namespace qvplat;

namespace {

// The player's style: shown, and not drawing over its children.
constexpr long kPlayerStyle = wxCLIP_CHILDREN;
constexpr wxWindowID kPlayerId = 0;

// The plug-in's side of the player's site: the user-interface dispatcher of
// the host's wx application.
class CPlayerSite final : public ComObject<IQvControlSite>
{
public:
    CPlayerSite(IUnknown* outer, std::shared_ptr<UiDispatcher> ui)
        : ComObject(outer), m_ui(std::move(ui))
    {
    }
    std::shared_ptr<UiDispatcher> GetUiDispatcher() override { return m_ui; }

private:
    std::shared_ptr<UiDispatcher> m_ui;
};

int ClampToInt(std::uint32_t value)
{
    return static_cast<int>(std::min<std::uint32_t>(value, INT_MAX));
}

} // namespace

// ---- CPlayerCtl ------------------------------------------------------------------------

CPlayerCtl::~CPlayerCtl()
{
    Destroy();
}

HRESULT CPlayerCtl::Create(const CLSID& clsid, wxWindow* parent, const wxRect& rect, long style,
                           wxWindowID id)
{
    ComPtr<IUnknown> control;
    HRESULT hr = CoCreateInstance(clsid, nullptr, IID_IUnknown, control.PutVoid());
    if (Failed(hr)) {
        return hr;
    }
    const ComPtr<IQvWxControl> windowed = control.As<IQvWxControl>();
    if (!windowed) {
        return E_NOINTERFACE;
    }
    m_control = control;
    m_ui = WxUiDispatcher::Create();
    if (const ComPtr<IQvControl> sited = control.As<IQvControl>()) {
        sited->SetClientSite(ComPtr<IQvControlSite>(new CPlayerSite(nullptr, m_ui)).Get());
    }
    if (const ComPtr<IPersistPropertyBag> persist = control.As<IPersistPropertyBag>()) {
        persist->InitNew();
    }
    wxWindow* window = nullptr;
    hr = windowed->CreateControlWindow(parent, rect, style, id, &window);
    if (Failed(hr)) {
        Destroy();
        return hr;
    }
    m_window = window;
    return S_OK;
}

HRESULT CPlayerCtl::SetProperty(DISPID id, const std::string& value)
{
    const ComPtr<IDispatch> dispatch = m_control.As<IDispatch>();
    if (!dispatch) {
        return E_NOINTERFACE;
    }
    const Variant argument(value);
    return dispatch->Invoke(id, DISPATCH_PROPERTYPUT, {&argument, 1}, nullptr, nullptr);
}

void CPlayerCtl::Destroy()
{
    if (const ComPtr<IQvControl> control = m_control.As<IQvControl>()) {
        control->Close();
    }
    m_control.Reset();
    m_window = nullptr;
    if (m_ui) {
        m_ui->Close();
        m_ui.reset();
    }
}

// ---- CQvPluginWnd ----------------------------------------------------------------------

CQvPluginWnd::CQvPluginWnd(QvPluginInstance& record) : m_record(record)
{
    Bind(wxEVT_PAINT, &CQvPluginWnd::OnPaint, this);
    Bind(wxEVT_ERASE_BACKGROUND, &CQvPluginWnd::OnEraseBackground, this);
    Bind(wxEVT_DESTROY, &CQvPluginWnd::OnWindowDestroy, this);
}

CQvPluginWnd::~CQvPluginWnd()
{
    UnsubclassWindow();
    m_player.Destroy();
}

bool CQvPluginWnd::SubclassWindow(wxWindow* window)
{
    if (window == nullptr || m_window != nullptr) {
        return false;
    }
    m_window = window;
    m_window->PushEventHandler(this);
    return true;
}

void CQvPluginWnd::UnsubclassWindow()
{
    if (wxWindow* window = std::exchange(m_window, nullptr)) {
        window->RemoveEventHandler(this);
    }
}

bool CQvPluginWnd::CreatePlayer()
{
    if (m_window == nullptr) {
        return false;
    }
    const wxRect rect(m_window->GetClientSize());
    HRESULT hr = m_player.Create(kClsidPlayerCtl, m_window, rect, kPlayerStyle, kPlayerId);
    if (Failed(hr)) {
        PluginLog("the player %s cannot be created: %s", GuidToString(kClsidPlayerCtl).c_str(),
                  HResultName(hr));
        return false;
    }
    hr = m_player.SetProperty(kDispidProfile, m_record.m_profilePath);
    if (Failed(hr)) {
        PluginLog("the player's Profile cannot be set to \"%s\": %s",
                  m_record.m_profilePath.c_str(), HResultName(hr));
    }
    return true;
}

void CQvPluginWnd::OnPaint(wxPaintEvent&)
{
    {
        wxPaintDC done(m_window);
    }
    if (wxWindow* player = m_player.GetWindow()) {
        player->Refresh(true);
        player->Update();
    }
}

void CQvPluginWnd::OnEraseBackground(wxEraseEvent&)
{
    // Taken as erased: the player covers the window.
}

void CQvPluginWnd::OnWindowDestroy(wxWindowDestroyEvent& event)
{
    // A host that takes its window away before the instance: step out of its
    // way (a window must not go with handlers pushed onto it) and let the
    // window itself see the event. The player's window goes with it.
    if (event.GetEventObject() != m_window) {
        event.Skip();
        return;
    }
    wxWindow* window = m_window;
    UnsubclassWindow();
    window->GetEventHandler()->SafelyProcessEvent(event);
}

void DrawPrintFrame(wxDC& dc, std::int32_t x, std::int32_t y, std::uint32_t width,
                    std::uint32_t height)
{
    const wxPen previous = dc.GetPen();
    // Mitred, so the corners are as solid as the sides.
    wxPen pen(wxColour(0x80, 0x80, 0x80), 1, wxPENSTYLE_SOLID);
    pen.SetJoin(wxJOIN_MITER);
    dc.SetPen(pen);
    dc.DrawRectangle(x, y, ClampToInt(width), ClampToInt(height));
    dc.SetPen(previous);
}
