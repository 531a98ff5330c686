// The description-file road in a private network namespace: a ".qsl" file
// is opened the way a media framework renders a file (the registry names
// the source for the extension), and the source's own receiver joins the
// group that the transmitter sends to. A description naming a silent port
// ends after the data timeout.
#include "castsource_testing.h"

#include "platform/com/comreg.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace castsourcetest;

constexpr const char* kGroup = "239.7.7.31";

class QslRoadTest : public qvtest::NetnsTest
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
        ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
        const qvtest::UdpSocket probe; // the namespace is private: a free port stays free
        m_port = probe.LocalPort();
    }
    void TearDown() override
    {
        m_pipeline.reset();
        m_source.Reset();
        if (m_xmit) {
            m_xmit->Stop();
        }
        NetnsTest::TearDown();
    }

    // Opens the file by its extension's registered source and plays it.
    void Play(const std::string& path)
    {
        std::string text;
        ASSERT_TRUE(comreg::ReadText("Media Type\\Extensions\\.qsl", "Source Filter", text));
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromString(text, &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, m_source), S_OK);
        ASSERT_EQ(m_source->Load(Wide(path).c_str(), nullptr), S_OK);
        m_pipeline =
            std::make_unique<DecodePipeline>(m_source.As<IQvSourceElement>()->GetElement());
        ASSERT_NE(m_pipeline->SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    }

    // The source makes its receiver with its first read; it has joined the
    // group once this namespace lists it.
    bool WaitForMembership()
    {
        // The group as the igmp table writes it: its network-order bytes
        // read as a little-endian number.
        char group[9];
        std::snprintf(group, sizeof(group), "%08X", inet_addr(kGroup));
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream igmp("/proc/thread-self/net/igmp");
            const std::string table((std::istreambuf_iterator<char>(igmp)),
                                    std::istreambuf_iterator<char>());
            if (table.find(group) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    qvtest::SettingsEnv m_env;
    qvtest::TempDir m_dir{"castsource"};
    std::uint16_t m_port = 0;
    ComPtr<IQvFileSourceFilter> m_source;
    std::unique_ptr<DecodePipeline> m_pipeline;
    std::unique_ptr<XmitMPEG> m_xmit;
};

TEST_F(QslRoadTest, PlaysTheGroupItNamesWhileTheTransmitterSends)
{
    const std::string sample = qvtest::SamplePath("m2p_testsrc.mpg");
    const std::string qsl =
        WriteDescription(m_dir, "news.qsl",
                         {std::string("Address=") + kGroup, "Port=" + std::to_string(m_port),
                          "PacketFormat=OPV", "PacketSize=8196", "Mux=m2p"});
    Play(qsl);
    ASSERT_TRUE(WaitForMembership());

    m_xmit = std::make_unique<XmitMPEG2Program>();
    m_xmit->SetFilePath(sample);
    m_xmit->SetStreamType(qvmpeg::kMpeg2Program);
    m_xmit->SetAddress(inet_addr(kGroup), m_port);
    m_xmit->SetPacketFormat(XmitMPEG::kOpvFormat);
    m_xmit->SetRepeat(1, 0);
    ASSERT_GT(m_xmit->ComputeBitrate(), 0u);
    ASSERT_EQ(m_xmit->Start(), 0);

    // The data timeout after the transmission ends the stream.
    std::string error;
    EXPECT_EQ(m_pipeline->WaitForEnd(&error), GST_MESSAGE_EOS) << error;
    EXPECT_TRUE(m_xmit->IsFinished());
    const Seen seen = m_pipeline->Snapshot();
    EXPECT_TRUE(Joined(seen.buffers) == qvtest::ReadAll(sample));
    EXPECT_EQ(seen.frames, 100);
}

TEST_F(QslRoadTest, ASilentPortEndsAfterTheDataTimeout)
{
    Play(WriteDescription(
        m_dir, "silent.QSL",
        {std::string("Address=") + kGroup, "Port=" + std::to_string(m_port), "UDCTimeout=300"}));
    EXPECT_TRUE(m_pipeline->WaitFor([](const Seen& seen) { return seen.ended; }));
    EXPECT_EQ(m_pipeline->Snapshot().bytes, 0u);
    // An end without a byte leaves the typefinder nothing to go on.
    std::string error;
    EXPECT_EQ(m_pipeline->WaitForEnd(&error), GST_MESSAGE_ERROR);
    EXPECT_NE(error.find("enough data"), std::string::npos) << error;
}

} // namespace
