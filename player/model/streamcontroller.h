#pragma once
// The stream controller as the player drives it: the operations of the
// playback objects' controller that the control, its frame and its dialogs
// call, all on the user-interface thread. The player's window code wraps
// the real controller in this interface; tests give a fake.

class QvMessageQueue;
class QvPropertyList;

namespace player {

class FrameView;

// Left, top, right, bottom; right and bottom exclusive.
struct PlayerRect
{
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    bool operator==(const PlayerRect&) const = default;
};

class StreamController
{
public:
    virtual ~StreamController() = default;

    virtual bool IsInitialized() = 0;
    // Makes the controller's window in the frame at rect and chooses the
    // stream from the list (copied); stream messages go to queue. False when
    // the settings name no stream or the window cannot be made.
    virtual bool Initialize(const PlayerRect& rect, FrameView& frame, QvPropertyList* list,
                            QvMessageQueue* queue) = 0;
    // Stops and lets go of the stream and destroys the window.
    virtual void UnInitialize() = 0;

    virtual int Play() = 0;
    virtual int Pause() = 0;
    virtual int Stop() = 0;
    virtual void SetPosition(double position) = 0;
    virtual double GetPosition() = 0;
    virtual double GetLength() = 0;
    virtual void SetVolume(int volume) = 0;
    virtual int GetVolume() = 0;
    virtual int GetStreamState() = 0;
    // The frame that receives the video's mouse and keyboard input.
    virtual void SetFrame(FrameView& frame) = 0;
    // Non-zero: the video full screen; 0: back in the window.
    virtual void SetDisplayMode(int mode) = 0;
    virtual void NewWindow() = 0;
    // On the frame's 500 ms timer.
    virtual void Periodic() = 0;

    // The controller's window.
    virtual bool HasWindow() = 0;
    virtual void MoveWindow(const PlayerRect& rect) = 0;
    // Beneath its siblings, without moving it.
    virtual void LowerWindow() = 0;
    // Moves the window, with the video it shows, into another frame's video
    // area (the frame that replaces the current one).
    virtual void MoveWindowTo(FrameView& frame) = 0;
};

} // namespace player
