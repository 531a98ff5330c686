// The stream object: its fixed length, the multiplex type from description
// files and SDP texts, and what the graph's state changes do to the receiver.
#include "castsource_testing.h"

#include "core/receive/qvcollector.h"

namespace {

using namespace castsourcetest;

TEST(StreamTest, SeeksUpToAndIncludingTheFixedLength)
{
    CTalvexStream stream;
    EXPECT_EQ(stream.Seek(549755813888), S_OK);
    EXPECT_EQ(stream.Seek(549755813889), S_FALSE);
    EXPECT_EQ(stream.Seek(-1), S_FALSE);
    std::int64_t available = 0;
    EXPECT_EQ(stream.GetSize(&available), 549755813888);
    EXPECT_EQ(available, 549755813888);
}

std::string Sdp(const std::string& mux, std::size_t padding = 0)
{
    return "v=0\no=- 1 1 IN IP4 10.0.0.1\ns=news\nc=IN IP4 239.1.1.1/127\nt=0 0\na=mux:" + mux +
           "\na=x-pad:" + std::string(padding, 'p') + "\nm=video 2010 UDP 0\n";
}

using MuxTypeTest = RegisteredSource;

TEST_F(MuxTypeTest, FromTheDescriptionOrTheSdpText)
{
    const struct
    {
        const char* what;
        std::vector<std::string> description; // empty: nothing loaded
        std::string sdp;                      // handed over beside Mux m1s when given
        int mux;
    } cases[] = {
        {"description M2t", {"Mux=M2t"}, "", CTalvexStream::kMuxMpeg2Transport},
        {"description m2P", {"Mux=m2P"}, "", CTalvexStream::kMuxMpeg2Program},
        {"description m1s", {"Mux=m1s"}, "", CTalvexStream::kMuxMpeg1System},
        {"description m4v", {"Mux=m4v"}, "", CTalvexStream::kMuxNone},
        {"SDP m2p beside Mux m1s", {}, Sdp("m2p"), CTalvexStream::kMuxMpeg2Program},
        {"SDP without mux beside Mux m1s", {}, Sdp(""), CTalvexStream::kMuxNone},
        // Cut to fit an announcement it would still say m2p.
        {"SDP longer than an announcement", {}, Sdp("m2p", 1100), CTalvexStream::kMuxNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QvUdpDataCollector receiver; // never started: only its settings matter
        ComPtr<IQvFileSourceFilter> source = MakeSource();
        if (!c.description.empty()) {
            const std::string path = WriteDescription(m_dir, "stream.qsl", c.description);
            ASSERT_EQ(source->Load(Wide(path).c_str(), nullptr), S_OK);
        } else {
            QvPropertyList settings;
            settings.SetProperty("SDP", c.sdp.c_str());
            settings.SetProperty("Mux", "m1s");
            ASSERT_TRUE(QvHandOverReceiver(*source.Get(), &receiver, settings));
        }
        EXPECT_EQ(source->GetStream()->GetMuxType(), c.mux);
    }
}

// Only a pause of a running graph and a stop throw the queued data away.
TEST(StreamStateTest, PauseFromStoppedKeepsTheBufferedStart)
{
    using Hook = void (CTalvexStream::*)();
    const Hook run = &CTalvexStream::OnRun;
    const Hook pause = &CTalvexStream::OnPause;
    const Hook stop = &CTalvexStream::OnStop;
    const struct
    {
        std::vector<Hook> hooks;
        bool kept;
    } cases[] = {
        {{pause}, true},        {{pause, run}, true},         {{pause, run, pause}, false},
        {{pause, stop}, false}, {{run, pause, pause}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        QvPropertyList settings;
        settings.SetProperties("PacketFormat=RAW FixHeader=FALSE");
        QvUdpDataCollector receiver;
        CTalvexStream stream;
        ASSERT_TRUE(stream.HandOver(&receiver, settings));
        ASSERT_EQ(receiver.StartDetached(), QvUdpDataCollector::kStartOk);
        const Bytes datagram(1000, 0x47);
        for (int i = 0; i < 5; ++i) {
            receiver.FeedDatagram(datagram.data(), datagram.size());
        }
        for (Hook hook : c.hooks) {
            (stream.*hook)();
        }
        EXPECT_EQ(receiver.GetSmallBufLevel(), c.kept ? 5u : 0u);
    }
}

} // namespace
