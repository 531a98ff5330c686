// cliplist: the file list control. Lists the MPEG files of one directory
// with their size, stream type, bit rate and date, rescans every 5 seconds
// and tells the page when the list changed and which file the user
// double-clicked. The behaviour is in model/; here are the dispatch table,
// the list dialog and the registration.
#include "lists/cliplist/model/filelistmodel.h"
#include "lists/common/listpanel.h"

#include "platform/com/server.h"
#include "platform/com/wx/wxcontrol.h"
#include "platform/ui/wx/wxaboutbox.h"

#include <algorithm>
#include <limits>

using namespace qvplat;

namespace {

constexpr CLSID kClsidControl = MakeGuid("{72BD11F6-B3C4-4FD6-BB53-5F2D75AEA972}");
constexpr CLSID kClsidPropPage = MakeGuid("{46909453-C35F-4829-8E01-3EB051B38188}");
constexpr GUID kTypeLib = MakeGuid("{4632F476-F8A6-41B0-AC81-12C57BC82560}");
constexpr IID kIidDispatch = MakeGuid("{B3D07FEE-FE48-4A92-8CFE-0DD237211E52}");
constexpr IID kIidEvents = MakeGuid("{FCC6FF87-6FE1-4FA7-A3FD-2397CDC7EF1F}");

constexpr DISPID kEventDbChange = 1;     // OnDbChange()
constexpr DISPID kEventItemSelected = 2; // OnItemSelected(short item, text Path)

constexpr wxWindowID kSmallDialogId = 201;
constexpr wxWindowID kLargeDialogId = 203;
constexpr wxWindowID kListId = 201;
constexpr int kRescanTimerId = 5;
constexpr int kRescanMs = 5000;

constexpr qvlists::ListColumn kSmallColumns[] = {
    {"Name", 120}, {"Size", 50}, {"Mux", 50}, {"Mbps", 40}, {"Date", 100}};
constexpr qvlists::ListColumn kLargeColumns[] = {
    {"Name", 240}, {"Size", 100}, {"Mux", 100}, {"Mbps", 80}, {"Date", 200}};
static_assert(std::size(kSmallColumns) == cliplist::kColumnCount);

std::int16_t ToShort(std::size_t value)
{
    return static_cast<std::int16_t>(
        std::min<std::size_t>(value, std::numeric_limits<std::int16_t>::max()));
}

qvlists::ListStyle DialogStyle(bool bigFont)
{
    qvlists::ListStyle style;
    style.listId = kListId;
    style.pointSize = bigFont ? 14 : 8;
    style.singleSelection = !bigFont;
    style.clickableHeader = bigFont;
    return style;
}

// The list dialog: the list, its model and the rescan timer.
class CFileListDlg final : public qvlists::CListPanel
{
public:
    using ChangedFn = std::function<void()>;
    using SelectedFn = std::function<void(std::int16_t row, const std::string& path)>;

    CFileListDlg(wxWindow* parent, const wxRect& rect, long style, bool bigFont, ChangedFn changed,
                 SelectedFn selected)
        : CListPanel(
              parent, bigFont ? kLargeDialogId : kSmallDialogId, rect, style, DialogStyle(bigFont),
              bigFont ? std::span<const qvlists::ListColumn>(kLargeColumns)
                      : std::span<const qvlists::ListColumn>(kSmallColumns),
              [this](long row, long column) {
                  return static_cast<std::size_t>(row) < m_model.NumRows()
                             ? m_model.Row(static_cast<std::size_t>(row))
                                   .texts.at(static_cast<std::size_t>(column))
                             : std::string();
              },
              [this](long row) { OnRowActivated(row); }),
          m_model(!bigFont), m_changed(std::move(changed)), m_selected(std::move(selected))
    {
        m_model.ReadSettings();
    }

    cliplist::FileListModel& Model() { return m_model; }

    std::int32_t Start()
    {
        if (m_model.Start()) {
            Rescan();
            StartTimer(kRescanTimerId, kRescanMs, [this] { Rescan(); });
        }
        return 0;
    }
    void Stop()
    {
        StopTimer();
        m_model.Stop();
    }

private:
    void Rescan()
    {
        const long selected = Selected();
        const std::string path =
            selected >= 0 && static_cast<std::size_t>(selected) < m_model.NumRows()
                ? m_model.Row(static_cast<std::size_t>(selected)).item.path
                : std::string();
        if (m_model.Rescan()) {
            Reload(static_cast<long>(m_model.NumRows()), path.empty() ? -1 : m_model.FindRow(path));
            m_changed();
        }
    }
    void OnRowActivated(long row)
    {
        if (static_cast<std::size_t>(row) < m_model.NumRows()) {
            m_selected(ToShort(static_cast<std::size_t>(row)),
                       m_model.Row(static_cast<std::size_t>(row)).item.path);
        }
    }

