#pragma once
// Media graphs: what the playback objects need of a decoding pipeline, and
// nothing more. A graph is built either around a source element that the
// caller supplies (a live stream) or from a file, decodes it and renders
// video and audio to sinks chosen by a setting:
//
//   source ! decodebin ! videoconvert ! videocrop ! videoscale ! capsfilter ! <video sink>
//                      ! audioconvert ! audioresample ! volume ! <audio sink>
//   file:  playbin with the same two branches as its sinks
//
// The branches are made when the decoder finds a stream of their kind, so a
// stream without audio (or video) prerolls as well.
//
// Video goes into a window of the host through VideoOwner: the graph asks
// the owner for a native child window (an X11 window id) and the sink draws
// into it; the owner keeps the window's input events, so the host decides
// where mouse and keys go. Sinks that have no window (fakesink) ignore all
// of this.
//
// Threads: every operation runs on the host's user-interface thread; the
// pipeline's own threads never call the owner. Events (completion, errors)
// are kept until PopEvent reads them, which never waits.
//
// This header needs no GStreamer headers; only the source element of a live
// graph is a GStreamer type.

#include <cstdint>
#include <memory>
#include <string>

typedef struct _GstElement GstElement;

namespace qvplat {

// A rectangle as left, top, width and height in pixels.
struct VideoRect
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    bool operator==(const VideoRect&) const = default;
};

// The window a graph shows its video in, seen from the graph; implemented
// by the host's window code. Called on the user-interface thread only.
class VideoOwner
{
public:
    virtual ~VideoOwner() = default;

    // The native window the video is drawn into: a child window of the
    // owner, made on first use. 0 when the owner has none.
    virtual std::uintptr_t AcquireVideoSurface() = 0;
    // Places that window in the owner's client area and shows or hides it.
    virtual void PlaceVideoSurface(const VideoRect& rect, bool visible) = 0;
    // The graph draws no more into the window; the owner may destroy it.
    virtual void ReleaseVideoSurface() = 0;
    // A native window covering the screen, in front of everything, its
    // size in `area`; 0 when the owner cannot give one.
    virtual std::uintptr_t EnterFullScreen(VideoRect& area) = 0;
    // Gives the full-screen window up again.
    virtual void LeaveFullScreen() = 0;
};

// Which sinks a graph renders to: element descriptions as gst-launch takes
// them ("ximagesink", "fakesink sync=true"). Tests and hosts without a
// display or sound use fakesink and fakeaudiosink.
struct MediaSinks
{
    static constexpr const char* kDefaultVideo = "ximagesink";
    static constexpr const char* kDefaultAudio = "autoaudiosink";

    std::string video = kDefaultVideo;
    std::string audio = kDefaultAudio;
};

// What PopEvent hands out.
enum class MediaEvent {
    None,     // nothing pending
    Complete, // every sink reached the end of the stream
    Error,    // an element failed; the graph does no more
};

struct MediaVideoStats
{
    std::uint64_t rendered = 0;
    std::uint64_t dropped = 0;
};

class MediaGraph
{
public:
    // How long Render waits for the preroll. A live graph whose source has
    // handed on data meanwhile is built all the same (its first picture is
    // on its way: a stream joined between two key frames); a file's graph,
    // or a live one that got no data, fails.
    static constexpr int kRenderTimeoutMs = 3000;
    // Volume range in hundredths of a decibel; the bottom is silence.
    static constexpr long kMinVolume = -10000;
    static constexpr long kMaxVolume = 0;

    virtual ~MediaGraph() = default;

    // Builds the graph around `source` (a reference is taken) and prerolls
    // it to paused, waiting at most kRenderTimeoutMs. False when no decoder
    // takes the stream, an element fails, or the preroll does not finish
    // and the source handed on no data; the reason is then waiting as an
    // Error event. True with IsPrerolled false when data flows but the
    // first picture has not come yet: the preroll goes on, a Run meanwhile
    // takes effect when the picture is there (which PopEvent or IsPrerolled
    // notices; the clock then starts at that picture, not at the data
    // before it), and a decoder that fails later gives an Error event.
    virtual bool RenderSource(GstElement* source) = 0;
    // The same for a local file (any name; it is made a file URI), which
    // must preroll within kRenderTimeoutMs.
    virtual bool RenderFile(const std::string& path) = 0;
    // Whether the graph has prerolled: each sink holds its first picture or
    // sound. PopEvent notices a preroll that ends after Render.
    virtual bool IsPrerolled() = 0;

    virtual bool Run() = 0;
    virtual bool Pause() = 0;
    // Stops the graph and returns once every pipeline thread has let go:
    // the source element is not read after it. A stopped graph is not run
    // again.
    virtual void Stop() = 0;

    // The oldest pending event, without waiting; `text` (when given)
    // receives an error's description.
    virtual MediaEvent PopEvent(std::string* text = nullptr) = 0;

    // Seconds from the start of the stream; 0.0 when unknown.
    virtual double GetPosition() = 0;
    virtual double GetDuration() = 0;
    virtual bool SetPosition(double seconds) = 0;

    // Hundredths of a decibel, kMinVolume..kMaxVolume. The value is kept and
    // applied to an audio branch made later. GetVolume is false while the
    // graph has no audio.
    virtual void SetVolume(long volume) = 0;
    virtual bool GetVolume(long& volume) = 0;

    // The decoded picture's size; false while there is no video.
    virtual bool GetVideoSize(int& width, int& height) = 0;
    // Lines cut off at the top of the picture (0 or more).
    virtual void SetSourceTop(int lines) = 0;
    virtual MediaVideoStats GetVideoStats() = 0;

    // The window the video goes into (null: none). The owner must outlive
    // the graph or be replaced first.
    virtual void SetOwner(VideoOwner* owner) = 0;
    // Where the video sits in the owner's client area.
    virtual void SetWindowPosition(const VideoRect& rect) = 0;
    virtual VideoRect GetWindowPosition() const = 0;
    virtual void SetVisible(bool visible) = 0;
    // Full screen on the owner's full-screen window; false when refused.
    virtual bool SetFullScreen(bool on) = 0;
    virtual bool IsFullScreen() const = 0;
    // Draws the last picture again (the owner's window was exposed).
    virtual void RepaintVideo() = 0;
};

// A GStreamer graph with these sinks; null (logged) when GStreamer or an
// element it needs is missing. Initialises GStreamer on first use.
std::unique_ptr<MediaGraph> CreateMediaGraph(const MediaSinks& sinks);

// Where the media layer reports problems (one line each); the default writes
// to standard error. Each library that compiles this code has its own.
using MediaLogHandler = void (*)(const std::string& line);
MediaLogHandler SetMediaLogHandler(MediaLogHandler handler);

} // namespace qvplat
