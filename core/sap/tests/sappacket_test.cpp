#include "core/sap/qvsappacket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Props = std::vector<std::pair<std::string, std::string>>;

std::string TextOf(const QvSAPPacket& packet)
{
    return std::string(packet.GetPayload());
}

// The text written from the given properties, set in order.
std::string Written(const Props& props,
                    const QvSAPPacketOptions& options = QvSAPPacketOptions::Standard())
{
    QvSAPPacket packet(options);
    for (const auto& [name, value] : props) {
        packet.SetPropA(name.c_str(), value.c_str());
    }
    EXPECT_EQ(packet.ConstructPacket(), 0);
    return TextOf(packet);
}

// A packet holding the given SDP text behind its header, not yet parsed.
QvSAPPacket Filled(const std::string& text,
                   const QvSAPPacketOptions& options = QvSAPPacketOptions::Standard())
{
    QvSAPPacket packet(options);
    EXPECT_TRUE(packet.SetSdpText(text.c_str()));
    return packet;
}

std::vector<unsigned char> HeaderOf(const QvSAPPacket& packet)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(packet.GetPacketData());
    return std::vector<unsigned char>(bytes, bytes + 8);
}

// What the sender announces for an MPEG-2 program stream in OPV framing.
const Props senderProps = {
    {"SesProtoVer", "0"},
    {"SesOUsername", "-"},
    {"SesOSesID", "5023117"},
    {"SesOVer", "0"},
    {"SesONetType", "IN"},
    {"SesOAddrType", "IP4"},
    {"SesOAddr", "192.168.7.20"},
    {"SesSesName", "concert"},
    {"SesSesDescript", "/media/clips/concert.mpg"},
    {"SesCNetType", "IN"},
    {"SesCAddrType", "IP4"},
    {"SesCConnAddr", "225.1.1.1"},
    {"SesCTTL", "16"},
    {"Mux", "m2p"},
    {"PacketFormat", "OPV"},
    {"PacketSize", "8196"},
    {"VidPort", "2010"},
    {"AudPort", "2010"},
    {"VidTransport", "UDP"},
    {"AudTransport", "UDP"},
    {"Bitrate", "1500000"},
};

const char senderText[] = "v=0\n"
                          "o=- 5023117 0 IN IP4 192.168.7.20\n"
                          "s=concert\n"
                          "i=/media/clips/concert.mpg\n"
                          "c=IN IP4 225.1.1.1/16\n"
                          "b=X-QV:1500000\n"
                          "a=packetformat:OPV\n"
                          "a=packetsize:8196\n"
                          "a=mux:m2p\n"
                          "m=video 2010 UDP 0\n"
                          "m=audio 2010 UDP 0\n";

// ---- The sender's announcement ---------------------------------------------------

TEST(SapPacketSender, AnnouncementIsByteExact)
{
    QvSAPPacket packet;
    for (const auto& [name, value] : senderProps) {
        packet.SetPropA(name.c_str(), value.c_str());
    }
    ASSERT_EQ(packet.ConstructPacket(), 0);
    packet.InitAnnouncement();
    packet.SetMsgIDHash(0x1234BEEF);
    packet.SetOrigSrc(inet_addr("192.168.7.20"));

    EXPECT_EQ(TextOf(packet), senderText);
    EXPECT_EQ(HeaderOf(packet),
              (std::vector<unsigned char>{0x20, 0x00, 0xEF, 0xBE, 192, 168, 7, 20}));
    EXPECT_EQ(packet.GetDatagramLength(), static_cast<int>(8 + std::strlen(senderText) + 1));
    // A new packet hands its buffer out as it is.
    EXPECT_EQ(packet.OutBuffer(), packet.InBuffer());
    EXPECT_EQ(packet.OutBuffer()[packet.GetDatagramLength() - 1], '\0');

    packet.InitDeletion();
    EXPECT_EQ(HeaderOf(packet),
              (std::vector<unsigned char>{0x24, 0x00, 0xEF, 0xBE, 192, 168, 7, 20}));
    EXPECT_EQ(TextOf(packet), senderText);
}

