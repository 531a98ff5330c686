#include "platform/com/wx/wxcontrol.h"

#include "platform/ui/wx/wxuidispatch.h"

#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace qvplat {

namespace {

// Clears *slot when the window goes, whoever destroys it.
void TrackWindow(wxWindow* window, wxWindow** slot)
{
    window->Bind(wxEVT_DESTROY, [window, slot](wxWindowDestroyEvent& event) {
        if (event.GetEventObject() == window && *slot == window) {
            *slot = nullptr;
        }
        event.Skip();
    });
}

} // namespace

WxComControl::~WxComControl()
{
    DestroyControlWindow();
}

HRESULT WxComControl::NonDelegatingQueryInterface(const IID& iid, void** out)
{
    if (out != nullptr && iid == IQvWxControl::Iid) {
        auto* control = static_cast<IQvWxControl*>(this);
        control->AddRef();
        *out = control;
        return S_OK;
    }
    return ComControl::NonDelegatingQueryInterface(iid, out);
}

HRESULT WxComControl::CreateControlWindow(wxWindow* parent, const wxRect& rect, long style,
                                          wxWindowID id, wxWindow** window)
{
    if (!IsOwnerThread()) {
        return RPC_E_WRONG_THREAD;
    }
    if (parent == nullptr) {
        return E_INVALIDARG;
    }
    if (m_window != nullptr) {
        return E_UNEXPECTED;
    }
    m_window = OnCreateWindow(parent, rect, style, id);
    if (m_window == nullptr) {
        return E_FAIL;
    }
    TrackWindow(m_window, &m_window);
    if (window != nullptr) {
        *window = m_window;
    }
    return S_OK;
}

HRESULT WxComControl::DestroyControlWindow()
{
    if (wxWindow* window = m_window) {
        m_window = nullptr;
        window->Destroy();
    }
    return S_OK;
}

std::shared_ptr<UiDispatcher> WxComControl::DefaultDispatcher()
{
    return WxUiDispatcher::Create();
}

void WxComControl::OnClose()
{
    DestroyControlWindow();
}

WxPropertyPage::WxPropertyPage(IUnknown* outer, std::string title)
    : ComObject(outer), m_title(std::move(title))
{
}

WxPropertyPage::~WxPropertyPage()
{
    Deactivate();
}

HRESULT WxPropertyPage::GetTitle(std::string* title)
{
    if (title == nullptr) {
        return E_POINTER;
    }
    *title = m_title;
    return S_OK;
}

HRESULT WxPropertyPage::SetObjects(std::span<IUnknown* const> objects)
{
    m_objects.clear();
    for (IUnknown* object : objects) {
        ComPtr<IDispatch> dispatch;
        if (object != nullptr &&
            Succeeded(object->QueryInterface(IID_IDispatch, dispatch.PutVoid()))) {
            m_objects.push_back(dispatch);
        }
    }
    return S_OK;
}

HRESULT WxPropertyPage::Activate(wxWindow* parent, wxWindow** window)
{
    if (parent == nullptr) {
        return E_INVALIDARG;
    }
    if (m_window != nullptr) {
        return E_UNEXPECTED;
    }
    m_window = OnCreatePage(parent);
    if (m_window == nullptr) {
        return E_FAIL;
    }
    TrackWindow(m_window, &m_window);
    if (window != nullptr) {
        *window = m_window;
    }
    return S_OK;
}

HRESULT WxPropertyPage::Apply()
{
    OnApply();
    return S_OK;
}

HRESULT WxPropertyPage::Deactivate()
{
    if (wxWindow* window = m_window) {
        m_window = nullptr;
        window->Destroy();
    }
    return S_OK;
}

WxGeneralPropertyPage::WxGeneralPropertyPage(IUnknown* outer, const char* text)
    : WxPropertyPage(outer, "General"), m_text(text)
{
}

wxWindow* WxGeneralPropertyPage::OnCreatePage(wxWindow* parent)
{
    auto* page = new wxPanel(parent, kPageId);
    if (m_text != nullptr) {
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        sizer->Add(new wxStaticText(page, wxID_ANY, wxString::FromUTF8(m_text)),
                   wxSizerFlags().Border(wxALL, 12));
        page->SetSizer(sizer);
    }
    return page;
}

} // namespace qvplat
