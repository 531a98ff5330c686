// The GStreamer media graph: a pipeline around a given source element, or
// playbin on a file, with the same two sink branches.
#include "platform/media/mediagraph.h"

#include <gst/audio/streamvolume.h>
#include <gst/base/gstbasesink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gst/video/videooverlay.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

namespace qvplat {

namespace {

void DefaultLog(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::atomic<MediaLogHandler> g_logHandler{&DefaultLog};

void MediaLog(const std::string& line)
{
    g_logHandler.load()(line);
}

bool InitGStreamer()
{
    static const bool ok = [] {
        GError* error = nullptr;
        if (gst_init_check(nullptr, nullptr, &error) == FALSE) {
            MediaLog(std::string("GStreamer does not start: ") +
                     (error != nullptr ? error->message : "?"));
            g_clear_error(&error);
            return false;
        }
        return true;
    }();
    return ok;
}

constexpr GstClockTime kNsPerSecond = GST_SECOND;

// playbin's flags: video, audio, and no converters of its own (the branches
// bring theirs).
constexpr guint kPlaybinFlags = 0x01 | 0x02 | 0x20 | 0x40;

// An MPEG program stream: its demultiplexer names its last stream only after
// about two seconds of data, and decodebin shows no stream before that; the
// live graph demultiplexes it itself and decodes each stream as it appears.
bool IsProgramStream(const GstCaps* caps)
{
    if (caps == nullptr || gst_caps_get_size(caps) == 0) {
        return false;
    }
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    gboolean system = FALSE;
    return gst_structure_has_name(structure, "video/mpeg") != FALSE &&
           gst_structure_get_boolean(structure, "systemstream", &system) != FALSE &&
           system != FALSE;
}

enum class PadKind { Video, Audio, ProgramStream, Other };

PadKind KindOf(GstPad* pad)
{
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (caps == nullptr) {
        caps = gst_pad_query_caps(pad, nullptr);
    }
    PadKind kind = PadKind::Other;
    if (IsProgramStream(caps)) {
        kind = PadKind::ProgramStream;
    } else if (gst_caps_get_size(caps) > 0) {
        const char* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
        kind = g_str_has_prefix(name, "video/")   ? PadKind::Video
               : g_str_has_prefix(name, "audio/") ? PadKind::Audio
                                                  : PadKind::Other;
    }
    gst_caps_unref(caps);
    return kind;
}

// Bounds each demultiplexed stream's queue (the queue holds as long a time
// as the multiplex interleaves the streams).
constexpr guint kStreamQueueBytes = 8U << 20;

// Holds one reference to a GStreamer object.
template <class T> class GstRef
{
public:
    GstRef() = default;
    explicit GstRef(T* object) : m_object(object) {}
    GstRef(const GstRef&) = delete;
    GstRef& operator=(const GstRef&) = delete;
    GstRef(GstRef&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    GstRef& operator=(GstRef&& other) noexcept
    {
        Reset(std::exchange(other.m_object, nullptr));
        return *this;
    }
    ~GstRef() { Reset(); }

    void Reset(T* object = nullptr)
    {
        if (m_object != nullptr) {
            gst_object_unref(m_object);
        }
        m_object = object;
    }
    T* Get() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T* m_object = nullptr;
};

// The first base sink inside `element` (itself when it is one).
GstElement* FindBaseSink(GstElement* element)
{
    if (GST_IS_BASE_SINK(element)) {
        return GST_ELEMENT(gst_object_ref(element));
    }
    if (!GST_IS_BIN(element)) {
        return nullptr;
    }
    GstElement* found = nullptr;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(element));
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done && found == nullptr) {
        switch (gst_iterator_next(it, &item)) {
        case GST_ITERATOR_OK: {
            auto* child = GST_ELEMENT(g_value_get_object(&item));
            if (GST_IS_BASE_SINK(child)) {
                found = GST_ELEMENT(gst_object_ref(child));
            }
            g_value_reset(&item);
            break;
        }
        case GST_ITERATOR_RESYNC:
            gst_iterator_resync(it);
            break;
        default:
            done = true;
            break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// A video size fitted into `area` with the picture's aspect ratio, centred.
VideoRect FitInto(const VideoRect& area, int width, int height)
{
    if (width <= 0 || height <= 0 || area.width <= 0 || area.height <= 0) {
        return area;
    }
    VideoRect fitted = area;
    const double aspect = static_cast<double>(width) / height;
    if (static_cast<double>(area.width) / area.height > aspect) {
        fitted.width = static_cast<int>(aspect * area.height);
    } else {
        fitted.height = static_cast<int>(area.width / aspect);
    }
    fitted.left = area.left + (area.width - fitted.width) / 2;
    fitted.top = area.top + (area.height - fitted.height) / 2;
    return fitted;
}

class GstMediaGraph final : public MediaGraph
{
public:
    explicit GstMediaGraph(MediaSinks sinks) : m_sinks(std::move(sinks)) {}
    ~GstMediaGraph() override;

    bool RenderSource(GstElement* source) override;
    bool RenderFile(const std::string& path) override;
    bool IsPrerolled() override;
    bool Run() override;
    bool Pause() override;
    void Stop() override;
    MediaEvent PopEvent(std::string* text) override;
    double GetPosition() override;
    double GetDuration() override;
    bool SetPosition(double seconds) override;
    void SetVolume(long volume) override;
    bool GetVolume(long& volume) override;
    bool GetVideoSize(int& width, int& height) override;
    void SetSourceTop(int lines) override;
    MediaVideoStats GetVideoStats() override;
    void SetOwner(VideoOwner* owner) override;
    void SetWindowPosition(const VideoRect& rect) override;
    VideoRect GetWindowPosition() const override { return m_rect; }
    void SetVisible(bool visible) override;
    bool SetFullScreen(bool on) override;
    bool IsFullScreen() const override { return m_fullScreen; }
    void RepaintVideo() override;

private:
    struct Branch
    {
        GstRef<GstElement> bin;
        GstRef<GstElement> sink;   // the base sink inside the sink description
        GstRef<GstElement> crop;   // video only
        GstRef<GstElement> size;   // video only: the capsfilter
        GstRef<GstElement> volume; // audio only
    };
    struct PendingEvent
    {
        MediaEvent event;
        std::string text;
    };

    bool MakePipeline(GstElement* pipeline);
    // `live`: a graph around a source that has handed on data is built
    // without waiting for its preroll to end.
    bool Preroll(bool live);
    void OnPrerolled();
    // Runs the graph from its first picture on: the running time starts at
    // that picture's, not at the first data's.
    bool RunFromPreroll();
    // Takes the kept messages off the bus: ends and errors become events,
    // the pipeline's end of an asynchronous state change ends a preroll.
    void ReadBus();
    bool MakeVideoBranch(Branch& branch);
    bool MakeAudioBranch(Branch& branch);
    GstElement* MakeSink(const std::string& description);
    void OnPadAdded(GstPad* pad);
    void Demultiplex(GstPad* pad);
    void OnStreamAdded(GstPad* pad);
    void PostError(const std::string& text);
    void EndDemuxPreroll(GstElement* demux);
    GstBusSyncReply OnSyncMessage(GstMessage* message);
    // Whether the bus keeps the message for PopEvent or Preroll.
    bool Keep(GstMessage* message);
    void RecordError(GstMessage* message);
    // Logs the text, keeps it as an Error event and returns false.
    bool Fail(const std::string& text);

    // Under m_lock: the overlay sink, the branches' elements.
    void ApplyVolumeLocked();
    void ApplyVideoSize();
    void SetOverlayHandle(std::uintptr_t handle);
    bool VideoSinkHasWindow();
    void PlaceSurface();
    static bool BranchLinked(const Branch& branch);

    const MediaSinks m_sinks;
    GstRef<GstElement> m_pipeline;
    GstRef<GstBus> m_bus;
    GstRef<GstElement> m_source;
    bool m_stopped = false;
    bool m_prerolled = false;
    // Run was called before the preroll ended: the graph runs when it ends.
    bool m_runWhenPrerolled = false;
    gint64 m_start = 0; // stream time of the first picture
    // Bytes the live source has handed to the graph (a probe on its pad,
    // taken off again when the graph goes).
    std::atomic<std::uint64_t> m_sourceBytes{0};
    GstRef<GstPad> m_sourcePad;
    gulong m_sourceProbe = 0;

    // Shared with the pipeline's threads.
    std::mutex m_lock;
    Branch m_video;
    Branch m_audio;
    GstRef<GstElement> m_overlay;
    long m_volume = kMaxVolume;
    int m_sourceTop = 0;
    std::atomic<std::uintptr_t> m_windowHandle{0};
    std::deque<PendingEvent> m_pending;
    std::atomic<bool> m_demuxPreroll{false};

    // The video window (user-interface thread).
    VideoOwner* m_owner = nullptr;
    std::uintptr_t m_surface = 0;
    VideoRect m_rect;
    bool m_visible = true;
    bool m_fullScreen = false;
    VideoRect m_fullArea;
};

GstMediaGraph::~GstMediaGraph()
{
    Stop();
    if (m_sourcePad && m_sourceProbe != 0) {
        gst_pad_remove_probe(m_sourcePad.Get(), m_sourceProbe);
    }
    if (m_owner != nullptr) {
        if (m_fullScreen) {
            m_owner->LeaveFullScreen();
        }
        m_owner->ReleaseVideoSurface();
    }
    if (m_bus) {
        gst_bus_set_sync_handler(m_bus.Get(), nullptr, nullptr, nullptr);
    }
}

GstElement* GstMediaGraph::MakeSink(const std::string& description)
{
    GError* error = nullptr;
    GstElement* sink = gst_parse_bin_from_description(description.c_str(), TRUE, &error);
    if (sink == nullptr) {
        MediaLog("sink \"" + description +
                 "\" cannot be made: " + (error != nullptr ? error->message : "?"));
        g_clear_error(&error);
        return nullptr;
    }
    g_clear_error(&error);
    return sink;
}

bool GstMediaGraph::MakeVideoBranch(Branch& branch)
{
    GstElement* bin = gst_bin_new("videobranch");
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* crop = gst_element_factory_make("videocrop", nullptr);
    GstElement* scale = gst_element_factory_make("videoscale", nullptr);
    GstElement* size = gst_element_factory_make("capsfilter", nullptr);
    GstElement* sink = MakeSink(m_sinks.video);
    if (convert == nullptr || crop == nullptr || scale == nullptr || size == nullptr ||
        sink == nullptr) {
        MediaLog("the video branch cannot be made (videoconvert, videocrop, videoscale)");
        for (GstElement* e : {convert, crop, scale, size, sink}) {
            if (e != nullptr) {
                gst_object_unref(gst_object_ref_sink(e));
            }
        }
        gst_object_unref(gst_object_ref_sink(bin));
        return false;
    }
    g_object_set(crop, "top", m_sourceTop, nullptr);
    gst_bin_add_many(GST_BIN(bin), convert, crop, scale, size, sink, nullptr);
    if (gst_element_link_many(convert, crop, scale, size, sink, nullptr) == FALSE) {
        MediaLog("the video branch does not link");
        gst_object_unref(gst_object_ref_sink(bin));
        return false;
    }
    GstPad* target = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", target));
    gst_object_unref(target);
    branch.bin.Reset(GST_ELEMENT(gst_object_ref_sink(bin)));
    branch.sink.Reset(FindBaseSink(sink));
    branch.crop.Reset(GST_ELEMENT(gst_object_ref(crop)));
    branch.size.Reset(GST_ELEMENT(gst_object_ref(size)));
    return true;
}

bool GstMediaGraph::MakeAudioBranch(Branch& branch)
{
    GstElement* bin = gst_bin_new("audiobranch");
    GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
    GstElement* resample = gst_element_factory_make("audioresample", nullptr);
    GstElement* volume = gst_element_factory_make("volume", nullptr);
    GstElement* sink = MakeSink(m_sinks.audio);
    if (convert == nullptr || resample == nullptr || volume == nullptr || sink == nullptr) {
        MediaLog("the audio branch cannot be made (audioconvert, audioresample, volume)");
        for (GstElement* e : {convert, resample, volume, sink}) {
            if (e != nullptr) {
                gst_object_unref(gst_object_ref_sink(e));
            }
        }
        gst_object_unref(gst_object_ref_sink(bin));
        return false;
    }
    gst_bin_add_many(GST_BIN(bin), convert, resample, volume, sink, nullptr);
    if (gst_element_link_many(convert, resample, volume, sink, nullptr) == FALSE) {
        MediaLog("the audio branch does not link");
        gst_object_unref(gst_object_ref_sink(bin));
        return false;
    }
    GstPad* target = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", target));
    gst_object_unref(target);
    branch.bin.Reset(GST_ELEMENT(gst_object_ref_sink(bin)));
    branch.sink.Reset(FindBaseSink(sink));
    branch.volume.Reset(GST_ELEMENT(gst_object_ref(volume)));
    return true;
}

bool GstMediaGraph::MakePipeline(GstElement* pipeline)
{
    if (m_pipeline || m_stopped) {
        gst_object_unref(gst_object_ref_sink(pipeline));
        return false;
    }
    m_pipeline.Reset(GST_ELEMENT(gst_object_ref_sink(pipeline)));
    m_bus.Reset(gst_element_get_bus(pipeline));
    gst_bus_set_sync_handler(
        m_bus.Get(),
        [](GstBus*, GstMessage* message, gpointer self) {
            return static_cast<GstMediaGraph*>(self)->OnSyncMessage(message);
        },
        this, nullptr);
    return true;
}

GstBusSyncReply GstMediaGraph::OnSyncMessage(GstMessage* message)
{
    if (Keep(message)) {
        return GST_BUS_PASS;
    }
    // A dropped message is the handler's to free, and with it its hold on
    // the element that posted it.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

bool GstMediaGraph::Keep(GstMessage* message)
{
    if (gst_is_video_overlay_prepare_window_handle_message(message)) {
        auto* sink = GST_ELEMENT(GST_MESSAGE_SRC(message));
        GstVideoOverlay* overlay = GST_VIDEO_OVERLAY(sink);
        // Input events stay with the owner's window.
        gst_video_overlay_handle_events(overlay, FALSE);
        if (const std::uintptr_t handle = m_windowHandle.load(); handle != 0) {
            gst_video_overlay_set_window_handle(overlay, handle);
        }
        const std::lock_guard<std::mutex> hold(m_lock);
        m_overlay.Reset(GST_ELEMENT(gst_object_ref(sink)));
        return false;
    }
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
    case GST_MESSAGE_ERROR:
    case GST_MESSAGE_ASYNC_DONE:
        return true;
    case GST_MESSAGE_WARNING: {
        GError* error = nullptr;
        gst_message_parse_warning(message, &error, nullptr);
        MediaLog(std::string("media warning: ") + (error != nullptr ? error->message : "?"));
        g_clear_error(&error);
        return false;
    }
    default:
        // Nothing else is read: the bus stays short on long streams.
        return false;
    }
}

void GstMediaGraph::RecordError(GstMessage* message)
{
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = error != nullptr ? error->message : "unknown error";
    MediaLog("media error from " + std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))) + ": " +
             text + (debug != nullptr ? std::string(" (") + debug + ")" : std::string()));
    g_clear_error(&error);
    g_free(debug);
    m_pending.push_back({MediaEvent::Error, std::move(text)});
}

bool GstMediaGraph::Fail(const std::string& text)
{
    MediaLog(text);
    m_pending.push_back({MediaEvent::Error, text});
    return false;
}

void GstMediaGraph::OnPadAdded(GstPad* pad)
{
    const PadKind kind = KindOf(pad);
    if (kind == PadKind::ProgramStream) {
        Demultiplex(pad);
        return;
    }
    const bool video = kind == PadKind::Video;
    const bool audio = kind == PadKind::Audio;
    if (!video && !audio) {
        return;
    }
    Branch made;
    if (video ? !MakeVideoBranch(made) : !MakeAudioBranch(made)) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        Branch& slot = video ? m_video : m_audio;
        if (slot.bin) {
            return; // one stream of each kind; the others stay unlinked
        }
        slot = std::move(made);
        if (audio) {
            ApplyVolumeLocked();
        }
    }
    // The pipeline adds a reference of its own (the branch's is not floating).
    GstElement* bin = video ? m_video.bin.Get() : m_audio.bin.Get();
    gst_bin_add(GST_BIN(m_pipeline.Get()), bin);
    gst_element_sync_state_with_parent(bin);
    GstPad* sinkPad = gst_element_get_static_pad(bin, "sink");
    if (gst_pad_link(pad, sinkPad) != GST_PAD_LINK_OK) {
        MediaLog(std::string("the decoder's ") + (video ? "video" : "audio") +
                 " stream does not link");
    }
    gst_object_unref(sinkPad);
}

void GstMediaGraph::PostError(const std::string& text)
{
    MediaLog(text);
    GError* error =
        g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN, text.c_str());
    gst_element_post_message(m_pipeline.Get(),
                             gst_message_new_error(GST_OBJECT(m_pipeline.Get()), error, nullptr));
    g_error_free(error);
}

