#include "media_test_helpers.h"

#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace qvtest {

namespace {
constexpr std::size_t kPiece = 64 * 1024;
}

namespace {
GstElement* MakeAppSource()
{
    gst_init(nullptr, nullptr); // tests may make a source before any graph
    return gst_element_factory_make("appsrc", nullptr);
}
} // namespace

ByteSource::ByteSource(std::vector<std::uint8_t> bytes)
    : m_element(MakeAppSource()), m_bytes(std::move(bytes))
{
    g_object_ref_sink(m_element);
    g_object_set(m_element, "stream-type", GST_APP_STREAM_TYPE_STREAM, "format", GST_FORMAT_BYTES,
                 "is-live", FALSE, nullptr);
    g_signal_connect(m_element, "need-data", G_CALLBACK(&ByteSource::OnNeedData), this);
}

ByteSource::~ByteSource()
{
    gst_object_unref(m_element);
}

void ByteSource::OnNeedData(GstElement* source, unsigned /*length*/, void* self)
{
    auto& me = *static_cast<ByteSource*>(self);
    ++me.m_reads;
    if (me.m_stopped.load()) {
        ++me.m_lateReads;
    }
    const std::lock_guard<std::mutex> hold(me.m_lock);
    if (me.m_offset >= me.m_bytes.size()) {
        gst_app_src_end_of_stream(GST_APP_SRC(source));
        return;
    }
    if (me.m_offset >= me.m_holdAt) {
        return; // Release pushes the rest
    }
    const std::size_t take =
        std::min({kPiece, me.m_bytes.size() - me.m_offset, me.m_holdAt - me.m_offset});
    GstBuffer* buffer = gst_buffer_new_memdup(me.m_bytes.data() + me.m_offset, take);
    me.m_offset += take;
    gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
}

void ByteSource::Release()
{
    const std::lock_guard<std::mutex> hold(m_lock);
    m_holdAt = SIZE_MAX;
    if (m_offset < m_bytes.size()) {
        GstBuffer* buffer =
            gst_buffer_new_memdup(m_bytes.data() + m_offset, m_bytes.size() - m_offset);
        m_offset = m_bytes.size();
        gst_app_src_push_buffer(GST_APP_SRC(m_element), buffer);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(m_element));
}

qvplat::MediaEvent WaitForEvent(qvplat::MediaGraph& graph, int timeoutMs, std::string* text)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const qvplat::MediaEvent event = graph.PopEvent(text);
        if (event != qvplat::MediaEvent::None || std::chrono::steady_clock::now() > end) {
            return event;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

qvplat::MediaSinks FakeSinks(bool sync)
{
    const std::string tail = sync ? " sync=true" : " sync=false";
    return {"fakesink" + tail, "fakeaudiosink" + tail};
}

} // namespace qvtest
