// The multicast source's element over a receiver fed without sockets:
//   BM_CreateThroughput   bytes per second through create() to fakesink,
//                         the receiver kept full by a feeder thread;
//   BM_StreamCpu          process CPU per second of a 1.5 Mbit/s stream (the
//                         MPEG-1 sample paced at its own rate) into fakesink,
//                         and the same stream decoded, for comparison;
//   BM_StopWhileWaiting   how long a stop takes while create() waits in the
//                         receiver for data that does not come.
// The component is loaded by class id from a private registry, as a
// container loads it.
#include "castsource/castsource.h"

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include "platform/com/creation.h"
#include "platform/testsupport/tempfiles.h"

#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qvplat;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPayload = 8192;
constexpr std::size_t kBlock = 16384; // the element's default block size

void Require(bool condition, const char* what)
{
    if (!condition) {
        throw std::runtime_error(what);
    }
}

// Registers the component in a private registry once per process.
void RegisterOnce()
{
    static const bool done = [] {
        static const qvtest::TempDir registry("castbench");
        Require(registry.Valid(), "mkdtemp");
        setenv("QV_REGISTRY_DIR", registry.Path().c_str(), 1);
        gst_init(nullptr, nullptr);
        void* module = dlopen(QV_CASTSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
        Require(module != nullptr, "castsource does not load");
        auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
        Require(reg != nullptr && reg() == S_OK, "DllRegisterServer");
        return true;
    }();
    (void)done;
}

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Bytes Opv(std::uint32_t offset, const std::uint8_t* payload, std::size_t length)
{
    Bytes datagram(4 + length);
    for (int i = 0; i < 4; ++i) {
        datagram[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(offset >> (24 - 8 * i));
    }
    std::copy(payload, payload + length, datagram.begin() + 4);
    return datagram;
}

// The source over a detached receiver, into a fakesink, or decoded with a
// fakesink on every decoded stream.
class Rig
{
public:
    Rig(bool decode, const char* mux)
    {
        RegisterOnce();
        Require(CoCreateInstance(CLSID_QvMulticastSource, m_source) == S_OK, "create");
        m_settings.SetProperty("PacketFormat", "OPV");
        m_settings.SetProperty("PacketSize", "8196");
        m_settings.SetProperty("Mux", mux);
        m_settings.SetProperty("UDCTimeout", "100000");
        Require(QvHandOverReceiver(*m_source.Get(), &m_receiver, m_settings), "hand-over");
        Require(m_receiver.StartDetached() == QvUdpDataCollector::kStartOk, "receiver");

        GstElement* rest = gst_element_factory_make(decode ? "decodebin" : "fakesink", nullptr);
        Require(rest != nullptr, "pipeline tail");
        if (decode) {
            g_signal_connect(rest, "pad-added", G_CALLBACK(&Rig::OnDecodedPad), this);
        } else {
            g_object_set(rest, "sync", FALSE, nullptr);
        }
        m_pipeline = gst_pipeline_new(nullptr);
        GstElement* element = m_source.As<IQvSourceElement>()->GetElement();
        gst_bin_add_many(GST_BIN(m_pipeline), element, rest, nullptr);
        Require(gst_element_link(element, rest), "link");
        GstPad* pad = gst_element_get_static_pad(element, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &Rig::OnBuffer, this, nullptr);
        gst_object_unref(pad);
    }
    ~Rig()
    {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
        m_receiver.SetPropertyList(&m_settings);
        m_source.Reset();
        m_receiver.Stop();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    void Play() { gst_element_set_state(m_pipeline, GST_STATE_PLAYING); }
    GstStateChangeReturn Stop() { return gst_element_set_state(m_pipeline, GST_STATE_NULL); }
    QvUdpDataCollector& Receiver() { return m_receiver; }

    void WaitForBytes(std::uint64_t bytes)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [&] { return m_pushed >= bytes; });
    }
    std::uint64_t Pushed()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_pushed;
    }

private:
    static void OnDecodedPad(GstElement*, GstPad* pad, gpointer self)
    {
        auto* me = static_cast<Rig*>(self);
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", FALSE, nullptr);
        gst_bin_add(GST_BIN(me->m_pipeline), sink);
        gst_element_sync_state_with_parent(sink);
        GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
        gst_pad_link(pad, sinkPad);
        gst_object_unref(sinkPad);
    }

    static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer self)
    {
        auto* me = static_cast<Rig*>(self);
        std::lock_guard<std::mutex> hold(me->m_lock);
        me->m_pushed += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
        me->m_changed.notify_all();
        return GST_PAD_PROBE_OK;
    }

    QvPropertyList m_settings;
    QvUdpDataCollector m_receiver;
    ComPtr<IQvFileSourceFilter> m_source;
    GstElement* m_pipeline = nullptr;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::uint64_t m_pushed = 0;
};

