// Shared pieces of the multicast source's tests: a private registry with the
// component registered, and a pipeline "source ! decodebin ! fakesink" that
// records what the source pushed and counts the decoded video frames.
#pragma once

#include "castsource/castsource.h"

#include "platform/com/creation.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/tempfiles.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <dlfcn.h>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace castsourcetest {

using namespace qvplat;
using namespace std::chrono_literals;
using qvtest::Bytes;

inline std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// Calls one export of the component library.
inline HRESULT CallExport(const char* name)
{
    void* handle = dlopen(QV_CASTSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
    auto fn = handle != nullptr ? reinterpret_cast<HRESULT (*)()>(dlsym(handle, name)) : nullptr;
    const HRESULT hr = fn != nullptr ? fn() : E_FAIL;
    if (handle != nullptr) {
        dlclose(handle);
    }
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

// What the source pushed: each buffer's bytes and DISCONT flag, whether it
// ended the stream, and the frames that came out of the video decoder.
struct Seen
{
    std::vector<std::pair<Bytes, bool>> buffers;
    std::uint64_t bytes = 0;
    bool ended = false;
    int frames = 0;
};

inline Bytes Joined(const std::vector<std::pair<Bytes, bool>>& buffers)
{
    Bytes all;
    for (const auto& [bytes, discont] : buffers) {
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    return all;
}

// source ! decodebin ! fakesink (one fakesink per decoded stream).
class DecodePipeline
{
public:
    explicit DecodePipeline(GstElement* source) : m_pipeline(gst_pipeline_new(nullptr))
    {
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

    GstStateChangeReturn SetState(GstState state)
    {
        return gst_element_set_state(m_pipeline, state);
    }

    // The end of the stream or an error on the bus (GST_MESSAGE_UNKNOWN when
    // neither came in time), with the error's text.
    GstMessageType WaitForEnd(std::string* error = nullptr, std::chrono::seconds bound = 60s)
    {
        GstBus* bus = gst_element_get_bus(m_pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, static_cast<GstClockTime>(bound.count()) * GST_SECOND,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        gst_object_unref(bus);
        const GstMessageType type =
            message != nullptr ? GST_MESSAGE_TYPE(message) : GST_MESSAGE_UNKNOWN;
        if (type == GST_MESSAGE_ERROR && error != nullptr) {
            GError* failure = nullptr;
            gst_message_parse_error(message, &failure, nullptr);
            *error = failure->message;
            g_clear_error(&failure);
        }
        if (message != nullptr) {
            gst_message_unref(message);
        }
        return type;
    }

    // Waits until what was seen satisfies `done`; false when it did not in time.
    template <class Done> bool WaitFor(Done done, std::chrono::milliseconds bound = 60s)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, bound, [&] { return done(m_seen); });
    }
    Seen Snapshot()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_seen;
    }

private:
    static GstPadProbeReturn OnSourceData(GstPad*, GstPadProbeInfo* info, gpointer self)
    {
        auto* me = static_cast<DecodePipeline*>(self);
        std::lock_guard<std::mutex> hold(me->m_lock);
        if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            Bytes bytes(gst_buffer_get_size(buffer));
            gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
            me->m_seen.bytes += bytes.size();
            me->m_seen.buffers.emplace_back(
                std::move(bytes), GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
        } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
            me->m_seen.ended = true;
        }
        me->m_changed.notify_all();
        return GST_PAD_PROBE_OK;
    }

    static GstPadProbeReturn OnVideoFrame(GstPad*, GstPadProbeInfo*, gpointer self)
    {
        auto* me = static_cast<DecodePipeline*>(self);
        std::lock_guard<std::mutex> hold(me->m_lock);
        ++me->m_seen.frames;
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
        if (g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/")) {
            gst_pad_add_probe(sinkPad, GST_PAD_PROBE_TYPE_BUFFER, &DecodePipeline::OnVideoFrame, me,
                              nullptr);
        }
        gst_caps_unref(caps);
        gst_object_unref(sinkPad);
    }

    GstElement* m_pipeline;
    std::mutex m_lock;
    std::condition_variable m_changed;
    Seen m_seen;
};

} // namespace castsourcetest
