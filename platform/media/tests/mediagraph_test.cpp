// The GStreamer graph with fake sinks: the samples from files and through a
// stand-in live source, bad input, stopping, position and volume. (The
// video window is shown on a display by the playback smoke test.)
#include "media_test_helpers.h"

#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

using qvplat::MediaEvent;
using qvplat::MediaGraph;

constexpr int kPlayTimeoutMs = 60000;

struct Sample
{
    const char* file;
    int width;
    int height;
};
const Sample kSamples[] = {
    {"m1s_testsrc.mpg", 352, 240},
    {"m2p_testsrc.mpg", 320, 240},
    {"m2t_testsrc2.ts", 320, 240},
};

std::unique_ptr<MediaGraph> MakeGraph(bool sync = false)
{
    auto graph = qvplat::CreateMediaGraph(qvtest::FakeSinks(sync));
    EXPECT_NE(graph, nullptr);
    return graph;
}

// Each sample, from its file and as a byte stream, prerolls with its
// picture size and audio and plays to the end.
TEST(MediaGraph, SamplesPlayToCompletion)
{
    for (const Sample& sample : kSamples) {
        for (const bool live : {false, true}) {
            SCOPED_TRACE(std::string(sample.file) + (live ? " live" : " file"));
            const std::string path = qvtest::SamplePath(sample.file);
            qvtest::ByteSource source(qvtest::ReadAll(path));
            auto graph = MakeGraph();
            ASSERT_TRUE(live ? graph->RenderSource(source.Element()) : graph->RenderFile(path));
            int width = 0;
            int height = 0;
            ASSERT_TRUE(graph->GetVideoSize(width, height));
            EXPECT_EQ(width, sample.width);
            EXPECT_EQ(height, sample.height);
            long volume = 1;
            EXPECT_TRUE(graph->GetVolume(volume));
            EXPECT_EQ(volume, 0);
            ASSERT_TRUE(graph->Run());
            std::string text;
            EXPECT_EQ(qvtest::WaitForEvent(*graph, kPlayTimeoutMs, &text), MediaEvent::Complete)
                << text;
            EXPECT_GT(graph->GetVideoStats().rendered, 40u);
        }
    }
}

// Bad input ends in an error event and a graph that goes away cleanly.
TEST(MediaGraph, BadInputGivesAnErrorEvent)
{
    qvtest::TempDir dir;
    const std::string text = dir.Write("notes.mpg", qvtest::Bytes(5000, 'x'));
    std::mt19937 random(7);
    qvtest::Bytes noise(300000);
    for (auto& byte : noise) {
        byte = static_cast<std::uint8_t>(random());
    }
    struct Case
    {
        const char* what;
        std::string file; // empty: the noise through the live source
    };
    for (const Case& c : {Case{"missing file", dir.File("missing.mpg")},
                          Case{"text named .mpg", text}, Case{"random bytes live", ""}}) {
        SCOPED_TRACE(c.what);
        qvtest::ByteSource source(noise);
        auto graph = MakeGraph();
        EXPECT_FALSE(c.file.empty() ? graph->RenderSource(source.Element())
                                    : graph->RenderFile(c.file));
        std::string reason;
        EXPECT_EQ(graph->PopEvent(&reason), MediaEvent::Error);
        EXPECT_FALSE(reason.empty());
        int width = 0;
        int height = 0;
        EXPECT_FALSE(graph->GetVideoSize(width, height));
        EXPECT_EQ(graph->GetPosition(), 0.0);
    }
}

