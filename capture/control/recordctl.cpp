// The capture control's component server recordctl: the control
// "RECORDCTL.RecordCtlCtrl.1" with its status window, settings dialog and
// property page. Its behaviour lives in QvRecordControl.
#include "capture/control/model/qvrecordcontrol.h"
#include "capture/control/recordctlwnd.h"
#include "platform/com/server.h"
#include "platform/com/wx/wxcontrol.h"
#include "platform/ui/wx/wxaboutbox.h"

using namespace qvplat;

namespace {

constexpr CLSID kClsidControl = MakeGuid("{D99A7F0B-79FB-4FBE-B047-FABB6EF170BC}");
constexpr CLSID kClsidPropPage = MakeGuid("{C7382F43-6B0E-4D55-A6CF-ACBAC3848F9F}");
constexpr GUID kTypeLib = MakeGuid("{675B243D-E915-4FE7-A382-86B18F21DFDB}");
constexpr IID kIidDispatch = MakeGuid("{1AA548A5-EC4D-4277-BE3F-2BD67833500B}");
constexpr IID kIidEvents = MakeGuid("{4101352A-942D-4A44-A855-A203579CD56C}");
constexpr DISPID kEventCompleted = 1;

class CRecordCtlCtrl final : public WxComControl, private QvRecordControl::Observer
{
public:
    explicit CRecordCtlCtrl(IUnknown* outer)
        : WxComControl(outer, Table(), &Events(), {kClsidPropPage}), m_model(*this, {})
    {
    }
    ~CRecordCtlCtrl() override { DestroyControlWindow(); }

    static const DispatchTable& Table()
    {
        static const DispatchTable table =
            DispatchTableBuilder<CRecordCtlCtrl>(kIidDispatch, "_DRecordCtl")
                .Property(1, "Duration", &CRecordCtlCtrl::GetDuration, &CRecordCtlCtrl::SetDuration)
                .Property(2, "StopThreshold", &CRecordCtlCtrl::GetStopThreshold,
                          &CRecordCtlCtrl::SetStopThreshold)
                .Property(3, "PropList", &CRecordCtlCtrl::GetPropList, &CRecordCtlCtrl::SetPropList)
                .Method(4, "GetStartTime", &CRecordCtlCtrl::GetStartTime)
                .Method(5, "GetElapsedTime", &CRecordCtlCtrl::GetElapsedTime)
                .Method(6, "Start", &CRecordCtlCtrl::Start)
                .Method(7, "Stop", &CRecordCtlCtrl::Stop)
                .Method(8, "Initialize", &CRecordCtlCtrl::Initialize)
                .Method(9, "AddProp", &CRecordCtlCtrl::AddProp)
                .Method(10, "CanCapture", &CRecordCtlCtrl::CanCapture)
                .Method(11, "GetState", &CRecordCtlCtrl::GetState)
                .Method(12, "Lock", &CRecordCtlCtrl::Lock)
                .Method(13, "Unlock", &CRecordCtlCtrl::Unlock)
                .Method(14, "GetFreeDiskSpace", &CRecordCtlCtrl::GetFreeDiskSpace)
                .Method(15, "GetTotalDiskSpace", &CRecordCtlCtrl::GetTotalDiskSpace)
                .Method(16, "GetBytesCaptured", &CRecordCtlCtrl::GetBytesCaptured)
                .Method(17, "AvailableCaptureSlots", &CRecordCtlCtrl::AvailableCaptureSlots)
                .Method(18, "EditCaptureSettings", &CRecordCtlCtrl::EditCaptureSettings)
                .Method(DISPID_ABOUTBOX, "AboutBox", &CRecordCtlCtrl::AboutBox)
                .Build();
        return table;
    }
    static const DispatchInterfaceInfo& DispatchInfo() { return Table().Info(); }
    static const DispatchInterfaceInfo& Events()
    {
        static const DispatchInterfaceInfo events{
            kIidEvents,
            "_DRecordCtlEvents",
            {{kEventCompleted, "Completed", false, VT_EMPTY, {VT_I4}}}};
        return events;
    }