TEST(SapPacketSender, AnnouncementParsesBackToItsProperties)
{
    QvSAPPacket sent;
    for (const auto& [name, value] : senderProps) {
        sent.SetPropA(name.c_str(), value.c_str());
    }
    sent.ConstructPacket();
    sent.InitAnnouncement();

    QvSAPPacket received(sent.OutBuffer(), static_cast<std::size_t>(sent.GetDatagramLength()));
    EXPECT_TRUE(received.HasVideo());
    EXPECT_TRUE(received.HasAudio());
    for (const auto& [name, value] : senderProps) {
        EXPECT_STREQ(received.GetPropA(name.c_str()), value.c_str()) << name;
    }
    EXPECT_STREQ(received.GetPropA("Address"), "225.1.1.1");
    EXPECT_STREQ(received.GetPropA("Port"), "2010");
    EXPECT_STREQ(received.GetPropA("SesBWModifier"), "X-QV");
    EXPECT_STREQ(received.GetPropA("SesBandwidth"), "1500000");

    // The parsed properties write the same text again.
    const std::string rebuilt(received.OutBuffer() + 8);
    EXPECT_EQ(rebuilt, senderText);
}

// ---- Writer rules ----------------------------------------------------------------

TEST(SapPacketWriter, EmptyPacketIsHeaderAndNul)
{
    QvSAPPacket packet;
    EXPECT_EQ(packet.GetPacketSize(), 1058);
    EXPECT_EQ(packet.GetPayloadSize(), 1050);
    EXPECT_EQ(packet.ConstructPacket(), 0);
    EXPECT_EQ(TextOf(packet), "");
    EXPECT_EQ(packet.GetDatagramLength(), 9);
    EXPECT_EQ(HeaderOf(packet), std::vector<unsigned char>(8, 0));
}

TEST(SapPacketWriter, LineRules)
{
    // Bitrate replaces the modifier form of the session b= line.
    EXPECT_EQ(Written({{"Bitrate", "1500000"}, {"SesBWModifier", "AS"}, {"SesBandwidth", "128"}}),
              "b=X-QV:1500000\n");
    EXPECT_EQ(Written({{"SesBWModifier", "AS"}, {"SesBandwidth", "128"}}), "b=AS:128\n");
    // t= keeps its blank when the stop time is empty.
    EXPECT_EQ(Written({{"SesStartTime", "0"}}), "t=0 \n");
    // Address wins over the connection address; it also marks audio, which
    // has no port here and so writes no m= line.
    EXPECT_EQ(Written({{"SesCNetType", "IN"},
                       {"SesCAddrType", "IP4"},
                       {"SesCConnAddr", "224.9.9.9"},
                       {"Address", "224.5.5.5"},
                       {"SesCTTL", "127"}}),
              "c=IN IP4 224.5.5.5/127\n");
    // Any single origin field writes the whole o= line.
    EXPECT_EQ(Written({{"SesOAddr", "10.0.0.1"}}), "o=     10.0.0.1\n");
    // x- attributes in every section, names lower-cased, in list order.
    EXPECT_EQ(Written({{"SXLang", "en"},
                       {"sxTool", "castdeck"},
                       {"VidPort", "4000"},
                       {"VXCodec", "mpeg2"}}),
              "a=x-lang:en\na=x-tool:castdeck\nm=video 4000  0\na=x-codec:mpeg2\n");
    // Port wins over the media ports.
    EXPECT_EQ(Written({{"Port", "5000"},
                       {"VidPort", "4000"},
                       {"AudPort", "4002"},
                       {"AudTransport", "UDP"}}),
              "m=video 5000  0\nm=audio 5000 UDP 0\n");
    // Setting Address marks audio, so a port brings an audio section.
    EXPECT_EQ(Written({{"Address", "224.5.5.5"}, {"Port", "2010"}}),
              "c=  224.5.5.5/\nm=audio 2010  0\n");
}

