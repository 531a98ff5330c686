// Shared pieces of the multicast source's tests: a private registry with the
// component registered, creation by class id, and a pipeline
// "castsource ! decodebin ! fakesink" that records what the source pushed
// and counts the decoded video frames.
#pragma once

#include "castsource/castsource.h"

#include "platform/com/creation.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/tempfiles.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <dlfcn.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace castsourcetest {

using namespace qvplat;
using qvtest::Bytes;

inline std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// Calls one export of the component library.
inline HRESULT CallExport(const char* name)
{
    void* handle = dlopen(QV_CASTSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        ADD_FAILURE() << dlerror();
        return E_FAIL;
    }
    auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
    const HRESULT hr = fn != nullptr ? fn() : E_FAIL;
    dlclose(handle);
    return hr;
}

// A description file: section "QV" with the given lines.
inline std::string WriteDescription(const qvtest::TempDir& dir, const std::string& name,
                                    const std::vector<std::string>& lines)
{
    const std::string path = dir.File(name);
    std::ofstream out(path);
    out << "[QV]\n";
    for (const std::string& line : lines) {
        out << line << "\n";
    }
    return path;
}

// Private settings directories with the component registered in them.
class RegisteredSource : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gst_init(nullptr, nullptr);
        ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    }

    ComPtr<IQvFileSourceFilter> MakeSource()
    {
        ComPtr<IQvFileSourceFilter> source;
        EXPECT_EQ(CoCreateInstance(CLSID_QvMulticastSource, source), S_OK);
        return source;
    }

    qvtest::SettingsEnv m_env;
    qvtest::TempDir m_dir{"castsource"};
};

// What the source element pushed, buffer by buffer.
struct Pushed
{
    std::uint64_t offset;
    Bytes bytes;
    bool discont;
};

inline Bytes Joined(const std::vector<Pushed>& buffers)
{
    Bytes all;
    for (const Pushed& pushed : buffers) {
        all.insert(all.end(), pushed.bytes.begin(), pushed.bytes.end());
    }
    return all;
}

// source ! decodebin ! fakesink (one fakesink per decoded stream).
class DecodePipeline
{
public:
    explicit DecodePipeline(GstElement* source) : m_source(source)
    {
        m_pipeline = gst_pipeline_new(nullptr);
        GstElement* decoder = gst_element_factory_make("decodebin", nullptr);
        gst_bin_add_many(GST_BIN(m_pipeline), source, decoder, nullptr);
        EXPECT_TRUE(gst_element_link(source, decoder));
        g_signal_connect(decoder, "pad-added", G_CALLBACK(&DecodePipeline::OnPadAdded), this);
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_add_probe(pad,
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          &DecodePipeline::OnSourceData, this, nullptr);
        gst_object_unref(pad);
    }
    ~DecodePipeline()
    {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
    }
    DecodePipeline(const DecodePipeline&) = delete;
    DecodePipeline& operator=(const DecodePipeline&) = delete;

    GstElement* Get() const { return m_pipeline; }
    GstStateChangeReturn SetState(GstState state)
    {
        return gst_element_set_state(m_pipeline, state);
    }

    // Waits for the end of the stream or an error on the bus; the message
    // type, or GST_MESSAGE_UNKNOWN when neither came in time.
    GstMessageType WaitForEnd(std::chrono::seconds bound, std::string* error = nullptr)
    {
        GstBus* bus = gst_element_get_bus(m_pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, static_cast<GstClockTime>(bound.count()) * GST_SECOND,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        gst_object_unref(bus);
        if (message == nullptr) {
            return GST_MESSAGE_UNKNOWN;
        }
        const GstMessageType type = GST_MESSAGE_TYPE(message);
        if (type == GST_MESSAGE_ERROR && error != nullptr) {
            GError* failure = nullptr;
            gst_message_parse_error(message, &failure, nullptr);
            *error = failure != nullptr ? failure->message : "";
            g_clear_error(&failure);
        }
        gst_message_unref(message);
        return type;
    }

    // Waits until the source has pushed `bytes` bytes (or its end); false
    // when that did not happen within the bound.
    bool WaitForBytes(std::uint64_t bytes, std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, bound,
                                  [&] { return m_pushedBytes >= bytes || m_sourceEnded; });
    }

    // Waits until the source has pushed the end of the stream.
    bool WaitForSourceEnd(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, bound, [&] { return m_sourceEnded; });
    }

    std::vector<Pushed> Buffers()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_buffers;
    }
    std::uint64_t PushedBytes()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_pushedBytes;
    }
    int VideoFrames()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_videoFrames;
    }

private:
    static GstPadProbeReturn OnSourceData(GstPad*, GstPadProbeInfo* info, gpointer self)
    {
        auto* me = static_cast<DecodePipeline*>(self);
        std::lock_guard<std::mutex> hold(me->m_lock);
        if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            Pushed pushed{GST_BUFFER_OFFSET(buffer), Bytes(gst_buffer_get_size(buffer)),
                          GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT)};
            gst_buffer_extract(buffer, 0, pushed.bytes.data(), pushed.bytes.size());
            me->m_pushedBytes += pushed.bytes.size();
            me->m_buffers.push_back(std::move(pushed));
        } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
            me->m_sourceEnded = true;
        }
        me->m_changed.notify_all();
        return GST_PAD_PROBE_OK;
    }

    static GstPadProbeReturn OnVideoFrame(GstPad*, GstPadProbeInfo*, gpointer self)
    {
        auto* me = static_cast<DecodePipeline*>(self);
        std::lock_guard<std::mutex> hold(me->m_lock);
        ++me->m_videoFrames;
        return GST_PAD_PROBE_OK;
    }

    static void OnPadAdded(GstElement*, GstPad* pad, gpointer self)
    {
        auto* me = static_cast<DecodePipeline*>(self);
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", FALSE, nullptr);
        gst_bin_add(GST_BIN(me->m_pipeline), sink);
        gst_element_sync_state_with_parent(sink);
        GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
        gst_pad_link(pad, sinkPad);
        GstCaps* caps = gst_pad_get_current_caps(pad);
        if (caps != nullptr) {
            const gchar* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
            if (g_str_has_prefix(name, "video/")) {
                gst_pad_add_probe(sinkPad, GST_PAD_PROBE_TYPE_BUFFER, &DecodePipeline::OnVideoFrame,
                                  me, nullptr);
            }
            gst_caps_unref(caps);
        }
        gst_object_unref(sinkPad);
    }

    GstElement* m_source;
    GstElement* m_pipeline = nullptr;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Pushed> m_buffers;
    std::uint64_t m_pushedBytes = 0;
    bool m_sourceEnded = false;
    int m_videoFrames = 0;
};

} // namespace castsourcetest
