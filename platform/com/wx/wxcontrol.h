#pragma once
// The window side of controls and property pages, on wx. A control's window
// is a child of a wxWindow the container gives; property pages are classes
// of their own (listed by the control by class id) whose windows the
// container puts into a dialog (platform/com/wx/wxhost.h).
//
//   class CFakeCtl : public WxComControl {
//       wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
//                                wxWindowID id) override
//       { return new CFakeCtlWindow(parent, id, rect, style); }
//   };
//   class CFakePage : public WxPropertyPage {
//       wxWindow* OnCreatePage(wxWindow* parent) override { return new wxPanel(parent); }
//   };

#include "platform/com/control.h"

#include <wx/gdicmn.h>
#include <wx/window.h>

#include <string>

namespace qvplat {

class IQvWxControl : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{C662B350-8434-48A6-A494-24520AC234BB}");

    // Creates the control's window as a child of parent; a second call
    // fails with E_UNEXPECTED while the first window lives.
    virtual HRESULT CreateControlWindow(wxWindow* parent, const wxRect& rect, long style,
                                        wxWindowID id, wxWindow** window) = 0;
    virtual HRESULT DestroyControlWindow() = 0;
};

class IQvWxPropertyPage : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{7CCC2745-8564-42D7-8302-71907786C97F}");

    virtual HRESULT GetTitle(std::string* title) = 0;
    // The objects the page edits (the page keeps their dispatch interfaces).
    virtual HRESULT SetObjects(std::span<IUnknown* const> objects) = 0;
    // Creates the page's window as a child of parent.
    virtual HRESULT Activate(wxWindow* parent, wxWindow** window) = 0;
    virtual HRESULT Apply() = 0;
    virtual HRESULT Deactivate() = 0;
};

class WxComControl : public ComControl, public IQvWxControl
{
public:
    using ComControl::ComControl;
    ~WxComControl() override;

    HRESULT QueryInterface(const IID& iid, void** out) override
    {
        return Owner()->QueryInterface(iid, out);
    }
    ULONG AddRef() override { return Owner()->AddRef(); }
    ULONG Release() override { return Owner()->Release(); }
    HRESULT NonDelegatingQueryInterface(const IID& iid, void** out) override;

    HRESULT CreateControlWindow(wxWindow* parent, const wxRect& rect, long style, wxWindowID id,
                                wxWindow** window) override;
    HRESULT DestroyControlWindow() override;

protected:
    virtual wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                                     wxWindowID id) = 0;
    // The control's window, null before creation and after its destruction
    // (also when the container destroyed it with its parent).
    wxWindow* Window() const { return m_window; }

    // The wx application's dispatcher when the site gives none.
    std::shared_ptr<UiDispatcher> DefaultDispatcher() override;
    void OnClose() override;

private:
    wxWindow* m_window = nullptr;
};

class WxPropertyPage : public ComObject<IQvWxPropertyPage>
{
public:
    WxPropertyPage(IUnknown* outer, std::string title);
    ~WxPropertyPage() override;

    HRESULT GetTitle(std::string* title) override;
    HRESULT SetObjects(std::span<IUnknown* const> objects) override;
    HRESULT Activate(wxWindow* parent, wxWindow** window) override;
    HRESULT Apply() override;
    HRESULT Deactivate() override;

protected:
    virtual wxWindow* OnCreatePage(wxWindow* parent) = 0;
    virtual void OnApply() {}
    // The first object's dispatch interface, or null.
    IDispatch* Object() const { return m_objects.empty() ? nullptr : m_objects.front().Get(); }
    wxWindow* Page() const { return m_window; }

private:
    std::string m_title;
    std::vector<ComPtr<IDispatch>> m_objects;
    wxWindow* m_window = nullptr;
};

// The "General" page of a control with nothing to set on it: a panel with
// the page's resource id (200) that shows `text`, or nothing when it is
// null. Its class entry's create function is CreateGeneralPropertyPage.
class WxGeneralPropertyPage final : public WxPropertyPage
{
public:
    static constexpr int kPageId = 200;

    WxGeneralPropertyPage(IUnknown* outer, const char* text);

private:
    wxWindow* OnCreatePage(wxWindow* parent) override;

    const char* m_text;
};

// A server's create function for a "General" page showing Text:
//   {.clsid = kClsidPropPage, .create = &CreateGeneralPropertyPage<kPageText>, ...}
template <const char* Text = nullptr>
HRESULT CreateGeneralPropertyPage(IUnknown* outer, const IID& iid, void** out)
{
    return CreateComObject<WxGeneralPropertyPage>(outer, iid, out, Text);
}

} // namespace qvplat
