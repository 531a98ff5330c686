// A small control for the tests of the component layer and of ctlhost:
// properties of every type, methods, events fired from worker threads, a
// window and one property page.
#include "fakectl_ids.h"

#include "platform/com/server.h"
#include "platform/com/wx/wxcontrol.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <stdexcept>
#include <thread>
#include <vector>

using namespace qvplat;

namespace {

class CFakeCtl final : public WxComControl
{
public:
    explicit CFakeCtl(IUnknown* outer)
        : WxComControl(outer, Table(), &Events(), {fakectl::kClsidPage})
    {
    }
    ~CFakeCtl() override { JoinBursts(); }

    static const DispatchTable& Table()
    {
        static const DispatchTable table =
            DispatchTableBuilder<CFakeCtl>(fakectl::kIidDispatch, "_DFakeCtl")
                .Property(1, "Caption", &CFakeCtl::GetCaption, &CFakeCtl::SetCaption, Persist::Yes)
                .Property(2, "Count", &CFakeCtl::GetCount, &CFakeCtl::SetCount, Persist::Yes)
                .Property(3, "Ratio", &CFakeCtl::GetRatio, &CFakeCtl::SetRatio)
                .Property(4, "Enabled", &CFakeCtl::GetEnabled, &CFakeCtl::SetEnabled)
                .Method(5, "Add", &CFakeCtl::Add)
                .Method(6, "Scale", &CFakeCtl::Scale)
                .Method(7, "Ping", &CFakeCtl::Ping)
                .Method(8, "FireBurst", &CFakeCtl::FireBurst)
                .Method(9, "Fail", &CFakeCtl::Fail)
                .Property(DISPID_READYSTATE, "ReadyState", &CFakeCtl::GetReadyState)
                .Method(DISPID_ABOUTBOX, "AboutBox", &CFakeCtl::AboutBox)
                .Build();
        return table;
    }
    static const DispatchInterfaceInfo& DispatchInfo() { return Table().Info(); }
    static const DispatchInterfaceInfo& Events()
    {
        static const DispatchInterfaceInfo events{
            fakectl::kIidEvents,
            "_DFakeCtlEvents",
            {{fakectl::kEventPinged, "Pinged", false, VT_EMPTY, {VT_I4}},
             {fakectl::kEventTick, "Tick", false, VT_EMPTY, {VT_I4, VT_I4}},
             {DISPID_READYSTATECHANGE, "ReadyStateChange", false, VT_EMPTY, {VT_I4}}}};
        return events;
    }

private:
    std::string GetCaption() const { return m_caption; }
    void SetCaption(const std::string& caption)
    {
        m_caption = caption;
        SetModified();
        if (m_label != nullptr && Window() != nullptr) {
            m_label->SetLabel(wxString::FromUTF8(caption));
            Window()->Layout();
        }
    }
    std::int32_t GetCount() const { return m_count; }
    void SetCount(std::int32_t count)
    {
        m_count = count;
        SetModified();
    }
    double GetRatio() const { return m_ratio; }
    void SetRatio(double ratio) { m_ratio = ratio; }
    bool GetEnabled() const { return m_enabled; }
    void SetEnabled(bool enabled) { m_enabled = enabled; }
    std::int32_t GetReadyState() const { return 4; }

    std::int32_t Add(std::int32_t a, std::int32_t b) { return a + b; }
    double Scale(double value, std::int16_t factor) { return value * factor; }
    void Ping(std::int32_t value)
    {
        // From a worker thread, as the controls' listeners do.
        JoinBursts();
        m_bursts.emplace_back(
            [this, value] { FireEvent(fakectl::kEventPinged, {Variant(value)}); });
    }
    // threads workers fire Tick(thread, 0..count-1) each.
    void FireBurst(std::int16_t threads, std::int32_t count)
    {
        JoinBursts();
        for (std::int32_t t = 0; t < threads; ++t) {
            m_bursts.emplace_back([this, t, count] {
                for (std::int32_t i = 0; i < count; ++i) {
                    FireEvent(fakectl::kEventTick, {Variant(t), Variant(i)});
                }
            });
        }
    }
    void Fail() { throw std::runtime_error("asked to fail"); }
    void AboutBox()
    {
        if (Window() == nullptr) {
            return;
        }
        wxDialog about(Window(), wxID_ANY, "About Fake Control");
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        sizer->Add(new wxStaticText(&about, wxID_ANY, "Fake Control, Ver 1.0"), 0, wxALL, 16);
        sizer->Add(new wxButton(&about, wxID_OK), 0, wxALIGN_CENTER | wxBOTTOM, 12);
        about.SetSizerAndFit(sizer);
        about.ShowModal();
    }

    wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                             wxWindowID id) override
    {
        auto* panel = new wxPanel(parent, id, rect.GetPosition(), rect.GetSize(), style);
        panel->SetBackgroundColour(wxColour(40, 90, 160));
        m_label = new wxStaticText(panel, wxID_ANY, wxString::FromUTF8(m_caption));
        m_label->SetForegroundColour(*wxWHITE);
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        sizer->Add(m_label, 0, wxALL, 12);
        panel->SetSizer(sizer);
        return panel;
    }

    void JoinBursts()
    {
        for (std::thread& burst : m_bursts) {
            burst.join();
        }
        m_bursts.clear();
    }

    std::string m_caption = "Fake";
    std::int32_t m_count = 0;
    double m_ratio = 0.5;
    bool m_enabled = true;
    wxStaticText* m_label = nullptr;
    std::vector<std::thread> m_bursts;
};

class CFakePage final : public WxPropertyPage
{
public:
    explicit CFakePage(IUnknown* outer) : WxPropertyPage(outer, "General") {}

private:
    wxWindow* OnCreatePage(wxWindow* parent) override
    {
        auto* panel = new wxPanel(parent);
        auto* sizer = new wxBoxSizer(wxHORIZONTAL);
        sizer->Add(new wxStaticText(panel, wxID_ANY, "Caption:"), 0,
                   wxALIGN_CENTER_VERTICAL | wxALL, 8);
        m_caption = new wxTextCtrl(panel, wxID_ANY, Read("Caption"));
        sizer->Add(m_caption, 1, wxALIGN_CENTER_VERTICAL | wxALL, 8);
        panel->SetSizer(sizer);
        return panel;
    }
    void OnApply() override
    {
        if (Object() != nullptr && m_caption != nullptr && Page() != nullptr) {
            const Variant value(m_caption->GetValue().utf8_string());
            Object()->Invoke(1, DISPATCH_PROPERTYPUT, std::span<const Variant>(&value, 1), nullptr,
                             nullptr);
        }
    }
    wxString Read(const char* name) const
    {
        Variant value;
        DISPID id = DISPID_UNKNOWN;
        const std::string names[] = {name};
        if (Object() != nullptr && Succeeded(Object()->GetIDsOfNames(names, {&id, 1}))) {
            Object()->Invoke(id, DISPATCH_PROPERTYGET, {}, &value, nullptr);
        }
        return wxString::FromUTF8(VariantToText(value));
    }

    wxTextCtrl* m_caption = nullptr;
};

const CATID kCategories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};

const ComClassInfo kClasses[] = {
    {.clsid = fakectl::kClsidControl,
     .create = &CreateComInstance<CFakeCtl>,
     .progId = fakectl::kProgId,
     .typeName = "Fake Control",
     .miscStatus = 0x30191,
     .control = true,
     .insertable = true,
     .dispatchInfo = &CFakeCtl::DispatchInfo,
     .eventInfo = &CFakeCtl::Events,
     .categories = kCategories,
     .keepCategoryMarks = true},
    {.clsid = fakectl::kClsidPage,
     .create = &CreateComInstance<CFakePage>,
     .progId = fakectl::kPageProgId,
     .typeName = "Fake Control Property Page"},
};

const ComTypeLibInfo kTypeLibInfo{fakectl::kTypeLib, "QVFAKELib"};
const ComServerInfo kServer{kClasses, &kTypeLibInfo, kSafeControlCategories};

} // namespace

QV_COM_SERVER(kServer)
