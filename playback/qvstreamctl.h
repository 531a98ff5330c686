#pragma once
// The stream controls: the objects that drive one graph for the stream
// controller, a live multicast stream (qvlivectl.h) or a local file
// (qvfilectl.h).
//
// Stream state (GetStreamState):
//   0 stopped, 1 paused, 2 playing, 0x12 waiting for the live stream
//   (listener running), 0x22 buffering (receiver running, no graph yet).
// A state whose low four bits are 2 counts as already playing for Play.
//
// What the two controls share lives here: Play, Pause and the position,
// the start of playback at the start threshold, the first step of a data
// timeout, making and releasing
// the graph, posting stream messages, the volume mapping, fitting the video
// into the display window, the video window's display mode and message
// drain. Each control fills in small hooks: how its graph is rendered, what
// goes with a released graph, and what a data timeout does. All of it runs
// on the host's user-interface thread.

#include "core/threads/qvobject.h"

#include "platform/com/unknown.h"
#include "playback/qvamovdata.h"
#include "playback/qvplaybackexport.h"
#include "playback/qvwnd.h"

class QV_PLAYBACK_API QvIStreamControl : public QvObject
{
public:
    static constexpr int kStopped = 0;
    static constexpr int kPaused = 1;
    static constexpr int kPlaying = 2;
    static constexpr int kWaiting = 0x12;
    static constexpr int kBuffering = 0x22;

    // The volume the controls start with (0..100).
    static constexpr int kFullVolume = 100;

    QvIStreamControl() = default;
    QvIStreamControl(const QvIStreamControl&) = delete;
    QvIStreamControl& operator=(const QvIStreamControl&) = delete;
    ~QvIStreamControl() override;

    // From 1: PlayContinue; from a state whose low four bits are 2: -1;
    // otherwise PlayPreInit. 0 unless -1.
    virtual int Play();
    // From 2 with a graph: pauses it, OnGraphPaused, posts 2 (→ 1); from 2
    // without one: 0, nothing else; from any other state: -1.
    virtual int Pause();
    virtual int Stop();
    // Puts the graph's position, when there is a graph.
    virtual void SetPosition(double position);
    virtual double GetPosition();
    virtual double GetLength();
    virtual int GetStreamState();
    // 0..100 (clamped), mapped onto hundredths of a decibel:
    // -(10 ^ (4 - v * 0.030003...)) truncated, so 100 → -9, 50 → -316,
    // 0 → -10000. Kept for graphs made later.
    virtual void SetVolume(int volume);
    // The graph's volume mapped back, (4 - log10 |a|) * 33.33 truncated;
    // without a graph or audio, the last value set.
    virtual int GetVolume();
    // The frame window has changed (the data block holds the new one).
    virtual void SetFrame(QvWnd* frame);
    // Non-zero: the video full screen; 0: back into the display window.
    virtual void SetDisplayMode(int mode);
    // The display window's client area changed: refits the video.
    virtual void SetDisplayPos(const QvRect& client);
    virtual void NewWindow();
    virtual void Periodic();
    virtual void PostCreate();

    // Called by the controller for the int messages of the workers.
    // PlayStart: posts 49, builds the graph (unless paused), runs it and
    // posts 1 (state 2); a graph that cannot be built posts 3 (state 0).
    virtual void PlayStart();
    // In state 2 or 0x22: OnDataEnded. Returns 0.
    virtual int OnDataTimeout();
    // In state 0x22: PlayStart. Returns 0.
    virtual int OnStartThreshold();
    virtual int OnStreamReady() = 0;

    void SetQvData(QvData* data) override;

    // Where the video goes in the display window's client area (left, top,
    // width, height), fitted to the picture's aspect ratio when that option
    // is on, and then, unless ShowLine1 is on, without the picture's first
    // line; `out` stays unchanged without a graph or a picture size.
    void ComputePos(qvplat::VideoRect& out);

    // The mappings between the 0..100 scale and hundredths of a decibel.
    static long VolumeToLevel(int volume);
    static int LevelToVolume(long level);

protected:
    // Sends QvStreamMessage(number, value) to the host's queue, when it has
    // one.
    void Post(int number, unsigned long value = 0);
    // A new graph from the services, rendering to the sinks the settings
    // name ("VideoSink", "AudioSink"), with the display window as its video
    // owner and the volume last set; null when none can be made.
    std::unique_ptr<qvplat::MediaGraph> MakeGraph();
    // "Creating FilterGraph": a new graph, rendered by RenderGraph and
    // attached (the data block holds it); false when a graph exists already
    // or none can be made or rendered (logged).
    bool CreateFilterGraph();
    // Stops and releases the graph, then its source (the state becomes 0).
    // Nothing happens without a graph.
    void DestroyFilterGraph();

    // Hooks of the controls.
    // Play from 0 (the first step of playback), and from 1.
    virtual void PlayPreInit() = 0;
    virtual void PlayContinue() = 0;
    // Pause has paused the graph (the state is still 2).
    virtual void OnGraphPaused() {}
    // Gives the new graph its source and renders it; false, with the log
    // line written, when it cannot.
    virtual bool RenderGraph(qvplat::MediaGraph& graph) = 0;
    // A graph (rendered or not) is gone; its source goes next.
    virtual void OnGraphReleased() {}
    // PlayStart could not build a graph (here: the state becomes 0 and 3 is
    // posted) / ran the graph it built.
    virtual void OnGraphFailed();
    virtual void OnGraphRunning() {}
    // The data stopped while playing or buffering.
    virtual void OnDataEnded() = 0;

    // After a render: the message drain, the video placed in the display
    // window. The graph goes into the data block.
    void AttachGraph(std::unique_ptr<qvplat::MediaGraph> graph);
    // Stops the graph, hides its video, lets go of the owner and deletes it;
    // the state becomes 0. Nothing happens without a graph.
    void ReleaseGraph();

    QvAMovData* m_amov = nullptr;
    int m_state = kStopped;
    int m_volume = kFullVolume;
    // A live graph runs before its first picture has come; playing (1) is
    // posted once it is there (Periodic).
    bool m_firstPicturePending = false;
    // Whether SetVolume and GetVolume write their debug lines.
    bool m_volumeDebug = false;
    // The source filter of the graph, when it has one of its own.
    qvplat::ComPtr<qvplat::IUnknown> m_sourceFilter;
};

// Stores a data block, and nothing else.
class QV_PLAYBACK_API QvIWindow
{
public:
    QvIWindow() = default;
    QvIWindow(const QvIWindow&) = default;
    QvIWindow& operator=(const QvIWindow&) = default;
    virtual ~QvIWindow();

    void SetQvData(QvData* data) { m_data = data; }
    QvData* GetQvData() const { return m_data; }

private:
    QvData* m_data = nullptr;
};
