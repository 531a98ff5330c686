// source ! decodebin ! fakesink over a handed-over receiver that the test
// feeds datagram by datagram (no sockets): every sample decodes whole up to
// its last picture when the data stops, a gap marks the bytes after it
// DISCONT, and stopping the pipeline frees a read that waits in the
// receiver. Then the description road with settings its receiver cannot
// start with.
#include "castsource_testing.h"

#include "core/receive/qvcollector.h"
#include "core/testsupport/debuglog_capture.h"

#include <algorithm>
#include <thread>

namespace {

using namespace castsourcetest;

constexpr std::size_t kPayload = 8192;

struct Sample
{
    const char* file;
    const char* mux;
    int frames;
};

void PrintTo(const Sample& sample, std::ostream* out)
{
    *out << sample.file;
}

class FedPipelineTest : public RegisteredSource
{
protected:
    void TearDown() override
    {
        m_pipeline.reset();
        // As the playback library does: the receiver's settings are its own
        // again before the source goes.
        m_receiver.SetPropertyList(&m_settings);
        m_source.Reset();
        m_receiver.Stop();
    }

    // Hands a detached receiver over; returns the sample's "OPV" datagrams
    // (a big-endian stream offset, then the payload).
    std::vector<Bytes> Start(const char* file, const char* mux)
    {
        m_file = qvtest::ReadAll(qvtest::SamplePath(file));
        EXPECT_FALSE(m_file.empty());
        m_settings.SetProperties("PacketFormat=OPV PacketSize=8196 UDCTimeout=50");
        if (*mux != '\0') {
            m_settings.SetProperty("Mux", mux);
        }
        m_source = MakeSource();
        EXPECT_TRUE(QvHandOverReceiver(*m_source.Get(), &m_receiver, m_settings));
        EXPECT_EQ(m_receiver.StartDetached(), QvUdpDataCollector::kStartOk);
        m_pipeline =
            std::make_unique<DecodePipeline>(m_source.As<IQvSourceElement>()->GetElement());
        std::vector<Bytes> datagrams;
        for (std::size_t at = 0; at < m_file.size(); at += kPayload) {
            Bytes datagram(4);
            for (int i = 0; i < 4; ++i) {
                datagram[static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(at >> (24 - 8 * i));
            }
            const auto from = m_file.begin() + static_cast<std::ptrdiff_t>(at);
            datagram.insert(
                datagram.end(), from,
                from + static_cast<std::ptrdiff_t>(std::min(kPayload, m_file.size() - at)));
            datagrams.push_back(std::move(datagram));
        }
        return datagrams;
    }

    void Feed(const Bytes& datagram) { m_receiver.FeedDatagram(datagram.data(), datagram.size()); }

    // Lets the source take everything fed: the receiver holds its last
    // packets back until its data timeout, so the watchdog runs until the
    // source has pushed `bytes`. The timeout then ends the stream, as a
    // sender's pause between passes does, with the receiver still running:
    // the decoders give out every picture they hold.
    void DrainAndEnd(std::uint64_t bytes)
    {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!m_pipeline->WaitFor([&](const Seen& seen) { return seen.ended; }, 20ms) &&
               std::chrono::steady_clock::now() < deadline) {
            m_receiver.WatchDog();
        }
        EXPECT_EQ(m_pipeline->Snapshot().bytes, bytes);
        std::string error;
        EXPECT_EQ(m_pipeline->WaitForEnd(&error), GST_MESSAGE_EOS) << error;
        EXPECT_TRUE(m_receiver.IsStarted());
    }

