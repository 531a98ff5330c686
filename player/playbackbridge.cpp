// The player's stream controller: the playback objects' QvAMovController
// behind player::StreamController, with the frame windows wrapped for it.
#include "player/playbackbridge.h"

#include "player/mainframe.h"
#include "player/model/framemodel.h"

#include "core/threads/qvmessage.h"
#include "playback/qvcontroller.h"
#include "playback/qvstreammsg.h"
#include "playback/wx/qvwxwnd.h"

#include <deque>
#include <dlfcn.h>

namespace player {

namespace {

QvRect ToQvRect(const PlayerRect& rect)
{
    return {rect.left, rect.top, rect.right, rect.bottom};
}

// Moves a child window to another parent without re-creating its native
// window, so a video sink drawing into it (from its own thread) never meets
// a destroyed window; wx's own Reparent re-creates it. GTK is looked up in
// the process, which loaded it with wx; without it wx's Reparent is used.
void MoveChildKeepingNativeWindow(wxWindow* window, wxWindow* parent)
{
    using ReparentFn = void (*)(void* widget, void* newParent);
    using RealizedFn = int (*)(void* widget);
    static const auto reparent =
        reinterpret_cast<ReparentFn>(dlsym(RTLD_DEFAULT, "gtk_widget_reparent"));
    static const auto realized =
        reinterpret_cast<RealizedFn>(dlsym(RTLD_DEFAULT, "gtk_widget_get_realized"));
    void* widget = window->GetHandle();
    void* target = parent->GetHandle();
    const wxRect rect = window->GetRect();
    if (reparent != nullptr && realized != nullptr && widget != nullptr && target != nullptr &&
        realized(widget) != 0 && realized(target) != 0) {
        window->wxWindowBase::Reparent(parent); // wx's bookkeeping only
        reparent(widget, target);
    } else {
        window->Reparent(parent);
    }
    window->SetSize(rect);
}

class CPlayerStreamController final : public StreamController
{
public:
    bool IsInitialized() override { return m_controller.IsInitialized(); }
    bool Initialize(const PlayerRect& rect, FrameView& frame, QvPropertyList* list,
                    QvMessageQueue* queue) override
    {
        return m_controller.Initialize(ToQvRect(rect), WndOf(frame), list, queue);
    }
    void UnInitialize() override { m_controller.UnInitialize(); }
    int Play() override { return m_controller.Play(); }
    int Pause() override { return m_controller.Pause(); }
    int Stop() override { return m_controller.Stop(); }
    void SetPosition(double position) override { m_controller.SetPosition(position); }
    double GetPosition() override { return m_controller.GetPosition(); }
    double GetLength() override { return m_controller.GetLength(); }
    void SetVolume(int volume) override { m_controller.SetVolume(volume); }
    int GetVolume() override { return m_controller.GetVolume(); }
    int GetStreamState() override { return m_controller.GetStreamState(); }
    void SetFrame(FrameView& frame) override { m_controller.SetFrame(WndOf(frame)); }
    void SetDisplayMode(int mode) override { m_controller.SetDisplayMode(mode); }
    void NewWindow() override { m_controller.NewWindow(); }
    void Periodic() override { m_controller.Periodic(); }
    bool HasWindow() override { return m_controller.GetDisplayWindow() != nullptr; }
    void MoveWindow(const PlayerRect& rect) override { m_controller.MoveWindow(ToQvRect(rect)); }
    void LowerWindow() override
    {
        if (QvDisplayWnd* display = m_controller.GetDisplayWindow()) {
            display->LowerWindow();
        }
    }
    void MoveWindowTo(FrameView& frame) override
    {
        auto* target = dynamic_cast<CMainFrame*>(&frame);
        wxWindow* window = QvGetWxWindow(m_controller.GetDisplayWindow());
        if (target == nullptr || window == nullptr) {
            return;
        }
        MoveChildKeepingNativeWindow(window, target);
        m_controller.MoveWindow(ToQvRect(frame.VideoArea()));
    }

private:
    // The wrapper of a frame; the last few stay alive, since the controller
    // keeps the one it was given until it is given another.
    QvWnd* WndOf(FrameView& frame)
    {
        auto* window = dynamic_cast<CMainFrame*>(&frame);
        for (const auto& wnd : m_wnds) {
            if (wnd->GetWindow() == window) {
                return wnd.get();
            }
        }
        m_wnds.push_back(std::make_unique<QvWxWnd>(window));
        if (m_wnds.size() > kWrappersKept) {
            m_wnds.pop_front();
        }
        return m_wnds.back().get();
    }

    static constexpr std::size_t kWrappersKept = 4;
    QvAMovController m_controller;
    std::deque<std::unique_ptr<QvWxWnd>> m_wnds;
};

// The frame model knows the value without the playback headers.
static_assert(FrameModel::kUndecodableValue == QvStreamMessage::kUndecodable);

class CStreamMessageHandler final : public QvStreamMessage
{
public:
    explicit CStreamMessageHandler(std::function<void(int, unsigned long)> onMessage)
        : m_onMessage(std::move(onMessage))
    {
    }
    void HandleMessage(QvMessage* message) override
    {
        if (auto* stream = dynamic_cast<QvStreamMessage*>(message)) {
            m_onMessage(stream->type, stream->value);
        }
    }

private:
    std::function<void(int, unsigned long)> m_onMessage;
};

} // namespace

std::unique_ptr<StreamController> CreateStreamController()
{
    return std::make_unique<CPlayerStreamController>();
}

std::unique_ptr<QvMessage>
CreateStreamMessageHandler(std::function<void(int, unsigned long)> onMessage)
{
    return std::make_unique<CStreamMessageHandler>(std::move(onMessage));
}

} // namespace player