void GstMediaGraph::Demultiplex(GstPad* pad)
{
    GstElement* demux = gst_element_factory_make("mpegpsdemux", nullptr);
    if (demux == nullptr) {
        PostError("mpegpsdemux is missing");
        return;
    }
    g_signal_connect(demux, "pad-added",
                     G_CALLBACK(+[](GstElement*, GstPad* stream, gpointer self) {
                         static_cast<GstMediaGraph*>(self)->OnStreamAdded(stream);
                     }),
                     this);
    g_signal_connect(demux, "no-more-pads", G_CALLBACK(+[](GstElement* element, gpointer self) {
                         static_cast<GstMediaGraph*>(self)->EndDemuxPreroll(element);
                     }),
                     this);
    gst_bin_add(GST_BIN(m_pipeline.Get()), demux);
    // The decoder's preroll ends now, before any stream has a sink: the
    // demultiplexer holds the graph's preroll until its first stream's
    // decoder holds it in turn.
    m_demuxPreroll = true;
    gst_element_post_message(demux, gst_message_new_async_start(GST_OBJECT(demux)));
    gst_element_sync_state_with_parent(demux);
    GstPad* sinkPad = gst_element_get_static_pad(demux, "sink");
    if (gst_pad_link(pad, sinkPad) != GST_PAD_LINK_OK) {
        PostError("the program stream does not link to its demultiplexer");
    }
    gst_object_unref(sinkPad);
}

