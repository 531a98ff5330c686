// castsource ! decodebin ! fakesink over a handed-over receiver that the
// test feeds datagram by datagram (no sockets): every sample decodes whole,
// a gap marks the bytes after it DISCONT, and stopping the pipeline frees a
// read that waits in the receiver.
#include "castsource_testing.h"

#include "core/receive/qvcollector.h"
#include "core/testsupport/debuglog_capture.h"

#include <algorithm>
#include <thread>

namespace {

using namespace castsourcetest;
using namespace std::chrono_literals;

constexpr std::size_t kPayload = 8192;
constexpr auto kBound = 60s; // generous: the machine may be loaded

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

// "OPV" datagrams of the file: a big-endian stream offset, then the payload.
std::vector<Bytes> Datagrams(const Bytes& file)
{
    std::vector<Bytes> out;
    for (std::size_t at = 0; at < file.size(); at += kPayload) {
        const auto offset = static_cast<std::uint32_t>(at);
        Bytes datagram = {
            static_cast<std::uint8_t>(offset >> 24), static_cast<std::uint8_t>(offset >> 16),
            static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
        const std::size_t end = std::min(file.size(), at + kPayload);
        datagram.insert(datagram.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                        file.begin() + static_cast<std::ptrdiff_t>(end));
        out.push_back(std::move(datagram));
    }
    return out;
}

class FedPipelineTest : public RegisteredSource
{
protected:
    void SetUp() override
    {
        RegisteredSource::SetUp();
        m_settings.SetProperty("PacketFormat", "OPV");
        m_settings.SetProperty("PacketSize", "8196");
        m_settings.SetProperty("UDCTimeout", "50");
        m_source = MakeSource();
        ASSERT_TRUE(m_source);
    }
    void TearDown() override
    {
        m_pipeline.reset();
        // As the playback library does: the receiver's settings are its own
        // again before the source goes.
        m_receiver.SetPropertyList(&m_settings);
        m_source.Reset();
        m_receiver.Stop();
    }

    void Start(const char* mux)
    {
        m_settings.SetProperty("Mux", mux);
        ASSERT_TRUE(QvHandOverReceiver(*m_source.Get(), &m_receiver, m_settings));
        ASSERT_EQ(m_receiver.StartDetached(), QvUdpDataCollector::kStartOk);
        m_pipeline =
            std::make_unique<DecodePipeline>(m_source.As<IQvSourceElement>()->GetElement());
    }

    void Feed(const Bytes& datagram) { m_receiver.FeedDatagram(datagram.data(), datagram.size()); }

    // Lets the source take everything fed: the receiver holds the last
    // packets back until its data timeout, so the watchdog runs until the
    // source has pushed `bytes`. The timeout, reported to the source's next
    // read at once, does not end the stream on this road; the receiver's
    // stop does.
    void DrainAndEnd(std::uint64_t bytes)
    {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!m_pipeline->WaitForBytes(bytes, 20ms) &&
               std::chrono::steady_clock::now() < deadline) {
            m_receiver.WatchDog();
        }
        EXPECT_EQ(m_pipeline->PushedBytes(), bytes);
        EXPECT_FALSE(m_pipeline->WaitForSourceEnd(200ms)) << "the data timeout ended the stream";
        m_receiver.Stop();
        EXPECT_TRUE(m_pipeline->WaitForSourceEnd(kBound));
    }

    QvPropertyList m_settings;
    QvUdpDataCollector m_receiver;
    ComPtr<IQvFileSourceFilter> m_source;
    std::unique_ptr<DecodePipeline> m_pipeline;
};

class SampleTest : public FedPipelineTest, public ::testing::WithParamInterface<Sample>
{
};

// Everything is fed before the pipeline starts: the pause on the way from
// stopped to playing must keep the buffered start of the stream.
TEST_P(SampleTest, DecodesEveryFrame)
{
    const Sample sample = GetParam();
    const Bytes file = qvtest::ReadAll(qvtest::SamplePath(sample.file));
    ASSERT_FALSE(file.empty());
    Start(sample.mux);
    for (const Bytes& datagram : Datagrams(file)) {
        Feed(datagram);
    }
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    DrainAndEnd(file.size());

    std::string error;
    EXPECT_EQ(m_pipeline->WaitForEnd(kBound, &error), GST_MESSAGE_EOS) << error;
    EXPECT_EQ(m_pipeline->VideoFrames(), sample.frames);
    const std::vector<Pushed> buffers = m_pipeline->Buffers();
    EXPECT_TRUE(Joined(buffers) == file);
    EXPECT_EQ(std::count_if(buffers.begin() + 1, buffers.end(),
                            [](const Pushed& pushed) { return pushed.discont; }),
              0);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleTest,
                         ::testing::Values(Sample{"m1s_testsrc.mpg", "m1s", 50},
                                           Sample{"m2p_testsrc.mpg", "m2p", 100},
                                           Sample{"m2t_testsrc2.ts", "m2t", 100}),
                         [](const ::testing::TestParamInfo<Sample>& sample) {
                             return std::string(sample.param.mux);
                         });

TEST_F(FedPipelineTest, AGapMarksTheBytesAfterItDiscontAndDecodingGoesOn)
{
    const Bytes file = qvtest::ReadAll(qvtest::SamplePath("m2p_testsrc.mpg"));
    ASSERT_FALSE(file.empty());
    Start("m2p");
    const std::vector<Bytes> datagrams = Datagrams(file);
    constexpr std::size_t kLost = 10;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        if (i != kLost) {
            Feed(datagrams[i]);
        }
    }
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    DrainAndEnd(file.size() - kPayload);