void BM_CreateThroughput(benchmark::State& state)
{
    constexpr std::uint64_t kBytes = 256ull << 20;
    const Bytes payload(kPayload, 0x5A);
    for (auto _ : state) {
        Rig rig(false, "m2t");
        std::atomic<bool> feeding{true};
        // Keeps the receiver's queue well filled, never beyond its pool.
        std::thread feeder([&] {
            const unsigned high = static_cast<unsigned>(rig.Receiver().GetNumSmallBufs()) / 2;
            std::uint32_t offset = 0;
            while (feeding.load()) {
                if (rig.Receiver().GetSmallBufLevel() >= high) {
                    std::this_thread::yield();
                    continue;
                }
                const Bytes datagram = Opv(offset, payload.data(), payload.size());
                rig.Receiver().FeedDatagram(datagram.data(), datagram.size());
                offset += kPayload;
            }
        });
        const auto start = std::chrono::steady_clock::now();
        rig.Play();
        rig.WaitForBytes(kBytes);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        feeding.store(false);
        feeder.join();
        state.SetIterationTime(seconds);
        state.SetBytesProcessed(static_cast<std::int64_t>(state.bytes_processed()) +
                                static_cast<std::int64_t>(rig.Pushed()));
    }
}
BENCHMARK(BM_CreateThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

Bytes ReadSample(const char* name)
{
    const std::string path = std::string(QV_SOURCE_DIR) + "/samples/" + name;
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Require(!bytes.empty(), "sample");
    return bytes;
}

// The MPEG-1 sample (1452800 bit/s) fed in real time, twice over.
void BM_StreamCpu(benchmark::State& state)
{
    const bool decode = state.range(0) != 0;
    const Bytes sample = ReadSample("m1s_testsrc.mpg");
    constexpr double kBitsPerSecond = 1452800.0;
    constexpr int kPasses = 2;
    for (auto _ : state) {
        Rig rig(decode, "m1s");
        rig.Play();
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        std::uint32_t offset = 0;
        for (int pass = 0; pass < kPasses; ++pass) {
            for (std::size_t at = 0; at < sample.size(); at += kPayload) {
                const std::size_t length = std::min(kPayload, sample.size() - at);
                const auto due = start + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::duration<double>(
                                                 static_cast<double>(offset) * 8 / kBitsPerSecond));
                std::this_thread::sleep_until(due);
                const Bytes datagram = Opv(offset, sample.data() + at, length);
                rig.Receiver().FeedDatagram(datagram.data(), datagram.size());
                offset += static_cast<std::uint32_t>(length);
            }
        }
        // The receiver holds the last two datagrams back, and the element
        // asks for whole blocks.
        rig.WaitForBytes(offset - 2 * kPayload - kBlock);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        state.SetIterationTime(wall);
        state.counters["cpu_ms_per_s"] = cpu * 1000 / wall;
    }
}
BENCHMARK(BM_StreamCpu)
    ->ArgName("decode")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

void BM_StopWhileWaiting(benchmark::State& state)
{
    for (auto _ : state) {
        Rig rig(false, "m2p");
        rig.Play();
        while (!rig.Receiver().IsAlive()) {
            std::this_thread::sleep_for(1ms);
        }
        const auto start = std::chrono::steady_clock::now();
        Require(rig.Stop() == GST_STATE_CHANGE_SUCCESS, "stop");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_StopWhileWaiting)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace
