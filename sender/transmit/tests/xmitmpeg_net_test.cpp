// Round trips of the transmitter over loopback multicast in a private
// network namespace: a test receiver joins the data group and the SAP group
// and checks what arrives, byte for byte.
#include "xmit_testing.h"

#include "core/sap/qvsap.h"
#include "platform/clock.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace xmittest;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.1.2.3";
constexpr std::size_t kPayload = XmitMPEG::kPayloadSize;

Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

class XmitNetTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        data = std::make_unique<qvtest::UdpSocket>("0.0.0.0", 0);
        data->JoinGroup(kGroup);
        data->SetMulticastAll(false);
        Enlarge(*data);
        sap = std::make_unique<qvtest::UdpSocket>("0.0.0.0", QvSAPCaster::defaultPort);
        sap->JoinGroup(QvSAPCaster::defaultGroup);
        sap->SetMulticastAll(false);
        Enlarge(*sap);
    }

    void TearDown() override
    {
        data.reset();
        sap.reset();
        NetnsTest::TearDown();
    }

    // Room for whole files, so a transmitter on a manual clock (which sends
    // as fast as it can) loses nothing to a full socket.
    static void Enlarge(qvtest::UdpSocket& socket)
    {
        const int size = 16 * 1024 * 1024;
        setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    }

    void Aim(XmitMPEG& x) const { x.SetAddress(inet_addr(kGroup), data->LocalPort()); }

    std::vector<Bytes> Drain(qvtest::UdpSocket& socket, std::chrono::milliseconds quiet = 200ms)
    {
        std::vector<Bytes> all;
        for (const qvtest::Datagram& d : socket.ReceiveUntilQuiet(quiet)) {
            all.push_back(ToBytes(d.payload));
        }
        return all;
    }

    std::unique_ptr<qvtest::UdpSocket> data;
    std::unique_ptr<qvtest::UdpSocket> sap;
};

// The data datagrams of each pass (control packets aside), the passes cut
// at the end-of-stream packets.
struct Received
{
    std::vector<std::vector<Bytes>> passes{1};
    std::vector<Bytes> headers;
    std::size_t endOfStream = 0;
};

Received Sort(const std::vector<Bytes>& datagrams)
{
    Received r;
    for (const Bytes& d : datagrams) {
        if (IsEndOfStream(d)) {
            ++r.endOfStream;
            if (!r.passes.back().empty()) {
                r.passes.emplace_back();
            }
        } else if (IsControl(d)) {
            r.headers.push_back(d);
        } else {
            r.passes.back().push_back(d);
        }
    }
    if (r.passes.back().empty()) {
        r.passes.pop_back();
    }
    return r;
}

Bytes Payloads(const std::vector<Bytes>& pass, std::size_t header)
{
    Bytes all;
    for (const Bytes& d : pass) {
        all.insert(all.end(), d.begin() + static_cast<std::ptrdiff_t>(header), d.end());
    }
    return all;
}

void ExpectPayloadSizes(const std::vector<Bytes>& pass, std::size_t header)
{
    for (std::size_t i = 0; i < pass.size(); ++i) {
        if (i + 1 < pass.size()) {
            EXPECT_EQ(pass[i].size(), kPayload + header) << "datagram " << i;
        } else {
            EXPECT_LE(pass[i].size(), kPayload + header);
            EXPECT_GT(pass[i].size(), header);
        }
    }
}

std::uint16_t Hash(const Bytes& sapPacket)
{
    return static_cast<std::uint16_t>(sapPacket[2] | sapPacket[3] << 8);
}

// The text after the header and the payload type "application/sdp".
std::string SdpText(const Bytes& sapPacket)
{
    const std::string type("application/sdp", 16);
    if (sapPacket.size() < 8 + type.size() ||
        std::string(sapPacket.begin() + 8, sapPacket.begin() + 24) != type) {
        return "(no payload type)";
    }
    const auto* text = reinterpret_cast<const char*>(sapPacket.data() + 24);
    return std::string(text, strnlen(text, sapPacket.size() - 24));
}