// A live stream joined between two key frames: data flows, but the first
// picture comes only with the next sequence header. The graph is built
// all the same and prerolls when that comes.
TEST(MediaGraph, LiveGraphWaitsForItsFirstPicture)
{
    const qvtest::Bytes file = qvtest::ReadAll(qvtest::SamplePath("m2t_testsrc2.ts"));
    const qvtest::Bytes sequenceHeader{0x00, 0x00, 0x01, 0xB3};
    std::vector<std::size_t> headers;
    for (auto it = file.begin(); (it = std::search(it, file.end(), sequenceHeader.begin(),
                                                   sequenceHeader.end())) != file.end();
         ++it) {
        headers.push_back(static_cast<std::size_t>(it - file.begin()));
    }
    ASSERT_GE(headers.size(), 2u);
    // From the packet after the first header's to the packet of the next.
    constexpr std::size_t kPacket = 188;
    const std::size_t from = (headers[0] / kPacket + 1) * kPacket;
    const std::size_t hold = headers[1] / kPacket * kPacket;
    ASSERT_GT(hold, from + 20 * kPacket);
    qvtest::ByteSource source(
        qvtest::Bytes(file.begin() + static_cast<std::ptrdiff_t>(from), file.end()));
    source.HoldAt(hold - from);

    auto graph = MakeGraph();
    ASSERT_TRUE(graph->RenderSource(source.Element()));
    EXPECT_FALSE(graph->IsPrerolled());
    EXPECT_EQ(graph->PopEvent(), MediaEvent::None);
    // Asked to run now, it runs when the picture is there.
    ASSERT_TRUE(graph->Run());
    source.Release();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!graph->IsPrerolled() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(graph->IsPrerolled());
    int width = 0;
    int height = 0;
    ASSERT_TRUE(graph->GetVideoSize(width, height));
    EXPECT_EQ(width, 320);
    std::string text;
    EXPECT_EQ(qvtest::WaitForEvent(*graph, kPlayTimeoutMs, &text), MediaEvent::Complete) << text;
    EXPECT_GT(graph->GetVideoStats().rendered, 40u);
}

// Stop returns only when the pipeline's threads have let go of the source.
TEST(MediaGraph, NoReadAfterStop)
{
    // Twice the sample, so the graph is still reading when it stops.
    qvtest::Bytes bytes = qvtest::ReadAll(qvtest::SamplePath("m1s_testsrc.mpg"));
    bytes.insert(bytes.end(), bytes.begin(), bytes.end());
    qvtest::ByteSource source(bytes);
    auto graph = MakeGraph(true);
    ASSERT_TRUE(graph->RenderSource(source.Element()));
    ASSERT_TRUE(graph->Run());
    graph->Stop();
    source.MarkStopped();
    const int reads = source.Reads();
    graph.reset();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(source.LateReads(), 0);
    // Nothing of the graph (its bus's messages included) still holds the source.
    EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(source.Element()), 1);
}

TEST(MediaGraph, PositionDurationPauseAndSeek)
{
    auto graph = MakeGraph(true);
    // The transport stream, whose demuxer seeks exactly; its first picture
    // is stamped 0.73 s, and positions count from there.
    ASSERT_TRUE(graph->RenderFile(qvtest::SamplePath("m2t_testsrc2.ts")));
    EXPECT_NEAR(graph->GetDuration(), 4.0, 0.25);
    EXPECT_EQ(graph->GetPosition(), 0.0);
    ASSERT_TRUE(graph->Run());
    while (graph->GetPosition() < 0.2 && graph->PopEvent() == MediaEvent::None) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(graph->Pause());
    const double paused = graph->GetPosition();
    EXPECT_GT(paused, 0.0);
    EXPECT_LT(paused, 3.0);
    ASSERT_TRUE(graph->SetPosition(3.0));
    ASSERT_TRUE(graph->Run());
    EXPECT_EQ(qvtest::WaitForEvent(*graph, kPlayTimeoutMs), MediaEvent::Complete);
    EXPECT_NEAR(graph->GetPosition(), 4.0, 0.1);
    // The last second of the 100 pictures was shown after the seek.
    EXPECT_NEAR(graph->GetVideoStats().rendered, 25u, 3u);
}

TEST(MediaGraph, VolumeRoundTrip)
{
    auto graph = MakeGraph();
    long volume = 0;
    graph->SetVolume(-2000);
    EXPECT_FALSE(graph->GetVolume(volume)) << "no audio yet";
    ASSERT_TRUE(graph->RenderFile(qvtest::SamplePath("m1s_testsrc.mpg")));
    ASSERT_TRUE(graph->GetVolume(volume));
    EXPECT_EQ(volume, -2000) << "the volume set before the audio existed";
    for (const long value : {-316L, -9L, 0L, -10000L, -9999L}) {
        graph->SetVolume(value);
        ASSERT_TRUE(graph->GetVolume(volume));
        EXPECT_EQ(volume, value);
    }
    graph->SetVolume(-20000);
    ASSERT_TRUE(graph->GetVolume(volume));
    EXPECT_EQ(volume, MediaGraph::kMinVolume);
}

} // namespace
