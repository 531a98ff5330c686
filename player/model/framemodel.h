#pragma once
// The player frame without its windows: Play, Pause and Stop on the stream
// controller with the toolbar states that go with them, the reactions to
// the controller's stream messages, and the commands that change the
// player's settings (a chosen or dropped file, a restart).

#include "player/model/animationclock.h"
#include "player/model/playercontext.h"

#include <cstddef>
#include <string>

class QvMessage;

namespace player {

// The frame window as the model sees it.
class FrameView : public ToolbarView, public TimerHost
{
public:
    // The client area less the toolbar while it is shown.
    virtual PlayerRect VideoArea() = 0;
    // Loads the named animation into the animation window, shows it from
    // its first image and places it; or hides the window.
    virtual void ShowAnimation(const std::string& name) = 0;
    virtual void HideAnimation() = 0;
    // Queues a command to the frame itself.
    virtual void PostCommand(int command) = 0;
    // A message box without caption.
    virtual void ShowMessage(const std::string& text) = 0;
    // Repaints what is invalid now.
    virtual void UpdateWindow() = 0;
};

class FrameModel
{
public:
    FrameModel(QvPlayerContext& context, FrameView& view);

    // After the frame's toolbar exists: the button states, snapshot and
    // capture disabled, the running controller moved to this frame, the
    // toolbar height and the 500 ms message timer.
    void OnCreate();

    void OnPlay();
    void OnPause();
    void OnStop();
    // Command 111 from the channel dialog: stop, then play.
    void OnRestart();

    // Timer 1: the stream messages, each through `handler` (whose hooks
    // call OnStreamMessage), then the controller's Periodic. Timer 2: the
    // controller's window beneath its siblings.
    void OnTimer(int id, QvMessage* handler);

    // What the frame does on stream message `number` with its value.
    void OnStreamMessage(int number, unsigned long value = 0);
    // The value of a waiting message (17) posted because the stream that
    // came cannot be decoded; the user is told so once per Play.
    static constexpr unsigned long kUndecodableValue = 1;
    static constexpr const char* kUndecodableText = "Decoder cannot render the stream.";

    // The toolbar's window-mode buttons, before the command goes to the
    // control: 32777 hides embed and shows popup, 32776 the reverse.
    void OnEmbedCommand();
    void OnPopupCommand();

    // A file chosen in the open dialog: Stop, Filename set, Address and Port
    // cleared, Play.
    void OnFileChosen(const std::string& path);
    // A dropped file: Stop, its section "QV" (when it has one) replaces the
    // settings of the same names, Play. A name longer than kMaxDroppedPath
    // changes nothing (a line in the debug log); false then.
    bool OnFileDropped(const std::string& path);
    static constexpr std::size_t kMaxDroppedPath = 260;

    // The toolbar shown or hidden: the flag flips and the controller's
    // window is refitted.
    void OnToggleToolbar();
    // Refits the controller's window to the video area.
    void FitVideo();

private:
    void ShowAnimation(const char* name);
    bool ControllerReady() const;

    QvPlayerContext& m_context;
    FrameView& m_view;
    // The undecodable stream was reported since the last Play.
    bool m_undecodableShown = false;
};

} // namespace player
