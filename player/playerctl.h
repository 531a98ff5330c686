#pragma once
// CPlayerCtlCtrl: the player control. It collects the configuration, owns
// the player's state, SAP directory and stream controller, opens the frame
// (embedded or popup) at each start-up and relays stream messages to the
// container as StreamEvent. Its behaviour is in model/controlmodel.h; the
// window of the control (CPlayerCtlWnd) only paints the background
// animation and passes messages on.

#include "player/model/animationclock.h"
#include "player/model/controlmodel.h"
#include "player/model/playerids.h"

#include "platform/com/wx/wxcontrol.h"

#include <wx/dc.h>

class CMainFrame;

class CPlayerCtlCtrl final : public qvplat::WxComControl, public player::ControlModel
{
public:
    explicit CPlayerCtlCtrl(qvplat::IUnknown* outer);
    ~CPlayerCtlCtrl() override;

    static const qvplat::DispatchTable& Table();
    static const qvplat::DispatchInterfaceInfo& DispatchInfo() { return Table().Info(); }
    static const qvplat::DispatchInterfaceInfo& EventInfo();

    // The persisted PropList and Profile texts.
    qvplat::HRESULT Load(const qvplat::PropertyBag& bag) override;
    qvplat::HRESULT Save(qvplat::PropertyBag& bag, bool clearDirty) override;

    // From the frame: queued to the control's window.
    void PostCommand(int id);
    void PostStreamMessage(int number);
    void PostDoubleClick();
    // The frame is going (whoever destroys it).
    void FrameDestroyed(CMainFrame* frame);

private:
    friend class CPlayerCtlWnd;

    // Automation.
    std::string GetProfileText() { return GetProfile(); }
    void SetProfileText(const std::string& path);
    std::string GetPropListText() { return GetPropList(); }
    void SetPropListText(const std::string& text);
    void Play();
    void Stop();
    void Pause();
    std::int32_t AddPropMethod(const std::string& name, const std::string& value);
    std::string FindPropMethod(const std::string& name) { return FindProp(name); }
    std::int32_t ClearPropMethod(const std::string& name) { return ClearProp(name); }
    std::int32_t ClearPropsMethod() { return ClearProps(); }
    void SetVolumeMethod(std::int16_t value) { ControlModel::SetVolume(value); }
    std::int16_t GetVolumeMethod();
    void SetPositionMethod(double position) { ControlModel::SetPosition(position); }
    double GetPositionMethod() { return ControlModel::GetPosition(); }
    double GetLengthMethod() { return ControlModel::GetLength(); }
    std::int16_t GetStreamStateMethod();
    std::int32_t GetReadyState() { return 4; }
    void AboutBox();

    wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                             wxWindowID id) override;
    void OnClose() override;

    // The control window's messages.
    void OnCreate();
    void OnStartup();
    void OnEmbedWindow();
    void OnPopupWindow();
    void OpenFrame(bool popup);
    void OnAdjust();
    void OnLButtonDblClk();
    void OnTimer(int id);
    void OnStreamMessage(int number);
    void OnSize();
    void OnDestroy();
    void PaintBackground(wxWindow& window, wxDC& dc);

    CMainFrame* Frame() const;

    player::BackgroundAnimation m_background{player::kControlBackgroundTimer};
    std::vector<wxBitmap> m_backgroundFrames;
    bool m_destroyed = false;
};