TEST(SapPacketWriter, EveryLineInOrder)
{
    const Props all = {
        {"AudOpvMode", "stereo"},      {"AudOpvSample", "44100"},
        {"AudOpvBandwidth", "192"},    {"AudBWModifier", "AS"},
        {"AudTransport", "UDP"},       {"AudPort", "3002"},
        {"VidOpvFilter", "none"},      {"VidOpvStandard", "NTSC"},
        {"VidOpvAFF", "1"},            {"VidOpvResolution", "352x240"},
        {"VidOpvCompression", "mpeg1"}, {"VidBandwidth", "1200"},
        {"VidBWModifier", "AS"},       {"VidTransport", "UDP"},
        {"VidPort", "3000"},           {"Mux", "m1s"},
        {"PacketSize", "8192"},        {"PacketFormat", "RAW"},
        {"SesOpvChannel", "7"},        {"SesOpvPktSize", "1024"},
        {"SesOpvRetrans", "1"},        {"SesOpvFormat", "OPV"},
        {"SesOpvMux", "m1s"},          {"SesStopTime", "3600"},
        {"SesStartTime", "0"},         {"SesPhone", "+1 555 0100"},
        {"SesEmail", "ops@example.org"}, {"SesSesDescript", "Morning news"},
        {"SesSesName", "News"},        {"SesProtoVer", "0"},
    };
    EXPECT_EQ(Written(all), "v=0\n"
                            "s=News\n"
                            "i=Morning news\n"
                            "e=ops@example.org\n"
                            "p=+1 555 0100\n"
                            "t=0 3600\n"
                            "a=opv-mux:m1s\n"
                            "a=opv-format:OPV\n"
                            "a=opv-retrans:1\n"
                            "a=opv-pktsize:1024\n"
                            "a=opv-channel:7\n"
                            "a=packetformat:RAW\n"
                            "a=packetsize:8192\n"
                            "a=mux:m1s\n"
                            "m=video 3000 UDP 0\n"
                            "b=AS:1200\n"
                            "a=opv-compression:mpeg1\n"
                            "a=opv-resolution:352x240\n"
                            "a=opv-AFF:1\n"
                            "a=opv-standard:NTSC\n"
                            "a=opv-filter:none\n"
                            "m=audio 3002 UDP 0\n"
                            "b=AS:192\n"
                            "a=opv-audiosample:44100\n"
                            "a=opv-audiomode:stereo\n");
}

