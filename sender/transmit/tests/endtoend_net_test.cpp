// The whole live road in a private network namespace: the transmitter paces
// a sample file onto a multicast group on loopback, a stream receiver joins
// the group, and what a reader takes out through ReadBuffer is the file, byte
// for byte. One more case lets the stream listener recognise the format of
// the live transmission first and starts the receiver from its findings.
//
// Everything runs on the real clock: the receiver's data timeout and the
// transmitter's pacing share the process-wide clock, and a manual clock that
// both threads advance by sleeping would fire the timeout in the middle of
// the stream. The samples last 2 to 4 seconds.
#include "xmit_testing.h"

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"
#include "core/receive/qvudplisten.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace xmittest;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.7.7.21";
constexpr auto kBound = 60s; // generous bound for one whole transmission

struct Sample
{
    const char* file;
    int streamType;
    const char* mux; // as the announcement names it
};

constexpr Sample kSamples[] = {
    {"m1s_testsrc.mpg", qvmpeg::kMpeg1System, "m1s"},
    {"m2p_testsrc.mpg", qvmpeg::kMpeg2Program, "m2p"},
    {"m2t_testsrc2.ts", qvmpeg::kMpeg2Transport, "m2t"},
};

// What a reader took out of the receiver.
struct Reading
{
    Bytes bytes;
    int breaks = 0;
    int stops = 0;
};

class EndToEndFixture : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // The namespace is private, so a port seen free stays free.
        const qvtest::UdpSocket probe;
        m_port = probe.LocalPort();
        m_settings.SetProperty("Address", kGroup);
        m_settings.SetProperty("Port", m_port, QvPropertyList::Decimal);
    }

    void TearDown() override
    {
        if (m_xmit) {
            m_xmit->Stop();
        }
        m_collector.Stop();
        NetnsTest::TearDown();
    }

    // Starts `passes` passes of the file to the group, without announcement.
    void StartTransmitter(const Sample& sample, const std::string& path, int format, int passes)
    {
        m_xmit = MakeXmitMPEG(sample.streamType);
        m_xmit->SetFilePath(path);
        m_xmit->SetStreamType(sample.streamType);
        m_xmit->SetAddress(inet_addr(kGroup), m_port);
        m_xmit->SetPacketFormat(format);
        m_xmit->SetRepeat(passes, 200); // the pause stays below the data timeout
        ASSERT_GT(m_xmit->ComputeBitrate(), 0U);
        ASSERT_EQ(m_xmit->Start(), 0);
    }

    // Reads until the transmission has finished and the receiver reports the
    // data timeout that follows it (the receiver hands out the packets it
    // still holds before it reports the timeout). An earlier timeout, from a
    // stall of the sender, is only a pause. A known expected size keeps the
    // reading going past a timeout that came before all bytes were in.
    Reading ReadUntilDrained(std::size_t expected = 0)
    {
        Reading r;
        std::vector<char> buffer(20000);
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (std::chrono::steady_clock::now() < deadline) {
            int flags = -1;
            const long got =
                m_collector.ReadBuffer(buffer.data(), static_cast<long>(buffer.size()), flags);
            r.bytes.insert(r.bytes.end(), buffer.data(), buffer.data() + got);
            r.breaks += flags == QvUdpDataCollector::kBreak ? 1 : 0;
            if (flags == QvUdpDataCollector::kStopped) {
                ++r.stops;
                break;
            }
            if (flags == QvUdpDataCollector::kTimeout && m_xmit->IsFinished() &&
                r.bytes.size() >= expected) {
                break;
            }
        }
        return r;
    }

    std::uint16_t m_port = 0;
    QvPropertyList m_settings;
    QvUdpDataCollector m_collector;
    std::unique_ptr<XmitMPEG> m_xmit;
};

// ---- Every sample in every framing the sender writes ----------------------------

struct Road
{
    Sample sample;
    int format;
};

std::string RoadText(const Road& road)
{
    std::string name = road.sample.mux;
    name += road.format == XmitMPEG::kRawFormat ? "_raw" : "_opv";
    return name;
}

void PrintTo(const Road& road, std::ostream* out)
{
    *out << RoadText(road);
}

class EndToEndTest : public EndToEndFixture, public ::testing::WithParamInterface<Road>
{
};

TEST_P(EndToEndTest, ReceiverHandsOutTheFileByteForByte)
{
    const Road road = GetParam();
    const std::string path = SamplePath(road.sample.file);
    if (path.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    const Bytes file = ReadAll(path);
    ASSERT_FALSE(file.empty());

    // The settings an announcement of this transmission would give.
    const bool raw = road.format == XmitMPEG::kRawFormat;
    m_settings.SetProperty("PacketFormat", raw ? "RAW" : "OPV");
    m_settings.SetProperty("PacketSize", raw ? "8192" : "8196");
    m_settings.SetProperty("Mux", road.sample.mux);
    m_collector.SetPropertyList(&m_settings);
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);

    StartTransmitter(road.sample, path, road.format, 1);
    const Reading got = ReadUntilDrained(file.size());

    EXPECT_TRUE(m_xmit->IsFinished());
    EXPECT_EQ(m_xmit->GetPayloadBytesSent(), file.size());
    EXPECT_EQ(got.breaks, 0);
    EXPECT_EQ(got.stops, 0);
    // The MPEG-1 file begins with a pack that carries its system header, so
    // the receiver's start-of-stream fix-up has nothing to cut or prepend;
    // the program and transport streams pass through it unchanged. Control
    // packets (the end-of-stream packets) never reach the byte stream.
    ASSERT_EQ(got.bytes.size(), file.size());
    EXPECT_TRUE(got.bytes == file) << "the received bytes differ from the file";
    EXPECT_EQ(m_collector.GetLostCount(), 0U);
}

std::string RoadName(const ::testing::TestParamInfo<Road>& info)
{
    return RoadText(info.param);
}

INSTANTIATE_TEST_SUITE_P(Samples, EndToEndTest,
                         ::testing::Values(Road{kSamples[0], XmitMPEG::kRawFormat},
                                           Road{kSamples[0], XmitMPEG::kOpvFormat},
                                           Road{kSamples[1], XmitMPEG::kRawFormat},
                                           Road{kSamples[1], XmitMPEG::kOpvFormat},
                                           Road{kSamples[2], XmitMPEG::kRawFormat},
                                           Road{kSamples[2], XmitMPEG::kOpvFormat}),
                         RoadName);

// ---- The listener finds the stream, then the receiver takes it -----------------

class EndToEndDetectionTest : public EndToEndFixture
{
};

TEST_F(EndToEndDetectionTest, ListenerFindingsStartTheReceiverMidStream)
{
    const Sample& sample = kSamples[2];
    const std::string path = SamplePath(sample.file);
    if (path.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    const Bytes file = ReadAll(path);
    ASSERT_FALSE(file.empty());

    // Only group and port are known, as when a stream is typed in by hand.
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);
    // Two passes: the receiver joins somewhere in the first and must then
    // take the second whole; the OPV offsets run on across the passes.
    StartTransmitter(sample, path, XmitMPEG::kOpvFormat, 2);
    ASSERT_EQ(listener.Wait(static_cast<unsigned long>(kBound / 1ms)), QvUdpListen::WaitResolved);

    m_settings.MergeProperties(listener.GetGeneratedProperties());
    listener.Stop();
    EXPECT_STREQ(m_settings.GetProperty("PacketFormat").chars(), "OPV");
    EXPECT_STREQ(m_settings.GetProperty("PacketSize").chars(), "8196");
    EXPECT_STREQ(m_settings.GetProperty("Interface").chars(), "127.0.0.1");

    m_collector.SetPropertyList(&m_settings);
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    const Reading got = ReadUntilDrained(file.size());

    EXPECT_TRUE(m_xmit->IsFinished());
    EXPECT_EQ(got.breaks, 0);
    EXPECT_EQ(got.stops, 0);
    // What arrived: the rest of the first pass from where the receiver
    // joined, then the whole second pass.
    ASSERT_GE(got.bytes.size(), file.size());
    ASSERT_LT(got.bytes.size(), 2 * file.size());
    const auto secondPass = got.bytes.end() - static_cast<std::ptrdiff_t>(file.size());
    EXPECT_TRUE(Bytes(secondPass, got.bytes.end()) == file) << "the second pass differs";
    const auto joined = static_cast<std::ptrdiff_t>(2 * file.size() - got.bytes.size());
    EXPECT_TRUE(Bytes(got.bytes.begin(), secondPass) == Bytes(file.begin() + joined, file.end()))
        << "the first pass's rest differs";
}

} // namespace