    cliplist::FileListModel m_model;
    ChangedFn m_changed;
    SelectedFn m_selected;
};

class CClipListCtrl final : public WxComControl
{
public:
    explicit CClipListCtrl(IUnknown* outer)
        : WxComControl(outer, Table(), &Events(), {kClsidPropPage})
    {
    }

    static const DispatchTable& Table()
    {
        static const DispatchTable table =
            DispatchTableBuilder<CClipListCtrl>(kIidDispatch, "_DClipList")
                .Property(1, "BigFont", &CClipListCtrl::GetBigFont, &CClipListCtrl::SetBigFont,
                          Persist::Yes)
                .Method(2, "GetItemValue", &CClipListCtrl::GetItemValue)
                .Method(3, "NumItems", &CClipListCtrl::NumItems)
                .Method(4, "SetProp", &CClipListCtrl::SetProp)
                .Method(5, "Start", &CClipListCtrl::Start)
                .Method(6, "Stop", &CClipListCtrl::Stop)
                .Method(DISPID_ABOUTBOX, "AboutBox", &CClipListCtrl::AboutBox)
                .Build();
        return table;
    }
    static const DispatchInterfaceInfo& DispatchInfo() { return Table().Info(); }
    static const DispatchInterfaceInfo& Events()
    {
        static const DispatchInterfaceInfo events{
            kIidEvents,
            "_DClipListEvents",
            {{kEventDbChange, "OnDbChange", false, VT_EMPTY, {}},
             {kEventItemSelected, "OnItemSelected", false, VT_EMPTY, {VT_I2, VT_BSTR}}}};
        return events;
    }

private:
    std::int16_t GetBigFont() const { return m_bigFont; }
    void SetBigFont(std::int16_t bigFont)
    {
        m_bigFont = bigFont;
        SetModified();
    }
    std::string GetItemValue(std::int16_t, const std::string&) { return {}; }
    std::int16_t NumItems()
    {
        CFileListDlg* dialog = Dialog();
        return dialog != nullptr ? ToShort(dialog->Model().NumRows()) : std::int16_t{0};
    }
    void SetProp(const std::string& name, const std::string& value)
    {
        if (CFileListDlg* dialog = Dialog()) {
            dialog->Model().SetProp(name, value);
        }
    }
    std::int32_t Start()
    {
        CFileListDlg* dialog = Dialog();
        return dialog != nullptr ? dialog->Start() : -1;
    }
    void Stop()
    {
        if (CFileListDlg* dialog = Dialog()) {
            dialog->Stop();
        }
    }
    void AboutBox() { ShowAboutBox(Window(), "About", "Veltora File List Control, Version 1.0"); }

    CFileListDlg* Dialog() const { return dynamic_cast<CFileListDlg*>(Window()); }

    wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style, wxWindowID) override
    {
        return new CFileListDlg(
            parent, rect, style, m_bigFont != 0, [this] { FireEvent(kEventDbChange); },
            [this](std::int16_t row, const std::string& path) {
                FireEvent(kEventItemSelected, {Variant(row), Variant(path)});
            });
    }

    std::int16_t m_bigFont = 0;
};

const CATID kCategories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};

const ComClassInfo kClasses[] = {
    {.clsid = kClsidControl,
     .create = &CreateComInstance<CClipListCtrl>,
     .progId = "CLIPLIST.ClipListCtrl.1",
     .typeName = "Veltora File List Control",
     .miscStatus = 0x30191,
     .control = true,
     .insertable = true,
     .dispatchInfo = &CClipListCtrl::DispatchInfo,
     .eventInfo = &CClipListCtrl::Events,
     .categories = kCategories},
    {.clsid = kClsidPropPage,
     .create = &CreateGeneralPropertyPage<>,
     .progId = "CLIPLIST.ClipListPropPage.1",
     .typeName = "Veltora File List Property Page"},
};

const ComTypeLibInfo kTypeLibInfo{kTypeLib, "CLIPLISTLib", "1.0"};
const ComServerInfo kServer{kClasses, &kTypeLibInfo, kSafeControlCategories};

} // namespace

QV_COM_SERVER(kServer)