    QvPropertyList m_settings;
    QvUdpDataCollector m_receiver;
    ComPtr<IQvFileSourceFilter> m_source;
    std::unique_ptr<DecodePipeline> m_pipeline;
    Bytes m_file;
};

class SampleTest : public FedPipelineTest, public ::testing::WithParamInterface<Sample>
{
};

// Everything is fed before the pipeline starts: the pause on the way from
// stopped to playing must keep the buffered start of the stream.
TEST_P(SampleTest, DecodesEveryFrame)
{
    for (const Bytes& datagram : Start(GetParam().file, GetParam().mux)) {
        Feed(datagram);
    }
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    DrainAndEnd(m_file.size());
    const Seen seen = m_pipeline->Snapshot();
    EXPECT_EQ(seen.frames, GetParam().frames);
    EXPECT_TRUE(Joined(seen.buffers) == m_file);
    EXPECT_EQ(std::count_if(seen.buffers.begin() + 1, seen.buffers.end(),
                            [](const auto& buffer) { return buffer.second; }),
              0);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleTest,
                         ::testing::Values(Sample{"m1s_testsrc.mpg", "m1s", 50},
                                           Sample{"m2p_testsrc.mpg", "m2p", 100},
                                           Sample{"m2t_testsrc2.ts", "m2t", 100},
                                           // No multiplex type: a typefinder decides.
                                           Sample{"m2t_testsrc2.ts", "", 100}),
                         [](const ::testing::TestParamInfo<Sample>& sample) {
                             return *sample.param.mux != '\0' ? std::string(sample.param.mux)
                                                              : std::string("typefound");
                         });

TEST_F(FedPipelineTest, AGapMarksTheBytesAfterItDiscontAndDecodingGoesOn)
{
    const std::vector<Bytes> datagrams = Start("m2p_testsrc.mpg", "m2p");
    constexpr std::size_t kLost = 10;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        if (i != kLost) {
            Feed(datagrams[i]);
        }
    }
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    DrainAndEnd(m_file.size() - kPayload);

    // One DISCONT after the first buffer: before it the file up to the gap,
    // from it on the file after the gap.
    const Seen seen = m_pipeline->Snapshot();
    const auto discont = [](const auto& buffer) { return buffer.second; };
    const auto gap = std::find_if(seen.buffers.begin() + 1, seen.buffers.end(), discont);
    ASSERT_NE(gap, seen.buffers.end());
    EXPECT_EQ(std::count_if(gap + 1, seen.buffers.end(), discont), 0);
    const auto gapStart = m_file.begin() + static_cast<std::ptrdiff_t>(kLost * kPayload);
    EXPECT_TRUE(Joined({seen.buffers.begin(), gap}) == Bytes(m_file.begin(), gapStart));
    EXPECT_TRUE(Joined({gap, seen.buffers.end()}) ==
                Bytes(gapStart + static_cast<std::ptrdiff_t>(kPayload), m_file.end()));
    EXPECT_GT(seen.frames, 80); // of 100
}

TEST_F(FedPipelineTest, StoppingReleasesAWaitingReadWhichResumesOnTheNextStart)
{
    const std::vector<Bytes> datagrams = Start("m2t_testsrc2.ts", "m2t");
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    // Nothing fed: the source's read waits in the receiver.
    while (!m_receiver.IsAlive()) {
        std::this_thread::sleep_for(1ms);
    }
    const auto stopping = std::chrono::steady_clock::now();
    ASSERT_EQ(m_pipeline->SetState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    // A loose bound (the benchmark measures it): without the release the
    // read would wait for data for ever.
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    EXPECT_FALSE(m_receiver.IsAlive());
    for (std::size_t i = 0; i < 4; ++i) {
        Feed(datagrams[i]);
    }
    EXPECT_EQ(m_receiver.GetSmallBufLevel(), 4u) << "read after the stop";

    // The receiver was never stopped and is armed again.
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    EXPECT_TRUE(m_pipeline->WaitFor([](const Seen& seen) { return seen.bytes >= 2 * kPayload; }));
}

// The description road: settings the receiver cannot start with end the
// stream with an error, logged once.
TEST_F(RegisteredSource, AReceiverThatCannotStartEndsTheStreamWithAnError)
{
    coretest::DebugLogCapture log;
    ComPtr<IQvFileSourceFilter> source = MakeSource();
    const std::string qsl = WriteDescription(m_dir, "broken.qsl", {"PacketSize=1"});
    ASSERT_EQ(source->Load(Wide(qsl).c_str(), nullptr), S_OK);
    DecodePipeline pipeline(source.As<IQvSourceElement>()->GetElement());
    ASSERT_NE(pipeline.SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    std::string error;
    EXPECT_EQ(pipeline.WaitForEnd(&error), GST_MESSAGE_ERROR);
    EXPECT_NE(error.find("could not be made or started"), std::string::npos) << error;
    EXPECT_TRUE(pipeline.WaitFor([](const Seen& seen) { return seen.ended; }));
    pipeline.SetState(GST_STATE_NULL);
    const std::string text = log.Text();
    const std::string line = "failed to start collector";
    EXPECT_EQ(text.find(line), text.rfind(line)) << text;
    EXPECT_NE(text.find(line), std::string::npos) << text;
}

} // namespace