    std::string error;
    EXPECT_EQ(m_pipeline->WaitForEnd(kBound, &error), GST_MESSAGE_EOS) << error;
    const std::vector<Pushed> buffers = m_pipeline->Buffers();
    const auto firstAfterGap = std::find_if(buffers.begin() + 1, buffers.end(),
                                            [](const Pushed& pushed) { return pushed.discont; });
    ASSERT_NE(firstAfterGap, buffers.end());
    EXPECT_EQ(std::count_if(firstAfterGap + 1, buffers.end(),
                            [](const Pushed& pushed) { return pushed.discont; }),
              0);
    // Everything before the DISCONT buffer is the file up to the gap, and
    // the DISCONT buffer starts right after it.
    const Bytes before = Joined({buffers.begin(), firstAfterGap});
    const Bytes after = Joined({firstAfterGap, buffers.end()});
    const auto gapStart = static_cast<std::ptrdiff_t>(kLost * kPayload);
    EXPECT_TRUE(before == Bytes(file.begin(), file.begin() + gapStart));
    EXPECT_TRUE(after == Bytes(file.begin() + gapStart + kPayload, file.end()));
    // Decoding went on past the gap: most of the 100 frames come out.
    EXPECT_GT(m_pipeline->VideoFrames(), 80);
}

TEST_F(FedPipelineTest, StoppingReleasesAWaitingReadWhichResumesOnTheNextStart)
{
    const Bytes file = qvtest::ReadAll(qvtest::SamplePath("m2t_testsrc2.ts"));
    ASSERT_FALSE(file.empty());
    const std::vector<Bytes> datagrams = Datagrams(file);
    Start("m2t");
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    // The source's read waits in the receiver: nothing has been fed.
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!m_receiver.IsAlive() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(m_receiver.IsAlive());

    const auto stopping = std::chrono::steady_clock::now();
    ASSERT_EQ(m_pipeline->SetState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    const auto took = std::chrono::steady_clock::now() - stopping;
    // A loose bound (the benchmark measures it): without the release the
    // read would wait for data for ever.
    EXPECT_LT(took, 5s);
    EXPECT_FALSE(m_receiver.IsAlive());
    for (std::size_t i = 0; i < 4; ++i) {
        Feed(datagrams[i]);
    }
    EXPECT_EQ(m_receiver.GetSmallBufLevel(), 4u) << "read after the stop";

    // The receiver was never stopped and is armed again.
    ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    EXPECT_TRUE(m_pipeline->WaitForBytes(2 * kPayload, kBound));
}

// The description road without a network: settings the receiver cannot
// start with end the stream with an error, logged once.
TEST_F(RegisteredSource, AReceiverThatCannotStartEndsTheStreamWithAnError)
{
    coretest::DebugLogCapture log;
    ComPtr<IQvFileSourceFilter> source = MakeSource();
    ASSERT_EQ(source->Load(Wide(WriteDescription(m_dir, "broken.qsl", {"PacketSize=1"})).c_str(),
                           nullptr),
              S_OK);
    DecodePipeline pipeline(source.As<IQvSourceElement>()->GetElement());
    ASSERT_NE(pipeline.SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    std::string error;
    EXPECT_EQ(pipeline.WaitForEnd(kBound, &error), GST_MESSAGE_ERROR);
    EXPECT_NE(error.find("could not be made or started"), std::string::npos) << error;
    EXPECT_TRUE(pipeline.WaitForSourceEnd(kBound));
    pipeline.SetState(GST_STATE_NULL);
    const std::string text = log.Text();
    std::size_t count = 0;
    for (std::size_t at = text.find("failed to start collector"); at != std::string::npos;
         at = text.find("failed to start collector", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << text;
}

} // namespace