TEST_F(XmitNetTest, OpvWithHeaderPacketsRoundTripsOverTwoPassesWithAnnouncements)
{
    const std::string path = SamplePath("m1s_testsrc.mpg");
    if (path.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    const Bytes file = ReadAll(path);
    const std::uint32_t clockStart = 1000000;
    qvplat::ManualClock clock(clockStart);
    qvplat::ScopedClockOverride useClock(clock);

    XmitMPEG1System x;
    x.SetFilePath(path);
    Aim(x);
    x.SetTTL(QvUdpCaster::DecodeTTL("Subnet"));
    x.SetPacketFormat(XmitMPEG::kOpvFormat);
    x.SetHeaderCaster(true);
    x.SetRepeat(2, 50);
    x.SetSAPCaster(&x.GetOwnSAPCaster());
    const std::uint64_t bitrate = x.ComputeBitrate();
    ASSERT_GT(bitrate, 0U);
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    x.Stop();

    const Received got = Sort(Drain(*data));
    ASSERT_EQ(got.passes.size(), 2U);
    EXPECT_EQ(got.endOfStream, 3U); // after each pass, and when the thread ends
    std::uint32_t offset = 0;
    for (const std::vector<Bytes>& pass : got.passes) {
        EXPECT_EQ(Payloads(pass, 4), file);
        ExpectPayloadSizes(pass, 4);
        for (const Bytes& d : pass) {
            EXPECT_EQ(OpvOffset(d), offset);
            offset += static_cast<std::uint32_t>(d.size() - 4);
        }
    }
    EXPECT_EQ(offset, 2 * file.size());

    // At least one header packet per pass: the sequence header up to the
    // first group of pictures.
    ASSERT_GE(got.headers.size(), 2U);
    const Bytes sequence = {0x00, 0x00, 0x01, 0xB3};
    const Bytes group = {0x00, 0x00, 0x01, 0xB8};
    const auto start = std::search(file.begin(), file.end(), sequence.begin(), sequence.end());
    const auto end = std::search(start + 4, file.end(), group.begin(), group.end());
    ASSERT_NE(end, file.end());
    Bytes expectedHeader = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0x00, 0x01};
    const auto length = static_cast<std::size_t>(end - start);
    expectedHeader.push_back(static_cast<std::uint8_t>(length >> 8));
    expectedHeader.push_back(static_cast<std::uint8_t>(length));
    expectedHeader.insert(expectedHeader.end(), start, end);
    for (const Bytes& h : got.headers) {
        EXPECT_EQ(h, expectedHeader);
    }

    // Each pass: an announcement, then its withdrawal with the same hash.
    const std::vector<Bytes> announcements = Drain(*sap);
    ASSERT_EQ(announcements.size(), 4U);
    for (std::size_t pass = 0; pass < 2; ++pass) {
        const Bytes& on = announcements[2 * pass];
        const Bytes& off = announcements[2 * pass + 1];
        EXPECT_EQ(on[0], 0x20);
        EXPECT_EQ(off[0], 0x24);
        EXPECT_EQ(on[1], 0);
        EXPECT_EQ(off[1], 0);
        EXPECT_EQ(Hash(on), Hash(off));
        EXPECT_EQ(Bytes(on.begin() + 4, on.begin() + 8), (Bytes{127, 0, 0, 1}));
        EXPECT_EQ(SdpText(on), SdpText(off));
    }
    EXPECT_EQ(Hash(announcements[0]), clockStart & 0xFFFF);
    const std::string port = std::to_string(data->LocalPort());
    std::string expected = "v=0\n";
    expected += "o=- " + std::to_string(clockStart) + " 0 IN IP4 127.0.0.1\n";
    expected += "s=m1s_testsrc\n";
    expected += "i=" + path + "\n";
    expected += "c=IN IP4 239.1.2.3/1\n";
    expected += "b=X-QV:" + std::to_string(bitrate) + "\n";
    expected += "t=0 0\n";
    expected += "a=packetformat:QVS\n";
    expected += "a=packetsize:8196\n";
    expected += "a=mux:m1s\n";
    expected += "m=video " + port + " udp 0\n";
    expected += "m=audio " + port + " udp 0\n";
    EXPECT_EQ(SdpText(announcements[0]), expected);
    EXPECT_NE(SdpText(announcements[2]), expected) << "the second pass is a new session";
    // The directory, the channel list's and the monitor's listeners read it.
    for (const QvSAPPacketOptions& options :
         {QvSAPPacketOptions::Standard(), QvSAPPacketOptions::ChannelList(),
          QvSAPPacketOptions::Monitor()}) {
        QvSAPPacket heard(options);
        ASSERT_TRUE(
            QvSAPListen::DecodeDatagram(announcements[0].data(), announcements[0].size(), heard));
        EXPECT_STREQ(heard.GetPropA("Address"), "239.1.2.3");
        EXPECT_EQ(heard.GetPropA("Port"), port);
        EXPECT_STREQ(heard.GetPropA("PacketFormat"), "QVS");
        EXPECT_STREQ(heard.GetPropA("SesSesName"), "m1s_testsrc");
    }
}

TEST_F(XmitNetTest, RawTransportStreamRoundTripsWithoutAnnouncement)
{
    const std::string path = SamplePath("m2t_testsrc2.ts");
    if (path.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    const Bytes file = ReadAll(path);
    qvplat::ManualClock clock(42);
    qvplat::ScopedClockOverride useClock(clock);

    XmitMPEG2Transport x;
    x.SetFilePath(path);
    Aim(x);
    x.SetPacketFormat(XmitMPEG::kRawFormat);
    x.SetRepeat(1, 0);
    x.ComputeBitrate();
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    EXPECT_EQ(x.GetPayloadBytesSent(), file.size());
    EXPECT_EQ(x.GetSocketBytesSent(), file.size() + 2 * 13);
    x.Stop();

    const Received got = Sort(Drain(*data));
    ASSERT_EQ(got.passes.size(), 1U);
    EXPECT_EQ(Payloads(got.passes[0], 0), file);
    ExpectPayloadSizes(got.passes[0], 0);
    EXPECT_EQ(got.endOfStream, 2U);
    EXPECT_TRUE(got.headers.empty());
    EXPECT_TRUE(Drain(*sap, 50ms).empty());
}

TEST_F(XmitNetTest, AnnouncementRepeatsEveryFiveSecondsWhilePacing)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    Mpeg1Stream s;
    s.Packs(14, 2000, 90000, 90000); // one pack a second: 13 s of stream
    const std::string path = dir.Write("slow.mpg", s.bytes());
    qvplat::ManualClock clock(5);
    qvplat::ScopedClockOverride useClock(clock);

    XmitMPEG1System x;
    x.SetFilePath(path);
    Aim(x);
    x.SetPacketFormat(XmitMPEG::kRawFormat);
    x.SetRepeat(1, 0);
    x.SetSAPCaster(&x.GetOwnSAPCaster());
    x.ComputeBitrate();
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    x.Stop();

    const std::vector<Bytes> announcements = Drain(*sap);
    ASSERT_EQ(announcements.size(), 4U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(announcements[i], announcements[0]) << "repeat " << i;
    }
    EXPECT_EQ(announcements[3][0], 0x24);
    EXPECT_EQ(Hash(announcements[3]), Hash(announcements[0]));
    EXPECT_EQ(SdpText(announcements[3]), SdpText(announcements[0]));
    EXPECT_NE(SdpText(announcements[0]).find("a=packetformat:RAW\na=packetsize:8192\n"),
              std::string::npos);
    EXPECT_EQ(Sort(Drain(*data)).endOfStream, 2U);
}

TEST_F(XmitNetTest, StartStopStormLeavesNothingRunning)
{
    const std::string path = SamplePath("m1s_testsrc.mpg");
    if (path.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string junk = dir.Write("junk.mpg", Bytes(40000, 0x33));

    XmitMPEG1System x; // the real clock
    Aim(x);
    x.SetPacketFormat(XmitMPEG::kOpvFormat);
    x.SetHeaderCaster(true);
    x.SetRepeat(XmitMPEG::kEndless, 20);
    x.SetSAPCaster(&x.GetOwnSAPCaster());
    std::mt19937 random(17);
    int starts = 0;
    for (int i = 0; i < 60; ++i) {
        // Now and then a file that ends the thread by itself at once.
        x.SetFilePath(i % 7 == 3 ? junk : path);
        ASSERT_EQ(x.Start(), 0);
        ++starts;
        EXPECT_TRUE(x.IsRunning());
        if (i % 5 == 0) {
            ASSERT_EQ(x.Start(), 0); // restarts a running transmission
            ++starts;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        EXPECT_EQ(x.Stop(), 0);
        EXPECT_FALSE(x.IsRunning());
        EXPECT_EQ(x.Stop(), 0);
    }
    const Received got = Sort(Drain(*data));
    EXPECT_GE(got.endOfStream, static_cast<std::size_t>(starts));
    // Every announcement that went out was withdrawn again.
    std::size_t on = 0;
    std::size_t off = 0;
    for (const Bytes& a : Drain(*sap)) {
        (a[0] == 0x20 ? on : off) += 1;
    }
    EXPECT_EQ(on, off);
}

// The transmit thread decodes clock references through the subclass: it is
// stopped while that part of the object still stands (a race checker sees
// the difference).
TEST_F(XmitNetTest, RunningTransmitterOfEachStreamTypeIsDestroyedWhileSending)
{
    struct Case
    {
        int streamType;
        const char* sample;
    };
    const Case cases[] = {
        {qvmpeg::kMpeg1System, "m1s_testsrc.mpg"},
        {qvmpeg::kMpeg2Program, "m2p_testsrc.mpg"},
        {qvmpeg::kMpeg2Transport, "m2t_testsrc2.ts"},
    };
    for (const Case& c : cases) {
        const std::string path = SamplePath(c.sample);
        if (path.empty()) {
            GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
        }
        std::unique_ptr<XmitMPEG> x = MakeXmitMPEG(c.streamType);
        ASSERT_TRUE(x);
        Aim(*x);
        x->SetFilePath(path);
        x->SetPacketFormat(XmitMPEG::kRawFormat);
        x->ComputeBitrate();
        ASSERT_EQ(x->Start(), 0);
        ASSERT_TRUE(data->Receive(10s)) << c.sample;
        x.reset();
        EXPECT_GE(Sort(Drain(*data)).endOfStream, 1U) << c.sample;
    }
}

} // namespace
