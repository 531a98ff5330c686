// Drives the multicast source's element ("castsource ! fakesink") over a
// handed-over receiver that is fed datagrams built from the input: any
// length, stream offsets that run on, repeat, go back or skip ahead,
// interleaved with watchdog passes (data timeouts), flushes, receiver stops
// and restarts, block-size changes and state changes of the pipeline. The
// element must never push more than was fed, a buffer that does not follow
// on from the one before must be marked DISCONT, and the pipeline must stop
// promptly whenever it is told to (a stop that hangs ends the process).
#include "castsource/castsource.h"

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include "platform/com/creation.h"
#include "platform/testsupport/tempfiles.h"

#include <gst/gst.h>

#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace qvplat;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    std::uint8_t Next() { return m_at < m_size ? m_data[m_at++] : 0; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// Seconds within which a stop of the pipeline must come back.
constexpr unsigned kStopBound = 20;

class Harness
{
public:
    Harness()
    {
        // A private registry for the component's registration.
        static const qvtest::TempDir registry("castfuzz");
        Require(registry.Valid());
        setenv("QV_REGISTRY_DIR", registry.Path().c_str(), 1);
        gst_init(nullptr, nullptr);
        void* module = dlopen(QV_CASTSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
        Require(module != nullptr);
        auto registerServer = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
        Require(registerServer != nullptr && registerServer() == S_OK);

        Require(CoCreateInstance(CLSID_QvMulticastSource, m_source) == S_OK);
        m_settings.SetProperty("PacketFormat", "OPV");
        m_settings.SetProperty("FixHeader", "FALSE");
        m_settings.SetProperty("PacketSize", "8196"); // a pool of few packets restarts fast
        m_settings.SetProperty("UDCTimeout", "1");
        Require(QvHandOverReceiver(*m_source.Get(), &m_receiver, m_settings));
        Require(m_receiver.StartDetached() == QvUdpDataCollector::kStartOk);

        m_element = m_source.As<IQvSourceElement>()->GetElement();
        m_pipeline = gst_pipeline_new(nullptr);
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
        gst_bin_add_many(GST_BIN(m_pipeline), m_element, sink, nullptr);
        Require(gst_element_link(m_element, sink));
        GstPad* pad = gst_element_get_static_pad(m_element, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &Harness::OnData, this, nullptr);
        gst_object_unref(pad);
    }

    void Run(Input& in)
    {
        const std::uint8_t first = in.Next();
        SetBlockSize(first);
        gst_element_set_state(m_pipeline, GST_STATE_PLAYING);
        while (!in.Done()) {
            switch (in.Next() % 10) {
            case 0:
            case 1:
            case 2:
                Feed(in);
                break;
            case 3:
                m_receiver.WatchDog();
                break;
            case 4: // state changes and flushes are dear: a quarter of their turns
                if (in.Next() % 4 == 0) {
                    SetState(in.Next());
                }
                break;
            case 5: // a flush from the application
                if (in.Next() % 4 == 0) {
                    gst_element_send_event(m_element, gst_event_new_flush_start());
                    gst_element_send_event(m_element, gst_event_new_flush_stop(TRUE));
                }
                break;
            case 6:
                m_receiver.FlushAllFifos();
                break;
            case 7: // now and then the receiver stops (the stream ends) and starts again
                if (in.Next() % 8 != 0) {
                    break;
                }
                m_receiver.Stop();
                if (in.Next() % 2 == 0) {
                    Require(m_receiver.StartDetached() == QvUdpDataCollector::kStartOk);
                    m_offset = 0;
                }
                break;
            case 8:
                SetBlockSize(in.Next());
                break;
            case 9: // lets the streaming thread catch up
                std::this_thread::yield();
                break;
            }
        }
        // Stopping is dear: an eighth of the inputs end with it.
        if (first % 8 == 0) {
            Stop();
        }
        if (!m_receiver.IsStarted()) {
            Require(m_receiver.StartDetached() == QvUdpDataCollector::kStartOk);
        }
        std::lock_guard<std::mutex> hold(m_lock);
        Require(m_pushed <= m_fed);
    }

private:
    void Feed(Input& in)
    {
        const std::size_t length = static_cast<std::size_t>(in.Next()) * 6;
        switch (in.Next() % 8) {
        case 0: // a gap
            m_offset += static_cast<std::uint32_t>(in.Next()) * 100;
            break;
        case 1: // back
            m_offset -= static_cast<std::uint32_t>(in.Next()) * 100;
            break;
        default:
            break;
        }
        // The element does not look into the bytes: a pattern will do, so
        // that the input goes into the sequence of events.
        std::vector<std::uint8_t> datagram(4 + length, in.Next());
        for (int i = 0; i < 4; ++i) {
            datagram[static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(m_offset >> (24 - 8 * i));
        }
        if (m_receiver.FeedDatagram(datagram.data(), datagram.size())) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_fed += length;
        }
        m_offset += static_cast<std::uint32_t>(length);
    }

    // Reads of 1 byte up to 4 KiB: the receiver returns only whole requests.
    void SetBlockSize(std::uint8_t which)
    {
        g_object_set(m_element, "blocksize", static_cast<guint>(1 + which * 16), nullptr);
    }

    void SetState(std::uint8_t which)
    {
        static constexpr GstState kStates[] = {GST_STATE_NULL, GST_STATE_READY, GST_STATE_PAUSED,
                                               GST_STATE_PLAYING, GST_STATE_PLAYING};
        const GstState state = kStates[which % 5];
        if (state == GST_STATE_NULL || state == GST_STATE_READY) {
            Stop(state);
            return;
        }
        gst_element_set_state(m_pipeline, state);
    }

    // Stops the pipeline within the bound, or the alarm ends the process.
    void Stop(GstState state = GST_STATE_NULL)
    {
        alarm(kStopBound);
        gst_element_set_state(m_pipeline, state);
        alarm(0);
    }

    static GstPadProbeReturn OnData(GstPad*, GstPadProbeInfo* info, gpointer self)
    {
        auto* me = static_cast<Harness*>(self);
        std::lock_guard<std::mutex> hold(me->m_lock);
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        const gsize size = gst_buffer_get_size(buffer);
        Require(size > 0);
        // A buffer that does not follow on from the one before is DISCONT.
        Require(GST_BUFFER_OFFSET(buffer) == me->m_nextOffset ||
                GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
        Require(GST_BUFFER_OFFSET_END(buffer) == GST_BUFFER_OFFSET(buffer) + size);
        me->m_nextOffset = GST_BUFFER_OFFSET_END(buffer);
        me->m_pushed += size;
        return GST_PAD_PROBE_OK;
    }

    QvPropertyList m_settings;
    QvUdpDataCollector m_receiver;
    ComPtr<IQvFileSourceFilter> m_source;
    GstElement* m_element = nullptr;
    GstElement* m_pipeline = nullptr;
    std::uint32_t m_offset = 0;

    std::mutex m_lock; // the counts and the offset, shared with the streaming thread
    std::uint64_t m_fed = 0;
    std::uint64_t m_pushed = 0;
    guint64 m_nextOffset = GST_BUFFER_OFFSET_NONE;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One pipeline for the whole run.
    static Harness* harness = new Harness;
    Input in(data, size);
    harness->Run(in);
    return 0;
}