void GstMediaGraph::OnStreamAdded(GstPad* pad)
{
    const PadKind kind = KindOf(pad);
    if (kind != PadKind::Video && kind != PadKind::Audio) {
        return; // other streams stay unlinked
    }
    // The demultiplexer feeds every stream from one thread: each stream gets
    // a queue of its own so that one sink waiting for its preroll or its
    // clock does not starve the other.
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    GstElement* decoder = gst_element_factory_make("decodebin", nullptr);
    if (queue == nullptr || decoder == nullptr) {
        for (GstElement* e : {queue, decoder}) {
            if (e != nullptr) {
                gst_object_unref(gst_object_ref_sink(e));
            }
        }
        PostError("queue or decodebin is missing");
        return;
    }
    g_object_set(queue, "max-size-buffers", 0U, "max-size-time", static_cast<guint64>(0),
                 "max-size-bytes", kStreamQueueBytes, nullptr);
    g_signal_connect(decoder, "pad-added",
                     G_CALLBACK(+[](GstElement*, GstPad* decoded, gpointer self) {
                         static_cast<GstMediaGraph*>(self)->OnPadAdded(decoded);
                     }),
                     this);
    gst_bin_add_many(GST_BIN(m_pipeline.Get()), queue, decoder, nullptr);
    gst_element_link(queue, decoder);
    gst_element_sync_state_with_parent(decoder);
    gst_element_sync_state_with_parent(queue);
    GstPad* sinkPad = gst_element_get_static_pad(queue, "sink");
    if (gst_pad_link(pad, sinkPad) != GST_PAD_LINK_OK) {
        MediaLog(std::string("the demultiplexer's ") +
                 (kind == PadKind::Video ? "video" : "audio") + " stream does not link");
    }
    gst_object_unref(sinkPad);
    if (GstElement* demux = gst_pad_get_parent_element(pad); demux != nullptr) {
        EndDemuxPreroll(demux);
        gst_object_unref(demux);
    }
}

