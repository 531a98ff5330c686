// The "castsource" element: one create() is one request to the stream
// object (Lock, Seek, Read, Unlock). The stream's flag word decides what
// happens to the bytes: a break marks the buffer from the break on DISCONT
// (the bytes before it go out first, in a buffer of their own), and a
// stopped receiver or a data timeout ends the stream. The receiver hands out
// every byte it held back before it reports the timeout, so the end of a
// live stream (a sender between two passes, or gone) reaches the decoders
// as an end of stream: they give out the pictures they still hold, and the
// sinks play them before the graph reports its completion. unlock and
// unlock_stop release and re-arm a read waiting in the receiver; state
// changes reach the stream's OnRun/OnPause/OnStop.
#include "castsource/castsrcelement.h"

#include "core/receive/qvcollector.h"

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace {

// Bytes asked of the stream per buffer: two of the sender's datagrams.
constexpr guint kBlockSize = 16384;
// How long a read that came back empty without a reason waits before it
// asks again (it never happens with a receiver that waits for data itself).
constexpr auto kEmptyReadPause = std::chrono::milliseconds(10);

struct ElementState
{
    std::shared_ptr<CTalvexStream> stream;
    std::mutex lock;
    std::condition_variable wake;
    // Under lock:
    IQvFileSourceFilter* filter = nullptr;
    bool flushing = false;
    bool discont = false;
    unsigned flushes = 0; // counts unlocks
    GstCaps* caps = nullptr;
    // Streaming thread only:
    GstBuffer* pending = nullptr; // the bytes after a break, for the next create
    unsigned pendingFlushes = 0;  // `flushes` when it was made: a flush drops it
    std::int64_t position = 0;
};

} // namespace

extern "C" {

struct QvCastSrc
{
    GstPushSrc parent;
    ElementState* state;
};

struct QvCastSrcClass
{
    GstPushSrcClass parent_class;
};

} // extern "C"

#define QV_TYPE_CAST_SRC (qv_cast_src_get_type())

G_DEFINE_TYPE(QvCastSrc, qv_cast_src, GST_TYPE_PUSH_SRC)

namespace {

GstStaticPadTemplate g_srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

ElementState& StateOf(gpointer object)
{
    return *reinterpret_cast<QvCastSrc*>(object)->state;
}

GstCaps* CapsForMux(int mux)
{
    switch (mux) {
    case CTalvexStream::kMuxMpeg1System:
        return gst_caps_from_string("video/mpeg, mpegversion=(int)1, systemstream=(boolean)true");
    case CTalvexStream::kMuxMpeg2Transport:
        return gst_caps_from_string("video/mpegts, systemstream=(boolean)true");
    case CTalvexStream::kMuxMpeg2Program:
        return gst_caps_from_string("video/mpeg, mpegversion=(int)2, systemstream=(boolean)true");
    default:
        return nullptr; // ANY: a typefinder decides
    }
}

void DropPending(ElementState& state)
{
    if (state.pending != nullptr) {
        gst_buffer_unref(state.pending);
        state.pending = nullptr;
    }
}

gboolean Start(GstBaseSrc* src)
{
    ElementState& state = StateOf(src);
    bool ready = false;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        ready = state.stream && state.filter != nullptr && state.filter->IsSourceReady();
    }
    if (!ready) {
        GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ,
                          ("The multicast source has no stream to read: it was neither opened "
                           "on a stream description (.qsl) nor handed a receiver."),
                          (nullptr));
        return FALSE;
    }
    GstCaps* caps = CapsForMux(state.stream->GetMuxType());
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.caps != nullptr) {
        gst_caps_unref(state.caps);
    }
    state.caps = caps;
    state.discont = true;
    state.position = 0;
    return TRUE;
}

gboolean Stop(GstBaseSrc* src)
{
    ElementState& state = StateOf(src);
    DropPending(state);
    return TRUE;
}

GstCaps* GetCaps(GstBaseSrc* src, GstCaps* filter)
{
    ElementState& state = StateOf(src);
    GstCaps* caps = nullptr;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.caps != nullptr) {
            caps = gst_caps_ref(state.caps);
        }
    }
    if (caps == nullptr) {
        caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(src));
    }
    if (filter != nullptr) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

gboolean IsSeekable(GstBaseSrc*)
{
    return FALSE;
}