    HRESULT SetClientSite(IQvControlSite* site) override
    {
        const HRESULT hr = WxComControl::SetClientSite(site);
        m_model.SetDispatcher(Dispatcher());
        return hr;
    }

private:
    std::int32_t GetDuration() { return m_model.GetDuration(); }
    void SetDuration(std::int32_t seconds)
    {
        m_model.SetDuration(seconds);
        SetModified();
    }
    double GetStopThreshold() { return m_model.GetStopThreshold(); }
    void SetStopThreshold(double threshold)
    {
        m_model.SetStopThreshold(threshold);
        SetModified();
    }
    std::string GetPropList() { return {}; }
    void SetPropList(const std::string&) { SetModified(); }
    std::int32_t GetStartTime() { return m_model.GetStartTime(); }
    std::int32_t GetElapsedTime() { return m_model.GetElapsedTime(); }
    std::int32_t Start() { return m_model.Start(); }
    std::int32_t Stop() { return m_model.Stop(); }
    std::int32_t Initialize() { return m_model.Initialize(); }
    std::int32_t AddProp(const std::string& name, const std::string& value)
    {
        return m_model.AddProp(name, value);
    }
    bool CanCapture() { return m_model.CanCapture(); }
    std::int32_t GetState() { return m_model.GetState(); }
    std::int32_t Lock() { return 0; }
    void Unlock() { m_model.Unlock(); }
    double GetFreeDiskSpace(const std::string& directory)
    {
        return QvRecordControl::GetFreeDiskSpace(directory);
    }
    double GetTotalDiskSpace(const std::string& directory)
    {
        return QvRecordControl::GetTotalDiskSpace(directory);
    }
    double GetBytesCaptured() { return m_model.GetBytesCaptured(); }
    std::int32_t AvailableCaptureSlots() { return m_model.AvailableCaptureSlots(); }
    std::int16_t EditCaptureSettings()
    {
        return m_model.EditCaptureSettings([this](const QvRecordControl::CaptureSettings& shown) {
            return RunCaptureSettingsDialog(Window(), shown);
        });
    }
    void AboutBox()
    {
        ShowAboutBox(Window(), "About RecordCtl Control", "RecordCtl Control, Version 1.0");
    }

    // QvRecordControl::Observer
    void OnStatusStart(std::int32_t duration) override
    {
        if (CRecordCtlStatusWnd* window = StatusWindow()) {
            window->StartStatus(duration);
        }
    }
    void OnStatusStop() override
    {
        if (CRecordCtlStatusWnd* window = StatusWindow()) {
            window->StopTimer();
        }
    }
    void OnCompleted(std::int32_t reason) override
    {
        FireEvent(kEventCompleted, {Variant(reason)});
    }

    wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                             wxWindowID id) override
    {
        auto* window =
            new CRecordCtlStatusWnd(parent, id, rect, style, m_model, [this] { m_model.Stop(); });
        m_model.OnWindowCreated();
        return window;
    }
    CRecordCtlStatusWnd* StatusWindow() const
    {
        return static_cast<CRecordCtlStatusWnd*>(Window());
    }

    QvRecordControl m_model;
};

// What the control's "General" property page shows.
constexpr char kPageText[] = "RecordCtl Control";

const CATID kCategories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};

const ComClassInfo kClasses[] = {
    {.clsid = kClsidControl,
     .create = &CreateComInstance<CRecordCtlCtrl>,
     .progId = "RECORDCTL.RecordCtlCtrl.1",
     .typeName = "RecordCtl Control",
     .miscStatus = 0x20191,
     .control = true,
     .insertable = true,
     .dispatchInfo = &CRecordCtlCtrl::DispatchInfo,
     .eventInfo = &CRecordCtlCtrl::Events,
     .categories = kCategories},
    {.clsid = kClsidPropPage,
     .create = &CreateGeneralPropertyPage<kPageText>,
     .progId = "RECORDCTL.RecordCtlPropPage.1",
     .typeName = "RecordCtl Property Page"},
};

const ComTypeLibInfo kTypeLibInfo{kTypeLib, "RECORDCTLLib", "1.0"};
const ComServerInfo kServer{kClasses, &kTypeLibInfo, kSafeControlCategories};

} // namespace

QV_COM_SERVER(kServer)