void GstMediaGraph::EndDemuxPreroll(GstElement* demux)
{
    if (m_demuxPreroll.exchange(false)) {
        gst_element_post_message(
            demux, gst_message_new_async_done(GST_OBJECT(demux), GST_CLOCK_TIME_NONE));
    }
}

bool GstMediaGraph::RenderSource(GstElement* source)
{
    if (source == nullptr || !MakePipeline(gst_pipeline_new("live"))) {
        return false;
    }
    m_source.Reset(GST_ELEMENT(gst_object_ref_sink(source)));
    GstElement* decoder = gst_element_factory_make("decodebin", nullptr);
    if (decoder == nullptr) {
        return Fail("decodebin is missing");
    }
    // A program stream leaves the decoder undecoded (see Demultiplex).
    g_signal_connect(decoder, "autoplug-continue",
                     G_CALLBACK(+[](GstElement*, GstPad*, GstCaps* caps, gpointer) -> gboolean {
                         return !IsProgramStream(caps);
                     }),
                     nullptr);
    gst_bin_add(GST_BIN(m_pipeline.Get()), decoder);
    if (GST_OBJECT_PARENT(source) != nullptr) {
        return Fail("the source element belongs to another graph");
    }
    gst_bin_add(GST_BIN(m_pipeline.Get()), source);
    if (gst_element_link(source, decoder) == FALSE) {
        return Fail("the source element does not link to the decoder");
    }
    g_signal_connect(decoder, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer self) {
                         static_cast<GstMediaGraph*>(self)->OnPadAdded(pad);
                     }),
                     this);
    m_sourcePad.Reset(gst_element_get_static_pad(source, "src"));
    if (m_sourcePad) {
        constexpr auto kData = static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                            GST_PAD_PROBE_TYPE_BUFFER_LIST);
        m_sourceProbe = gst_pad_add_probe(
            m_sourcePad.Get(), kData,
            [](GstPad*, GstPadProbeInfo* info, gpointer self) {
                std::size_t bytes = 0;
                if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
                    bytes = gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
                } else if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info)) {
                    bytes = gst_buffer_list_calculate_size(list);
                }
                static_cast<GstMediaGraph*>(self)->m_sourceBytes += bytes;
                return GST_PAD_PROBE_OK;
            },
            this, nullptr);
    }
    return Preroll(true);
}

bool GstMediaGraph::RenderFile(const std::string& path)
{
    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    if (playbin == nullptr) {
        return Fail("playbin is missing");
    }
    if (!MakePipeline(playbin)) {
        return false;
    }
    GError* error = nullptr;
    gchar* uri = gst_filename_to_uri(path.c_str(), &error);
    if (uri == nullptr) {
        const std::string text =
            "\"" + path + "\" is no file name: " + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return Fail(text);
    }
    Branch video;
    Branch audio;
    if (!MakeVideoBranch(video) || !MakeAudioBranch(audio)) {
        g_free(uri);
        return Fail("the sink branches cannot be made");
    }
    g_object_set(playbin, "uri", uri, "flags", kPlaybinFlags, "video-sink", video.bin.Get(),
                 "audio-sink", audio.bin.Get(), nullptr);
    g_free(uri);
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_video = std::move(video);
        m_audio = std::move(audio);
        ApplyVolumeLocked();
    }
    return Preroll(false);
}

bool GstMediaGraph::Preroll(bool live)
{
    const GstStateChangeReturn result = gst_element_set_state(m_pipeline.Get(), GST_STATE_PAUSED);
    if (result == GST_STATE_CHANGE_NO_PREROLL) {
        m_prerolled = true;
        return true;
    }
    if (result == GST_STATE_CHANGE_ASYNC || result == GST_STATE_CHANGE_FAILURE) {
        // The preroll or the first error, whichever comes first.
        const auto types = static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR);
        GstMessage* message =
            result == GST_STATE_CHANGE_FAILURE
                ? gst_bus_pop_filtered(m_bus.Get(), GST_MESSAGE_ERROR)
                : gst_bus_timed_pop_filtered(m_bus.Get(), kRenderTimeoutMs * GST_MSECOND, types);
        if (message == nullptr) {
            if (result != GST_STATE_CHANGE_FAILURE && live && m_sourceBytes.load() > 0) {
                // Data flows, but the decoder has no picture yet: a stream
                // joined far from its next key frame. It prerolls when that
                // comes; PopEvent sees it, or the decoder's error.
                MediaLog("the first picture is not there yet; the graph goes on waiting for it");
                return true;
            }
            return Fail(result == GST_STATE_CHANGE_FAILURE ? "the graph does not start"
                                                           : "the graph does not preroll in time");
        }
        const bool failed = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        if (failed) {
            RecordError(message);
        }
        gst_message_unref(message);
        if (failed) {
            return false;
        }
    }
    OnPrerolled();
    return true;
}

void GstMediaGraph::OnPrerolled()
{
    if (m_prerolled) {
        return;
    }
    m_prerolled = true;
    // Positions count from the first picture, wherever the stream's clock
    // started.
    gint64 first = 0;
    if (gst_element_query_position(m_pipeline.Get(), GST_FORMAT_TIME, &first) != FALSE &&
        first > 0) {
        m_start = first;
    }
    if (std::exchange(m_runWhenPrerolled, false) && !m_stopped) {
        RunFromPreroll();
    }
}

bool GstMediaGraph::IsPrerolled()
{
    if (!m_prerolled) {
        ReadBus();
    }
    return m_prerolled;
}

void GstMediaGraph::ReadBus()
{
    if (!m_bus) {
        return;
    }
    // Messages of other kinds are dropped.
    const auto types =
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_ASYNC_DONE);
    while (GstMessage* message = gst_bus_pop_filtered(m_bus.Get(), types)) {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            m_pending.push_back({MediaEvent::Complete, {}});
            break;
        case GST_MESSAGE_ERROR:
            RecordError(message);
            break;
        default:
            if (GST_MESSAGE_SRC(message) == GST_OBJECT(m_pipeline.Get())) {
                OnPrerolled();
            }
            break;
        }
        gst_message_unref(message);
    }
}