gboolean Unlock(GstBaseSrc* src)
{
    ElementState& state = StateOf(src);
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.flushing = true;
        ++state.flushes;
    }
    state.wake.notify_all();
    if (state.stream) {
        state.stream->OnBeginFlush();
    }
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* src)
{
    ElementState& state = StateOf(src);
    if (state.stream) {
        state.stream->OnEndFlush();
    }
    std::lock_guard<std::mutex> hold(state.lock);
    state.flushing = false;
    // What a flush cut off is gone; the next bytes do not follow on.
    state.discont = true;
    return TRUE;
}

// Waits a little before an empty read is repeated; false when flushing.
bool PauseAfterEmptyRead(ElementState& state)
{
    std::unique_lock<std::mutex> hold(state.lock);
    state.wake.wait_for(hold, kEmptyReadPause, [&state] { return state.flushing; });
    return !state.flushing;
}

bool Flushing(ElementState& state)
{
    std::lock_guard<std::mutex> hold(state.lock);
    return state.flushing;
}

unsigned Flushes(ElementState& state)
{
    std::lock_guard<std::mutex> hold(state.lock);
    return state.flushes;
}

// Takes the pending-discontinuity mark, if any.
bool TakeDiscont(ElementState& state)
{
    std::lock_guard<std::mutex> hold(state.lock);
    return std::exchange(state.discont, false);
}

GstFlowReturn Create(GstPushSrc* src, GstBuffer** out)
{
    ElementState& state = StateOf(src);
    if (state.pending != nullptr) {
        if (state.pendingFlushes == Flushes(state)) {
            *out = std::exchange(state.pending, nullptr);
            return GST_FLOW_OK;
        }
        DropPending(state); // from before a flush
    }
    if (!state.stream) {
        return GST_FLOW_ERROR;
    }
    CTalvexStream& stream = *state.stream;

    GstBuffer* buffer = *out;
    if (buffer == nullptr) {
        guint size = gst_base_src_get_blocksize(GST_BASE_SRC(src));
        buffer = gst_buffer_new_allocate(nullptr, size != 0 ? size : kBlockSize, nullptr);
        if (buffer == nullptr) {
            return GST_FLOW_ERROR;
        }
    }
    auto drop = [&buffer, out] {
        if (buffer != *out) {
            gst_buffer_unref(buffer);
        }
    };
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        drop();
        return GST_FLOW_ERROR;
    }
    const long request = static_cast<long>(std::min<gsize>(map.size, G_MAXINT32));

    long got = 0;
    int flags = QvUdpDataCollector::kContinuous;
    long breakOffset = 0;
    GstFlowReturn result = GST_FLOW_OK;
    for (;;) {
        if (Flushing(state)) {
            result = GST_FLOW_FLUSHING;
            break;
        }
        stream.Lock();
        const qvplat::HRESULT placed = stream.Seek(state.position);
        qvplat::HRESULT hr = qvplat::S_OK;
        if (placed == qvplat::S_OK) {
            hr = stream.Read(map.data, request, true, &got, &flags, &breakOffset);
        }
        stream.Unlock();
        if (placed != qvplat::S_OK) {
            result = GST_FLOW_EOS; // past the stream's fixed length
            break;
        }
        if (qvplat::Failed(hr)) {
            GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ,
                              ("Cannot receive the stream: the stream receiver could not be "
                               "made or started (see the debug log)."),
                              (nullptr));
            result = GST_FLOW_ERROR;
            break;
        }
        if (flags == QvUdpDataCollector::kReleased || Flushing(state)) {
            result = GST_FLOW_FLUSHING;
            break;
        }
        if (got > 0) {
            break;
        }
        if (flags == QvUdpDataCollector::kStopped) {
            result = GST_FLOW_EOS;
            break;
        }
        if (flags == QvUdpDataCollector::kTimeout) {
            result = GST_FLOW_EOS;
            break;
        }
        if (!PauseAfterEmptyRead(state)) {
            result = GST_FLOW_FLUSHING;
            break;
        }
    }
    gst_buffer_unmap(buffer, &map);
    if (result != GST_FLOW_OK) {
        drop();
        return result;
    }

    const auto size = static_cast<gsize>(got);
    gst_buffer_set_size(buffer, static_cast<gssize>(size));
    if (TakeDiscont(state)) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    }
    if (flags == QvUdpDataCollector::kBreak) {
        const auto at = static_cast<gsize>(breakOffset);
        if (breakOffset > 0 && at < size) {
            // The bytes before the break follow on: they go out now, the
            // rest with the next create.
            state.pending = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_ALL, at, size - at);
            state.pendingFlushes = Flushes(state);
            GST_BUFFER_FLAG_SET(state.pending, GST_BUFFER_FLAG_DISCONT);
            GST_BUFFER_OFFSET(state.pending) = static_cast<guint64>(state.position) + at;
            GST_BUFFER_OFFSET_END(state.pending) = static_cast<guint64>(state.position) + size;
            gst_buffer_resize(buffer, 0, static_cast<gssize>(at));
        } else {
            GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        }
    }
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(state.position);
    GST_BUFFER_OFFSET_END(buffer) =
        static_cast<guint64>(state.position) + gst_buffer_get_size(buffer);
    state.position += got;
    *out = buffer;
    return GST_FLOW_OK;
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition)
{
    ElementState& state = StateOf(element);
    if (state.stream) {
        switch (transition) {
        case GST_STATE_CHANGE_READY_TO_PAUSED:
        case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
            state.stream->OnPause();
            break;
        case GST_STATE_CHANGE_PAUSED_TO_PLAYING:
            state.stream->OnRun();
            break;
        case GST_STATE_CHANGE_PAUSED_TO_READY:
            state.stream->OnStop();
            break;
        case GST_STATE_CHANGE_READY_TO_NULL:
            // The streaming thread has ended; a receiver the stream made for
            // a description file stops with the graph, even where the
            // element itself lives on.
            state.stream->ReleaseOwnReceiver();
            break;
        default:
            break;
        }
    }
    return GST_ELEMENT_CLASS(qv_cast_src_parent_class)->change_state(element, transition);
}

