// A stand-in for the live source element: appsrc handing out the bytes of a
// buffer in 64 KiB pieces, non-seekable like the network source, counting
// the reads the graph makes.
#pragma once

#include "platform/media/mediagraph.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gst/gst.h>

namespace qvtest {

class ByteSource
{
public:
    explicit ByteSource(std::vector<std::uint8_t> bytes);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // The element for RenderSource (floating until the graph takes it).
    GstElement* Element() const { return m_element; }
    int Reads() const { return m_reads.load(); }
    // From now on every read counts as late.
    void MarkStopped() { m_stopped.store(true); }
    // Hands out nothing from `offset` on (call before the graph reads) until
    // Release, which hands out the rest at once.
    void HoldAt(std::size_t offset) { m_holdAt = offset; }
    void Release();
    int LateReads() const { return m_lateReads.load(); }

private:
    static void OnNeedData(GstElement* source, unsigned length, void* self);

    GstElement* m_element;
    std::vector<std::uint8_t> m_bytes;
    std::mutex m_lock; // the offset, between the test and the graph's thread
    std::size_t m_offset = 0;
    std::size_t m_holdAt = SIZE_MAX;
    std::atomic<int> m_reads{0};
    std::atomic<int> m_lateReads{0};
    std::atomic<bool> m_stopped{false};
};

// Polls the graph's events until one arrives or timeoutMs passes.
qvplat::MediaEvent WaitForEvent(qvplat::MediaGraph& graph, int timeoutMs,
                                std::string* text = nullptr);

// Fake sinks, not synchronised to the clock unless asked.
qvplat::MediaSinks FakeSinks(bool sync = false);

} // namespace qvtest