bool GstMediaGraph::Run()
{
    if (!m_pipeline || m_stopped) {
        return false;
    }
    if (!m_prerolled) {
        // Data before the first picture (a live stream joined between key
        // frames) would hold the picture back by its own duration once the
        // clock ran from it: the graph runs once the picture is there.
        m_runWhenPrerolled = true;
        return true;
    }
    return gst_element_set_state(m_pipeline.Get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool GstMediaGraph::RunFromPreroll()
{
    GstClockTime start = GST_CLOCK_TIME_NONE;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        for (const Branch* branch : {&m_video, &m_audio}) {
            if (!branch->sink || start != GST_CLOCK_TIME_NONE) {
                continue;
            }
            GstSample* sample = gst_base_sink_get_last_sample(GST_BASE_SINK(branch->sink.Get()));
            if (sample == nullptr) {
                continue;
            }
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            const GstSegment* segment = gst_sample_get_segment(sample);
            if (buffer != nullptr && segment != nullptr && GST_BUFFER_PTS_IS_VALID(buffer)) {
                start =
                    gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
            }
            gst_sample_unref(sample);
        }
    }
    if (start != GST_CLOCK_TIME_NONE) {
        gst_element_set_start_time(m_pipeline.Get(), start);
    }
    return gst_element_set_state(m_pipeline.Get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool GstMediaGraph::Pause()
{
    m_runWhenPrerolled = false;
    return m_pipeline && !m_stopped &&
           gst_element_set_state(m_pipeline.Get(), GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE;
}

void GstMediaGraph::Stop()
{
    if (m_pipeline && !m_stopped) {
        // Going to NULL joins every streaming thread before it returns.
        gst_element_set_state(m_pipeline.Get(), GST_STATE_NULL);
    }
    m_stopped = true;
}

MediaEvent GstMediaGraph::PopEvent(std::string* text)
{
    if (m_pending.empty()) {
        ReadBus();
    }
    if (m_pending.empty()) {
        return MediaEvent::None;
    }
    PendingEvent event = std::move(m_pending.front());
    m_pending.pop_front();
    if (text != nullptr) {
        *text = std::move(event.text);
    }
    return event.event;
}

double GstMediaGraph::GetPosition()
{
    gint64 position = 0;
    if (!m_pipeline || m_stopped ||
        gst_element_query_position(m_pipeline.Get(), GST_FORMAT_TIME, &position) == FALSE ||
        position < m_start) {
        return 0.0;
    }
    return static_cast<double>(position - m_start) / kNsPerSecond;
}

double GstMediaGraph::GetDuration()
{
    gint64 duration = 0;
    if (!m_pipeline || m_stopped ||
        gst_element_query_duration(m_pipeline.Get(), GST_FORMAT_TIME, &duration) == FALSE ||
        duration < 0) {
        return 0.0;
    }
    return static_cast<double>(duration) / kNsPerSecond;
}

bool GstMediaGraph::SetPosition(double seconds)
{
    if (!m_pipeline || m_stopped || !std::isfinite(seconds)) {
        return false;
    }
    const auto at = static_cast<gint64>(std::max(0.0, seconds) * kNsPerSecond) + m_start;
    const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
    return gst_element_seek_simple(m_pipeline.Get(), GST_FORMAT_TIME, flags, at) != FALSE;
}

void GstMediaGraph::ApplyVolumeLocked()
{
    if (!m_audio.volume) {
        return;
    }
    GstElement* element = m_audio.volume.Get();
    const bool mute = m_volume <= kMinVolume;
    // GstStreamVolume's decibel scale is amplitude: 10^(dB / 20).
    gst_stream_volume_set_volume(GST_STREAM_VOLUME(element), GST_STREAM_VOLUME_FORMAT_DB,
                                 static_cast<double>(m_volume) / 100.0);
    gst_stream_volume_set_mute(GST_STREAM_VOLUME(element), mute ? TRUE : FALSE);
}

void GstMediaGraph::SetVolume(long volume)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    m_volume = std::clamp(volume, kMinVolume, kMaxVolume);
    ApplyVolumeLocked();
}

bool GstMediaGraph::BranchLinked(const Branch& branch)
{
    if (!branch.bin) {
        return false;
    }
    GstPad* pad = gst_element_get_static_pad(branch.bin.Get(), "sink");
    const bool linked = pad != nullptr && gst_pad_is_linked(pad) != FALSE;
    if (pad != nullptr) {
        gst_object_unref(pad);
    }
    return linked;
}

bool GstMediaGraph::GetVolume(long& volume)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    if (!BranchLinked(m_audio)) {
        return false;
    }
    auto* element = GST_STREAM_VOLUME(m_audio.volume.Get());
    if (gst_stream_volume_get_mute(element) != FALSE) {
        volume = kMinVolume;
        return true;
    }
    const double db = gst_stream_volume_get_volume(element, GST_STREAM_VOLUME_FORMAT_DB);
    volume = std::isfinite(db) ? std::clamp(std::lround(db * 100.0), kMinVolume, kMaxVolume)
                               : kMinVolume;
    return true;
}

bool GstMediaGraph::GetVideoSize(int& width, int& height)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    if (!m_video.bin) {
        return false;
    }
    GstPad* pad = gst_element_get_static_pad(m_video.bin.Get(), "sink");
    GstCaps* caps = pad != nullptr ? gst_pad_get_current_caps(pad) : nullptr;
    GstVideoInfo info;
    const bool known = caps != nullptr && gst_video_info_from_caps(&info, caps) != FALSE &&
                       info.width > 0 && info.height > 0;
    if (known) {
        width = info.width;
        height = info.height;
    }
    if (caps != nullptr) {
        gst_caps_unref(caps);
    }
    if (pad != nullptr) {
        gst_object_unref(pad);
    }
    return known;
}

void GstMediaGraph::SetSourceTop(int lines)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    m_sourceTop = std::max(0, lines);
    if (m_video.crop) {
        g_object_set(m_video.crop.Get(), "top", m_sourceTop, nullptr);
    }
}