TEST(SapPacketWriter, OversizedTextStopsAtLastWholeLine)
{
    QvSAPPacket packet;
    packet.SetPropA("SesProtoVer", "0");
    packet.SetPropA("SesSesName", "fits");
    packet.SetPropA("SesSesDescript", std::string(2000, 'd').c_str());
    packet.SetPropA("SesEmail", "after@example.org");
    EXPECT_EQ(packet.ConstructPacket(), -1);
    // Nothing after the line that did not fit, not even lines that would.
    EXPECT_EQ(TextOf(packet), "v=0\ns=fits\n");

    QvSAPPacket many;
    for (int i = 0; i < 200; ++i) {
        const std::string name = "SXattr" + std::to_string(i);
        many.SetPropA(name.c_str(), "some value text");
    }
    EXPECT_EQ(many.ConstructPacket(), -1);
    const std::string text = TextOf(many);
    EXPECT_LE(text.size(), 1049u);
    EXPECT_GT(text.size(), 1000u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(many.InBuffer()[many.GetPacketSize() - 1], '\0');

    // A line of exactly the remaining room minus the NUL still fits.
    QvSAPPacket exact;
    exact.SetPropA("SesSesName", std::string(1050 - 4, 'n').c_str()); // "s=" + name + "\n"
    EXPECT_EQ(exact.ConstructPacket(), 0);
    EXPECT_EQ(TextOf(exact).size(), 1049u);
    exact.SetPropA("SesSesName", std::string(1050 - 3, 'n').c_str());
    EXPECT_EQ(exact.ConstructPacket(), -1);
    EXPECT_EQ(TextOf(exact), "");
}

// ---- Parser ------------------------------------------------------------------------

struct ParseCase
{
    const char* label;
    std::string text;
    std::map<std::string, std::string> expected; // "" means absent or empty
    bool video;
    bool audio;
};

TEST(SapPacketParser, Table)
{
    const std::vector<ParseCase> cases = {
        {"empty text", "", {{"SesProtoVer", ""}, {"Port", ""}}, false, false},
        {"crlf line ends",
         "v=0\r\no=- 7 1 IN IP4 10.0.0.9\r\ns=Live feed\r\nc=IN IP4 239.1.2.3/32\r\n"
         "t=0 0\r\na=mux:m2t\r\nm=video 5004 RTP/AVP 33\r\n",
         {{"SesProtoVer", "0"},
          {"SesOAddr", "10.0.0.9"},
          {"SesSesName", "Live feed"},
          {"SesCTTL", "32"},
          {"Address", "239.1.2.3"},
          {"SesEndTime", "0"},
          {"Mux", "m2t"},
          {"Port", "5004"},
          {"VidTransport", "RTP/AVP"},
          {"VidFormats", "33"}},
         true,
         false},
        {"no final line end",
         "s=first\ni=never read",
         {{"SesSesName", "first"}, {"SesSesDescript", ""}},
         false,
         false},
        {"missing tokens",
         "o=- 123\nc=IN\nb=AS\nt=\na=mux\nv=\n",
         {{"SesOUsername", "-"},
          {"SesOSesID", "123"},
          {"SesOVer", ""},
          {"SesCNetType", "IN"},
          {"SesCAddrType", ""},
          {"Address", ""},
          {"SesBWModifier", "AS"},
          {"SesBandwidth", ""},
          {"Bitrate", ""},
          {"SesStartTime", ""},
          {"Mux", ""},
          {"SesProtoVer", ""}},
         false,
         false},
        {"values with colons",
         "a=x-time:12:30\ne=mail: a@b\nb=AS:128\n",
         {{"SXTIME", "12"}, {"SesEmail", "mail: a@b"}, {"SesBandwidth", "128"}, {"Bitrate", "128"}},
         false,
         false},
        {"opv attributes fill the plain names",
         "a=opv-mux:m1s\na=opv-format:QVS\na=opv-pktsize:8196\na=opv-retrans:1\n"
         "a=opv-channel:4\na=unknown:1\n",
         {{"SesOpvMux", "m1s"},
          {"Mux", "m1s"},
          {"SesOpvFormat", "QVS"},
          {"PacketFormat", "QVS"},
          {"SesOpvPktSize", "8196"},
          {"PacketSize", "8196"},
          {"SesOpvRetrans", "1"},
          {"SesOpvChannel", "4"},
          {"UNKNOWN", ""}},
         false,
         false},
        {"video and audio sections",
         "m=video 2010 UDP 0\nb=AS:900\na=opv-AFF:1\na=x-lang:en\n"
         "m=audio 2012 UDP 0\nb=AS:64\na=opv-audiomode:mono\na=x-lang:fr\n",
         {{"VidPort", "2010"},
          {"Port", "2010"},
          {"VidBWModifier", "AS"},
          {"VidBandwidth", "900"},
          {"VidOpvAFF", "1"},
          {"VXLANG", "en"},
          {"AudPort", "2012"},
          {"AudTransport", "UDP"},
          {"AudBandwidth", "64"},
          {"AudOpvMode", "mono"},
          {"AXLANG", "fr"}},
         true,
         true},
        {"other media",
         "s=x\nm=data 5000 UDP 0\na=mux:m2p\n",
         {{"Port", "5000"},
          {"VidPort", "5000"},
          {"AudPort", "5000"},
          {"VidTransport", "UDP"},
          {"AudTransport", "UDP"},
          {"Mux", ""}},
         false,
         false},
        {"unknown lines and short lines",
         "k=clear:secret\nz=0 0\n\ns\nm\n",
         {{"SesSesName", ""}, {"Port", ""}},
         false,
         false},
    };
    for (const ParseCase& c : cases) {
        QvSAPPacket packet = Filled(c.text);
        for (const auto& [name, value] : c.expected) {
            EXPECT_STREQ(packet.GetPropA(name.c_str()), value.c_str()) << c.label << ": " << name;
        }
        EXPECT_EQ(packet.HasVideo(), c.video) << c.label;
        EXPECT_EQ(packet.HasAudio(), c.audio) << c.label;
    }
}

TEST(SapPacketParser, BitrateRoundTripAndAsymmetricNames)
{
    QvSAPPacket packet = Filled("b=AS:128\nt=10 20\nm=audio 2010 UDP 0\nb=AS:64\n");
    EXPECT_STREQ(packet.GetPropA("Bitrate"), "128");
    EXPECT_STREQ(packet.GetPropA("SesEndTime"), "20");
    // The stop time and the audio bandwidth are read under other names than
    // written; written again, each line takes what was read unless the
    // written name was set.
    EXPECT_EQ(std::string(packet.OutBuffer() + 8),
              "b=X-QV:128\nt=10 20\nm=audio 2010 UDP 0\nb=AS:64\n");
    packet.SetPropA("SesStopTime", "30");
    packet.SetPropA("AudOpvBandwidth", "96");
    EXPECT_EQ(std::string(packet.OutBuffer() + 8),
              "b=X-QV:128\nt=10 30\nm=audio 2010 UDP 0\nb=AS:96\n");
}

// Announcements of standard senders, parsed and written again by the
// monitor's writer: the same media sections, each with its port, transport,
// format list, connection and payload map.
TEST(SapPacketParser, StandardAnnouncementsWrittenAgainNameTheSameStreams)
{
    const struct
    {
        const char* label;
        std::string announced;
        std::string written;
    } cases[] = {
        {"RTP, session connection",
         "v=0\r\no=- 42 42 IN IP4 host\r\ns=rtp\r\ni=N/A\r\nc=IN IP4 239.255.12.42/255\r\n"
         "t=0 0\r\na=tool:x\r\na=recvonly\r\nm=video 5004 RTP/AVP 33\r\nb=RR:0\r\n"
         "a=rtpmap:33 MP2T/90000\r\n",
         "v=0\no=- 42 42 IN IP4 host\ns=rtp\ni=N/A\nc=IN IP4 239.255.12.42/255\nt=0 0\n"
         "m=video 5004 RTP/AVP 33\nb=RR:0\na=rtpmap:33 MP2T/90000\n"},
        {"raw UDP",
         "v=0\no=- 43 43 IN IP4 host\ns=udp\nc=IN IP4 239.255.12.43/255\nt=0 0\n"
         "a=source-filter: incl IN IP4 * 127.0.0.1\nm=video 1234 udp mpeg\n",
         "v=0\no=- 43 43 IN IP4 host\ns=udp\nc=IN IP4 239.255.12.43/255\nt=0 0\n"
         "m=video 1234 udp mpeg\n"},
        {"connection per medium, audio on a port of its own",
         "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=av\nt=0 0\na=tool:y\nm=video 5004 RTP/AVP 96\n"
         "c=IN IP4 239.5.6.7/255\nb=AS:200\na=rtpmap:96 MP4V-ES/90000\n"
         "a=fmtp:96 profile-level-id=1; config=000001B0\nm=audio 5008 RTP/AVP 14\n"
         "c=IN IP4 239.5.6.7/255\nb=AS:128\n",
         "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=av\nt=0 0\nm=video 5004 RTP/AVP 96\n"
         "c=IN IP4 239.5.6.7/255\nb=AS:200\na=rtpmap:96 MP4V-ES/90000\n"
         "a=fmtp:96 profile-level-id=1; config=000001B0\nm=audio 5008 RTP/AVP 14\n"
         "c=IN IP4 239.5.6.7/255\nb=AS:128\n"},
        {"unicast connection without a TTL",
         "v=0\no=- 1 1 IN IP4 10.0.0.2\ns=uni\nc=IN IP4 10.0.0.2\nt=0 0\nm=audio 5006 RTP/AVP 0 8\n",
         "v=0\no=- 1 1 IN IP4 10.0.0.2\ns=uni\nc=IN IP4 10.0.0.2\nt=0 0\n"
         "m=audio 5006 RTP/AVP 0 8\n"},
    };
    for (const auto& c : cases) {
        QvSAPPacket packet(QvSAPPacketOptions::Monitor());
        packet.SetSdpText(c.announced.c_str());
        packet.GetPropA("Port"); // parsed, as the monitor lists it
        EXPECT_EQ(std::string(packet.OutBuffer() + 8), c.written) << c.label;
    }
}

TEST(SapPacketParser, MediaLinesSetPortsBySection)
{
    QvSAPPacket video = Filled("m=video 2010 UDP 0\n");
    EXPECT_STREQ(video.GetPropA("VidPort"), "2010");
    EXPECT_STREQ(video.GetPropA("Port"), "2010");

    QvSAPPacket audio = Filled("m=audio 2010 UDP 0\n");
    EXPECT_STREQ(audio.GetPropA("AudPort"), "2010");
    EXPECT_STREQ(audio.GetPropA("Port"), "");
    EXPECT_FALSE(audio.HasVideo());
}

TEST(SapPacketParser, ParsesOnceAndKeepsEditsAfterParse)
{
    QvSAPPacket packet = Filled("s=before\n");
    EXPECT_STREQ(packet.GetPropA("SesSesName"), "before");
    packet.SetPropA("SesSesName", "after");
    // Writing through the payload without BufferFilled does not reparse.
    std::strcpy(packet.GetPayload(), "s=ignored\n");
    EXPECT_STREQ(packet.GetPropA("SesSesName"), "after");
    EXPECT_EQ(std::string(packet.OutBuffer() + 8), "s=after\n");

    // A refill parses again; properties the new text lacks remain.
    packet.SetSdpText("i=second\n");
    EXPECT_STREQ(packet.GetPropA("SesSesDescript"), "second");
    EXPECT_STREQ(packet.GetPropA("SesSesName"), "after");
}

TEST(SapPacketParser, SetPropOnFilledTextParsesFirst)
{
    QvSAPPacket packet = Filled("s=show\nm=video 2010 UDP 0\n");
    packet.SetPropA("SesSesDescript", "added");
    EXPECT_EQ(std::string(packet.OutBuffer() + 8), "s=show\ni=added\nm=video 2010 UDP 0\n");
}

// ---- Raw buffers -------------------------------------------------------------------

TEST(SapPacketBuffer, DatagramConstructorReadsOnlyItsLength)
{
    const std::string datagram = std::string("\x20\x00\x01\x02\x0a\x00\x00\x01", 8) + "s=short\n";
    QvSAPPacket packet(datagram.data(), datagram.size());
    EXPECT_EQ(packet.GetMsgIDHash(), 0x0201u);
    EXPECT_STREQ(packet.GetPropA("SesSesName"), "short");
    for (int i = static_cast<int>(datagram.size()); i < packet.GetPacketSize(); ++i) {
        ASSERT_EQ(packet.InBuffer()[i], '\0') << i;
    }

    // A datagram larger than the buffer is cut, and the text stays
    // terminated inside the buffer.
    std::string big(3000, 'x');
    big.replace(0, 10, std::string(8, '\0') + "s=");
    QvSAPPacket cut(big.data(), big.size());
    EXPECT_EQ(std::strlen(cut.GetPayload()), 1049u);
    EXPECT_EQ(cut.GetDatagramLength(), 1058);

    QvSAPPacket none(nullptr, 100);
    EXPECT_STREQ(none.GetPropA("SesSesName"), "");
}

TEST(SapPacketBuffer, BufferFilledTerminatesAndSetsFlags)
{
    QvSAPPacket packet;
    std::memset(packet.InBuffer(), 'a', static_cast<std::size_t>(packet.GetPacketSize()));
    std::memcpy(packet.GetPayload(), "m=audio 1 U 0\n", 14);
    packet.BufferFilled();
    EXPECT_EQ(packet.InBuffer()[packet.GetPacketSize() - 1], '\0');
    EXPECT_TRUE(packet.HasAudio());
    EXPECT_FALSE(packet.HasVideo());
    EXPECT_STREQ(packet.GetPropA("AudPort"), "1");
}

TEST(SapPacketBuffer, SetSdpTextReportsCut)
{
    QvSAPPacket packet;
    EXPECT_FALSE(packet.SetSdpText(std::string(1100, 's').c_str()));
    EXPECT_EQ(std::strlen(packet.GetPayload()), 1049u);
    EXPECT_TRUE(packet.SetSdpText(nullptr));
    EXPECT_STREQ(packet.GetPayload(), "");
}

TEST(SapPacketBuffer, FillFromDatagramSkipsPayloadType)
{
    const std::string header("\x20\x00\x34\x12\x7f\x00\x00\x01", 8);
    const std::string sdp = "v=0\r\ns=ffmpeg\r\n";

    QvSAPPacket plain;
    const std::string bare = header + sdp;
    ASSERT_TRUE(plain.FillFromDatagram(bare.data(), bare.size()));
    EXPECT_STREQ(plain.GetPropA("SesSesName"), "ffmpeg");
    EXPECT_EQ(plain.GetMsgIDHash(), 0x1234u);

    for (const char* type : {"application/sdp", "Application/SDP"}) {
        QvSAPPacket typed;
        const std::string datagram = header + type + std::string(1, '\0') + sdp;
        ASSERT_TRUE(typed.FillFromDatagram(datagram.data(), datagram.size())) << type;
        EXPECT_STREQ(typed.GetPayload(), sdp.c_str());
        EXPECT_STREQ(typed.GetPropA("SesSesName"), "ffmpeg");
    }

    // Another payload type, or a datagram too short, leaves the packet alone.
    QvSAPPacket other = Filled("s=kept\n");
    const std::string foreign = header + "text/plain" + std::string(1, '\0') + sdp;
    EXPECT_FALSE(other.FillFromDatagram(foreign.data(), foreign.size()));
    EXPECT_FALSE(other.FillFromDatagram(header.data(), 7));
    EXPECT_FALSE(other.FillFromDatagram(nullptr, 0));
    EXPECT_STREQ(other.GetPropA("SesSesName"), "kept");

    // Authentication data is stepped over; the header keeps its length so
    // the session is still refused.
    QvSAPPacket signed_;
    std::string withAuth = header + std::string(4, '\x55') + sdp;
    withAuth[1] = 1;
    ASSERT_TRUE(signed_.FillFromDatagram(withAuth.data(), withAuth.size()));
    EXPECT_STREQ(signed_.GetPropA("SesSesName"), "ffmpeg");
    EXPECT_FALSE(QvSAPPacket::ValidateSession(&signed_));
    withAuth[1] = 5;
    EXPECT_FALSE(signed_.FillFromDatagram(withAuth.data(), withAuth.size()));

    // Our own empty announcement: the header and one NUL.
    QvSAPPacket empty;
    const std::string bareHeader = header + std::string(1, '\0');
    ASSERT_TRUE(empty.FillFromDatagram(bareHeader.data(), bareHeader.size()));
    EXPECT_STREQ(empty.GetPayload(), "");
}

// ---- Copies --------------------------------------------------------------------------

TEST(SapPacketCopy, CopyKeepsPropertiesOfNewPacket)
{
    QvSAPPacket original;
    original.SetPropA("SesSesName", "copied");
    original.SetPropA("VidPort", "2010");
    original.SetMsgIDHash(0xABCD);
    QvSAPPacket copy(original);
    EXPECT_EQ(copy.ConstructPacket(), 0);
    EXPECT_EQ(TextOf(copy), "s=copied\nm=video 2010  0\n");
    EXPECT_EQ(copy.GetMsgIDHash(), 0xABCDu);
}

TEST(SapPacketCopy, AssignmentReplacesEverything)
{
    QvSAPPacket target = Filled("s=old\nm=video 2010 UDP 0\n");
    EXPECT_STREQ(target.GetPropA("VidPort"), "2010");
    const QvSAPPacket source = Filled("s=new\n", QvSAPPacketOptions::Monitor());
    target = source;
    EXPECT_EQ(target.GetPacketSize(), 1032);
    EXPECT_STREQ(target.GetPropA("SesSesName"), "new");
    EXPECT_STREQ(target.GetPropA("VidPort"), "");
    EXPECT_FALSE(target.HasVideo());
}

// ---- Header ----------------------------------------------------------------------------

TEST(SapPacketHeader, FieldsKeepTheirWidth)
{
    QvSAPPacket packet;
    packet.SetMsgIDHash(0x1234);
    packet.SetOrigSrc(0x04030201);
    packet.InitAnnouncement();
    EXPECT_EQ(packet.GetV(), 1u);
    EXPECT_EQ(packet.GetMT(), 0u);

    packet.SetV(9); // 3 bits
    EXPECT_EQ(packet.GetV(), 1u);
    packet.SetMT(7);
    packet.SetE(3);
    packet.SetC(2);
    EXPECT_EQ(packet.GetMT(), 7u);
    EXPECT_EQ(packet.GetE(), 1u);
    EXPECT_EQ(packet.GetC(), 0u);
    EXPECT_EQ(HeaderOf(packet)[0], 0x3E);
    packet.SetAuthLen(0x1FF);
    EXPECT_EQ(packet.GetAuthLen(), 0xFFu);
    packet.SetMsgIDHash(0xFFFF5678);
    EXPECT_EQ(packet.GetMsgIDHash(), 0x5678u);
    EXPECT_EQ(HeaderOf(packet)[2], 0x78);
    EXPECT_EQ(HeaderOf(packet)[3], 0x56);
    // The origin is stored as given: a network-order address keeps its
    // dotted byte order on the wire.
    packet.SetOrigSrc(inet_addr("10.20.30.40"));
    EXPECT_EQ(HeaderOf(packet)[4], 10);
    EXPECT_EQ(HeaderOf(packet)[7], 40);
    EXPECT_EQ(packet.GetOrigSrc(), static_cast<unsigned long>(inet_addr("10.20.30.40")));

    packet.InitDeletion();
    EXPECT_EQ(HeaderOf(packet),
              (std::vector<unsigned char>{0x24, 0x00, 0x78, 0x56, 10, 20, 30, 40}));
}

TEST(SapPacketHeader, ValidateSession)
{
    const auto accepts = [](unsigned char first, unsigned char second) {
        const unsigned char bytes[9] = {first, second, 0, 0, 0, 0, 0, 0, 0};
        QvSAPPacket packet(reinterpret_cast<const char*>(bytes), sizeof bytes);
        const bool viaPacket = QvSAPPacket::ValidateSession(&packet);
        EXPECT_EQ(viaPacket, QvSAPPacket::ValidateSession(packet.GetPacketData()));
        return viaPacket;
    };
    EXPECT_TRUE(accepts(0x20, 0));
    EXPECT_TRUE(accepts(0x24, 0));
    EXPECT_TRUE(accepts(0x28, 0));
    EXPECT_TRUE(accepts(0x40, 0));
    EXPECT_FALSE(accepts(0x21, 0));
    EXPECT_FALSE(accepts(0x22, 0));
    EXPECT_FALSE(accepts(0x20, 1));
    EXPECT_FALSE(QvSAPPacket::ValidateSession(static_cast<const QvSAPPacket*>(nullptr)));
    EXPECT_FALSE(QvSAPPacket::ValidateSession(static_cast<const SAPPacket*>(nullptr)));
}

// ---- Variants ----------------------------------------------------------------------------

TEST(SapPacketVariants, ChannelListPacket)
{
    QvSAPPacket packet = Filled("b=AS:128\na=x-lang:en\nm=video 1 U 0\na=x-lang:fr\n",
                                QvSAPPacketOptions::ChannelList());
    EXPECT_EQ(packet.GetPacketSize(), 1032);
    EXPECT_EQ(packet.GetPayloadSize(), 1024);
    EXPECT_STREQ(packet.GetPropA("Bitrate"), "128");
    EXPECT_STREQ(packet.GetPropA("SXLANG"), "");
    EXPECT_STREQ(packet.GetPropA("VXLANG"), "");

    QvSAPPacket cut(std::string(2000, 'c').c_str(), 2000, QvSAPPacketOptions::ChannelList());
    EXPECT_EQ(std::strlen(cut.GetPayload()), 1023u);
}

TEST(SapPacketVariants, MonitorPacket)
{
    const Props props = {
        {"Bitrate", "1500000"}, {"SesBWModifier", "AS"}, {"SesBandwidth", "128"}, {"SXLang", "en"}};
    EXPECT_EQ(Written(props, QvSAPPacketOptions::Monitor()), "b=AS:128\n");
    EXPECT_EQ(Written({{"Bitrate", "1500000"}}, QvSAPPacketOptions::Monitor()), "");

    QvSAPPacket packet = Filled("b=AS:128\na=x-lang:en\n", QvSAPPacketOptions::Monitor());
    EXPECT_STREQ(packet.GetPropA("SesBandwidth"), "128");
    EXPECT_STREQ(packet.GetPropA("Bitrate"), "");
    EXPECT_STREQ(packet.GetPropA("SXLANG"), "");

    // The sender's announcement as the monitor writes it to its output file.
    QvSAPPacket monitor(QvSAPPacketOptions::Monitor());
    monitor.SetSdpText(senderText);
    EXPECT_EQ(std::string(monitor.OutBuffer() + 8),
              "v=0\n"
              "o=- 5023117 0 IN IP4 192.168.7.20\n"
              "s=concert\n"
              "i=/media/clips/concert.mpg\n"
              "c=IN IP4 225.1.1.1/16\n"
              "b=X-QV:1500000\n"
              "a=packetformat:OPV\n"
              "a=packetsize:8196\n"
              "a=mux:m2p\n"
              "m=video 2010 UDP 0\n"
              "m=audio 2010 UDP 0\n");
}

TEST(SapPacketVariants, TooSmallPacketSizeIsRaised)
{
    QvSAPPacketOptions options;
    options.packetSize = 3;
    QvSAPPacket packet(options);
    EXPECT_EQ(packet.GetPacketSize(), 9);
    packet.SetPropA("SesSesName", "x");
    EXPECT_EQ(packet.ConstructPacket(), -1);
    EXPECT_STREQ(packet.GetPayload(), "");
}

} // namespace
