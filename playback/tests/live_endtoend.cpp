// End to end in the test's network namespace: the transmitter loops a sample
// to a group, and the stream controller finds it, buffers it and plays it
// through the multicast source into fake sinks; the sender stops and starts
// again. A ".qsl" description naming the group plays as a file.
#include "playback_test_helpers.h"

#include "playback/qvstreammsg.h"

#include "platform/tests/settings_env.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gst/gst.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Messages = std::vector<int>;

constexpr const char* kGroup = "239.7.7.41";
constexpr auto kBound = 60s;

struct Case
{
    const char* sample;
    int streamType;
    int packetFormat;
};
std::ostream& operator<<(std::ostream& out, const Case& c)
{
    return out << c.sample << (c.packetFormat == XmitMPEG::kOpvFormat ? " OPV" : " RAW");
}

class LivePlaybackTest : public qvtest::NetnsTest, public testing::WithParamInterface<Case>
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // GStreamer's threads start from here on, inside the namespace.
        gst_init(nullptr, nullptr);
        void* library = dlopen(QV_CASTSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto registerServer = reinterpret_cast<qvplat::HRESULT (*)()>(
            dlsym(library, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), qvplat::S_OK);
        m_port = qvtest::UdpSocket().LocalPort();
        settings.SetProperty("VideoSink", "fakesink sync=true");
        settings.SetProperty("AudioSink", "fakeaudiosink sync=true");
    }
    void TearDown() override
    {
        StopSender();
        controller.reset();
        NetnsTest::TearDown();
    }

    void StartSender()
    {
        const Case& c = GetParam();
        m_xmit = c.streamType == qvmpeg::kMpeg1System ? std::unique_ptr<XmitMPEG>(new XmitMPEG1System)
                 : c.streamType == qvmpeg::kMpeg2Program
                     ? std::unique_ptr<XmitMPEG>(new XmitMPEG2Program)
                     : std::unique_ptr<XmitMPEG>(new XmitMPEG2Transport);
        m_xmit->SetFilePath(qvtest::SamplePath(c.sample));
        m_xmit->SetStreamType(c.streamType);
        m_xmit->SetAddress(inet_addr(kGroup), m_port);
        m_xmit->SetPacketFormat(c.packetFormat);
        m_xmit->SetRepeat(XmitMPEG::kEndless, 0);
        ASSERT_GT(m_xmit->ComputeBitrate(), 0u);
        ASSERT_EQ(m_xmit->Start(), 0);
    }
    void StopSender()
    {
        if (m_xmit) {
            m_xmit->Stop();
            m_xmit.reset();
        }
    }

    // The host's timer: Periodic until `last` is posted (or the bound
    // passes); the messages posted meanwhile.
    Messages PumpUntil(int last)
    {
        Messages seen;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (std::chrono::steady_clock::now() < deadline &&
               (seen.empty() || seen.back() != last)) {
            std::this_thread::sleep_for(20ms);
            controller->Periodic();
            for (const int number : qvtest::Drain(queue)) {
                seen.push_back(number);
            }
        }
        return seen;
    }
    // Pictures that reached the video sink of the running graph.
    bool WaitForPictures(std::uint64_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (std::chrono::steady_clock::now() < deadline) {
            controller->Periodic();
            if (controller->graph != nullptr &&
                controller->graph->GetVideoStats().rendered >= count) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    bool Init()
    {
        return controller->Initialize({0, 0, 352, 288}, &frame, &settings, &queue);
    }

    qvtest::SettingsEnv m_env;
    std::uint16_t m_port = 0;
    std::unique_ptr<XmitMPEG> m_xmit;
    qvtest::FakeWnd frame;
    QvPropertyList settings;
    QvMessageQueue queue;
    std::unique_ptr<QvAMovController> controller = std::make_unique<QvAMovController>();
};

TEST_P(LivePlaybackTest, PlaysStopsWithTheSenderAndPlaysAgain)
{
    settings.SetProperty("Address", kGroup);
    settings.SetProperty("Port", std::to_string(m_port).c_str());
    settings.SetProperty("NotifyOnEndData", "1");
    settings.SetProperty("UDCStartThreshold", "64");
    ASSERT_TRUE(Init());
    StartSender();
    EXPECT_EQ(controller->Play(), 0);
    EXPECT_EQ(PumpUntil(QvStreamMessage::kPlaying), (Messages{17, 33, 49, 1}));
    EXPECT_EQ(controller->GetStreamState(), 2);
    EXPECT_TRUE(WaitForPictures(25));

    // The sender goes: the data timeout, then waiting for the stream again.
    StopSender();
    EXPECT_EQ(PumpUntil(QvStreamMessage::kWaiting), (Messages{36, 17}));
    EXPECT_EQ(controller->GetStreamState(), 0x12);
    EXPECT_EQ(controller->graph, nullptr);

    StartSender();
    EXPECT_EQ(PumpUntil(QvStreamMessage::kPlaying), (Messages{33, 49, 1}));
    EXPECT_TRUE(WaitForPictures(25));
    EXPECT_EQ(controller->Stop(), 0);
    EXPECT_EQ(qvtest::Drain(queue), (Messages{3}));
    EXPECT_EQ(controller->GetStreamState(), 0);
}

// A description file naming the group plays as a file, through the source
// registered for its extension.
TEST_P(LivePlaybackTest, DescriptionFilePlaysThroughTheSource)
{
    qvtest::TempDir dir;
    const std::string qsl = dir.File("news.qsl");
    // No listener on this road: the description says what it would find.
    std::ofstream(qsl) << "[QV]\nAddress=" << kGroup << "\nPort=" << m_port
                       << "\nPacketSize=8196\nPacketFormat="
                       << (GetParam().packetFormat == XmitMPEG::kOpvFormat ? "OPV" : "RAW")
                       << "\n";
    settings.SetProperty("Filename", qsl.c_str());
    settings.SetProperty("Repeat", "0");
    ASSERT_TRUE(Init());
    StartSender();
    EXPECT_EQ(controller->Play(), 0);
    EXPECT_EQ(qvtest::Drain(queue), (Messages{49, 1}));
    EXPECT_TRUE(WaitForPictures(25));
    EXPECT_EQ(controller->Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Samples, LivePlaybackTest,
                         testing::Values(Case{"m2p_testsrc.mpg", qvmpeg::kMpeg2Program,
                                              XmitMPEG::kOpvFormat},
                                         Case{"m1s_testsrc.mpg", qvmpeg::kMpeg1System,
                                              XmitMPEG::kRawFormat}),
                         [](const testing::TestParamInfo<Case>& param) {
                             return param.param.packetFormat == XmitMPEG::kOpvFormat ? "OPV"
                                                                                    : "RAW";
                         });

} // namespace