MediaVideoStats GstMediaGraph::GetVideoStats()
{
    MediaVideoStats stats;
    GstRef<GstElement> sink;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_video.sink) {
            sink.Reset(GST_ELEMENT(gst_object_ref(m_video.sink.Get())));
        }
    }
    if (!sink) {
        return stats;
    }
    GstStructure* values = nullptr;
    g_object_get(sink.Get(), "stats", &values, nullptr);
    if (values != nullptr) {
        guint64 number = 0;
        if (gst_structure_get_uint64(values, "rendered", &number) != FALSE) {
            stats.rendered = number;
        }
        if (gst_structure_get_uint64(values, "dropped", &number) != FALSE) {
            stats.dropped = number;
        }
        gst_structure_free(values);
    }
    return stats;
}

bool GstMediaGraph::VideoSinkHasWindow()
{
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_video.sink && GST_IS_VIDEO_OVERLAY(m_video.sink.Get());
}

void GstMediaGraph::SetOverlayHandle(std::uintptr_t handle)
{
    m_windowHandle.store(handle);
    GstRef<GstElement> overlay;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_overlay) {
            overlay.Reset(GST_ELEMENT(gst_object_ref(m_overlay.Get())));
        }
    }
    // A sink that has not asked yet takes the handle when it does.
    if (overlay && handle != 0 && !m_stopped) {
        gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(overlay.Get()), handle);
        gst_video_overlay_expose(GST_VIDEO_OVERLAY(overlay.Get()));
    }
}

void GstMediaGraph::ApplyVideoSize()
{
    if (!VideoSinkHasWindow()) {
        return; // sinks without a window take the picture as decoded
    }
    VideoRect target = m_rect;
    if (m_fullScreen) {
        int width = 0;
        int height = 0;
        target = GetVideoSize(width, height) ? FitInto(m_fullArea, width, height) : m_fullArea;
    }
    GstCaps* caps = nullptr;
    if (target.width > 0 && target.height > 0) {
        caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, target.width, "height",
                                   G_TYPE_INT, target.height, nullptr);
    }
    const std::lock_guard<std::mutex> hold(m_lock);
    if (m_video.size) {
        g_object_set(m_video.size.Get(), "caps", caps, nullptr);
    }
    if (caps != nullptr) {
        gst_caps_unref(caps);
    }
}

void GstMediaGraph::PlaceSurface()
{
    if (m_owner != nullptr && !m_fullScreen) {
        m_owner->PlaceVideoSurface(m_rect, m_visible && m_rect.width > 0 && m_rect.height > 0);
    }
}

void GstMediaGraph::SetOwner(VideoOwner* owner)
{
    if (owner == m_owner) {
        return;
    }
    if (m_owner != nullptr) {
        if (m_fullScreen) {
            m_owner->LeaveFullScreen();
            m_fullScreen = false;
        }
        m_owner->ReleaseVideoSurface();
    }
    m_owner = owner;
    m_surface = owner != nullptr ? owner->AcquireVideoSurface() : 0;
    if (m_surface != 0) {
        SetOverlayHandle(m_surface);
    } else {
        m_windowHandle.store(0);
    }
    PlaceSurface();
}

void GstMediaGraph::SetWindowPosition(const VideoRect& rect)
{
    m_rect = rect;
    m_rect.width = std::max(0, m_rect.width);
    m_rect.height = std::max(0, m_rect.height);
    PlaceSurface();
    ApplyVideoSize();
}

void GstMediaGraph::SetVisible(bool visible)
{
    m_visible = visible;
    PlaceSurface();
}

bool GstMediaGraph::SetFullScreen(bool on)
{
    if (m_owner == nullptr || on == m_fullScreen) {
        return on == m_fullScreen;
    }
    if (on) {
        VideoRect area;
        const std::uintptr_t handle = m_owner->EnterFullScreen(area);
        if (handle == 0) {
            return false;
        }
        m_fullScreen = true;
        m_fullArea = area;
        m_owner->PlaceVideoSurface(m_rect, false);
        SetOverlayHandle(handle);
    } else {
        m_fullScreen = false;
        SetOverlayHandle(m_surface);
        m_owner->LeaveFullScreen();
        PlaceSurface();
    }
    ApplyVideoSize();
    return true;
}

void GstMediaGraph::RepaintVideo()
{
    GstRef<GstElement> overlay;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_overlay) {
            overlay.Reset(GST_ELEMENT(gst_object_ref(m_overlay.Get())));
        }
    }
    if (overlay && !m_stopped) {
        gst_video_overlay_expose(GST_VIDEO_OVERLAY(overlay.Get()));
    }
}

} // namespace

std::unique_ptr<MediaGraph> CreateMediaGraph(const MediaSinks& sinks)
{
    if (!InitGStreamer()) {
        return nullptr;
    }
    return std::make_unique<GstMediaGraph>(sinks);
}

MediaLogHandler SetMediaLogHandler(MediaLogHandler handler)
{
    return g_logHandler.exchange(handler != nullptr ? handler : &DefaultLog);
}

} // namespace qvplat