void Finalize(GObject* object)
{
    ElementState* state = reinterpret_cast<QvCastSrc*>(object)->state;
    DropPending(*state);
    if (state->caps != nullptr) {
        gst_caps_unref(state->caps);
    }
    delete state;
    G_OBJECT_CLASS(qv_cast_src_parent_class)->finalize(object);
}

} // namespace

static void qv_cast_src_class_init(QvCastSrcClass* klass)
{
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* baseClass = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass* pushClass = GST_PUSH_SRC_CLASS(klass);

    objectClass->finalize = Finalize;
    gst_element_class_set_static_metadata(
        elementClass, "Veltora Multicast Source", "Source/Network",
        "Reads a live multicast stream out of a stream receiver", "castnet");
    gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
    elementClass->change_state = ChangeState;
    baseClass->start = Start;
    baseClass->stop = Stop;
    baseClass->get_caps = GetCaps;
    baseClass->is_seekable = IsSeekable;
    baseClass->unlock = Unlock;
    baseClass->unlock_stop = UnlockStop;
    pushClass->create = Create;
}

static void qv_cast_src_init(QvCastSrc* self)
{
    self->state = new ElementState;
    GstBaseSrc* base = GST_BASE_SRC(self);
    gst_base_src_set_format(base, GST_FORMAT_BYTES);
    gst_base_src_set_live(base, FALSE);
    gst_base_src_set_blocksize(base, kBlockSize);
}

namespace castsrc {

bool RegisterElement()
{
    static const bool registered = [] {
        GError* error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            if (error != nullptr) {
                g_error_free(error);
            }
            return false;
        }
        return gst_element_register(nullptr, "castsource", GST_RANK_NONE, QV_TYPE_CAST_SRC) == TRUE;
    }();
    return registered;
}

GstElement* MakeElement(std::shared_ptr<CTalvexStream> stream, IQvFileSourceFilter* filter)
{
    if (!RegisterElement()) {
        return nullptr;
    }
    auto* element = static_cast<GstElement*>(g_object_new(QV_TYPE_CAST_SRC, nullptr));
    if (element == nullptr) {
        return nullptr;
    }
    gst_object_ref_sink(element);
    ElementState& state = StateOf(element);
    state.stream = std::move(stream);
    state.filter = filter;
    return element;
}

void DetachFilter(GstElement* element)
{
    ElementState& state = StateOf(element);
    std::lock_guard<std::mutex> hold(state.lock);
    state.filter = nullptr;
}

} // namespace castsrc
