// tunerlist: the channel list control. The page starts its SAP directory,
// asks about entries and hears when the directory changed and which program
// the user double-clicked. The behaviour is in model/; here are the dispatch
// table, the window and the registration.
#include "lists/common/listpanel.h"
#include "lists/tunerlist/model/tunerlistmodel.h"

#include "platform/com/server.h"
#include "platform/com/wx/wxcontrol.h"
#include "platform/ui/wx/wxaboutbox.h"

#include <algorithm>
#include <limits>

using namespace qvplat;

namespace {

constexpr CLSID kClsidControl = MakeGuid("{AAB3CB4B-395E-4735-841F-6C20C6337DDC}");
constexpr CLSID kClsidPropPage = MakeGuid("{E7AD4599-1605-4039-B3AB-0DE88CA0F2EB}");
constexpr GUID kTypeLib = MakeGuid("{CC76910D-CC2C-48E6-9C43-D70AA6D86029}");
constexpr IID kIidDispatch = MakeGuid("{9571D7DF-3B85-41FC-A2AE-914C6387ED8C}");
constexpr IID kIidEvents = MakeGuid("{88ADF594-FCA5-4ECA-8042-CF058DD86CDB}");

constexpr DISPID kEventDbChange = 1;     // OnDbChange()
constexpr DISPID kEventItemSelected = 2; // OnItemSelected(short item, text sdp)

constexpr wxWindowID kListViewId = 209;
constexpr int kChangeTimerId = 5;
constexpr int kChangeTimerMs = 500;

constexpr qvlists::ListColumn kColumns[] = {{"Program", 120}, {"Port", 50}, {"Address", 80},
                                            {"Mux", 40},      {"Mbps", 40}, {"Source", 80}};
static_assert(std::size(kColumns) == tunerlist::kColumnCount);

std::int16_t ToShort(int value)
{
    return static_cast<std::int16_t>(std::clamp<int>(
        value, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

class CTunerListCtrl final : public WxComControl
{
public:
    explicit CTunerListCtrl(IUnknown* outer)
        : WxComControl(outer, Table(), &Events(), {kClsidPropPage})
    {
    }
    ~CTunerListCtrl() override
    {
        // The window reads the model's rows: it goes first.
        DestroyControlWindow();
        m_model.Stop();
    }

    static const DispatchTable& Table()
    {
        static const DispatchTable table =
            DispatchTableBuilder<CTunerListCtrl>(kIidDispatch, "_DTunerList")
                .Method(1, "GetItemValue", &CTunerListCtrl::GetItemValue)
                .Method(2, "NumItems", &CTunerListCtrl::NumItems)
                .Method(3, "GetSDP", &CTunerListCtrl::GetSDP)
                .Method(4, "Start", &CTunerListCtrl::Start)
                .Method(5, "Stop", &CTunerListCtrl::Stop)
                .Method(DISPID_ABOUTBOX, "AboutBox", &CTunerListCtrl::AboutBox)
                .Build();
        return table;
    }
    static const DispatchInterfaceInfo& DispatchInfo() { return Table().Info(); }
    static const DispatchInterfaceInfo& Events()
    {
        static const DispatchInterfaceInfo events{
            kIidEvents,
            "_DTunerListEvents",
            {{kEventDbChange, "OnDbChange", false, VT_EMPTY, {}},
             {kEventItemSelected, "OnItemSelected", false, VT_EMPTY, {VT_I2, VT_BSTR}}}};
        return events;
    }

private:
    std::string GetItemValue(std::int16_t item, const std::string& name)
    {
        return m_model.GetItemValue(item, name);
    }
    std::int16_t NumItems() { return ToShort(m_model.NumItems()); }
    std::string GetSDP(std::int16_t item) { return m_model.GetSDP(item); }
    std::int32_t Start() { return m_model.Start(); }
    void Stop() { m_model.Stop(); }
    void AboutBox()
    {
        ShowAboutBox(Window(), "About TunerList Control", "TunerList Control, Version 1.0");
    }

    wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                             wxWindowID id) override
    {
        qvlists::ListStyle list;
        list.listId = kListViewId;
        auto* panel = new qvlists::CListPanel(
            parent, id, rect, style, list, kColumns,
            [this](long row, long column) {
                const auto& rows = m_model.Rows();
                return row >= 0 && static_cast<std::size_t>(row) < rows.size()
                           ? rows[static_cast<std::size_t>(row)]->texts.at(
                                 static_cast<std::size_t>(column))
                           : std::string();
            },
            [this](long row) { OnRowActivated(row); });
        m_panel = panel;
        // A list made now shows what the directory held at its last change.
        m_panel->Reload(static_cast<long>(m_model.Rows().size()), -1);
        panel->StartTimer(kChangeTimerId, kChangeTimerMs, [this] { OnChangeTimer(); });
        panel->Bind(wxEVT_DESTROY, [this, panel](wxWindowDestroyEvent& event) {
            if (event.GetEventObject() == panel) {
                panel->StopTimer();
                m_panel = nullptr;
            }
            event.Skip();
        });
        return panel;
    }

    void OnClose() override
    {
        m_model.Stop();
        WxComControl::OnClose();
    }

    void OnChangeTimer()
    {
        const long selected = m_panel->Selected();
        const auto& before = m_model.Rows();
        const std::string key = selected >= 0 && static_cast<std::size_t>(selected) < before.size()
                                    ? before[static_cast<std::size_t>(selected)]->key
                                    : std::string();
        if (!m_model.Refresh()) {
            return;
        }
        m_panel->Reload(static_cast<long>(m_model.Rows().size()),
                        key.empty() ? -1 : m_model.FindRow(key));
        FireEvent(kEventDbChange);
    }

    void OnRowActivated(long row)
    {
        if (const auto selection = m_model.Select(row)) {
            const std::int16_t item = selection->entry <= std::numeric_limits<std::int16_t>::max()
                                          ? static_cast<std::int16_t>(selection->entry)
                                          : std::int16_t{-1};
            FireEvent(kEventItemSelected, {Variant(item), Variant(selection->sdp)});
        }
    }

    tunerlist::TunerListModel m_model;
    qvlists::CListPanel* m_panel = nullptr;
};

const CATID kCategories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};

const ComClassInfo kClasses[] = {
    {.clsid = kClsidControl,
     .create = &CreateComInstance<CTunerListCtrl>,
     .progId = "TUNERLIST.TunerListCtrl.1",
     .typeName = "TunerList Control",
     .miscStatus = 0x30191,
     .control = true,
     .insertable = true,
     .dispatchInfo = &CTunerListCtrl::DispatchInfo,
     .eventInfo = &CTunerListCtrl::Events,
     .categories = kCategories},
    {.clsid = kClsidPropPage,
     .create = &CreateGeneralPropertyPage<>,
     .progId = "TUNERLIST.TunerListPropPage.1",
     .typeName = "TunerList Property Page"},
};

const ComTypeLibInfo kTypeLibInfo{kTypeLib, "TUNERLISTLib", "1.0"};
const ComServerInfo kServer{kClasses, &kTypeLibInfo, kSafeControlCategories};

} // namespace

QV_COM_SERVER(kServer)
