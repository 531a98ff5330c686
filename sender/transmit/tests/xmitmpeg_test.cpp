// Tests of the transmitter's pacing and packetizing, on a manual clock and
// with its sends recorded in place of a socket: when each payload leaves,
// what it carries, and how the transmitter copes with awkward files.
#include "xmit_testing.h"

#include "core/settings/qvexception.h"
#include "core/settings/qvproplist.h"
#include "platform/clock.h"
#include "mpeg/mpeganalysis.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace xmittest;

constexpr std::size_t kPayload = XmitMPEG::kPayloadSize;
// Close below the 32-bit wrap of the millisecond clock, so every pass here
// crosses it.
constexpr std::uint32_t kClockStart = 0xFFFFFF00U;

// A clock reference: where it lies in the file and when it is due, in
// ticks after the first clock reference of the pass.
struct Stamp
{
    std::size_t position = 0;
    std::uint64_t due = 0;
};

// When each payload should be handed to the socket. A clock reference is
// released at the first millisecond at which the pass clock has passed it
// (the second one at once when it lies in the first read), and a release
// sends the whole payloads that end before the clock reference; the rest of
// the file goes with the last release.
std::vector<std::uint32_t> ExpectedTimes(const std::vector<Stamp>& stamps, std::size_t fileSize,
                                         std::uint32_t start, bool secondUnpaced)
{
    std::vector<std::uint32_t> release(stamps.size(), start);
    for (std::size_t k = 1; k < stamps.size(); ++k) {
        release[k] = k == 1 && secondUnpaced
                         ? start
                         : start + static_cast<std::uint32_t>(stamps[k].due / 90 + 1);
    }
    std::vector<std::uint32_t> times;
    for (std::size_t end = kPayload;; end += kPayload) {
        if (end >= fileSize) {
            times.push_back(release.back());
            return times;
        }
        std::uint32_t time = release.back();
        for (std::size_t k = 1; k < stamps.size(); ++k) {
            if (stamps[k].position > end) {
                time = release[k];
                break;
            }
        }
        times.push_back(time);
    }
}

// Packs spaced `step` ticks apart, paced evenly.
std::vector<Stamp> EvenStamps(const std::vector<std::size_t>& packs, std::uint64_t step)
{
    std::vector<Stamp> stamps;
    for (std::size_t k = 0; k < packs.size(); ++k) {
        stamps.push_back({packs[k], k * step});
    }
    return stamps;
}

// The clock references of a whole file as the analysis finds them.
std::vector<Stamp> ScanStamps(const Bytes& file, const qvmpeg::TimestampScanner& scanner)
{
    std::vector<Stamp> stamps;
    auto hit = scanner.FindFirstTimestamp(file);
    if (!hit) {
        return stamps;
    }
    const std::uint64_t first = hit->ticks;
    std::uint64_t previous = first;
    std::uint64_t due = 0;
    while (hit) {
        const std::int64_t delta = qvmpeg::TimestampDifference(hit->ticks, previous);
        EXPECT_GE(delta, 0);
        EXPECT_LE(delta, XmitMPEG::kMaxClockGapTicks);
        due += static_cast<std::uint64_t>(delta);
        previous = hit->ticks;
        stamps.push_back({hit->position, due});
        hit = scanner.FindNextTimestamp(file, hit->position);
    }
    return stamps;
}

struct Split
{
    std::vector<Sent> data;
    std::vector<Sent> endOfStream;
    std::vector<Sent> headers;
};

Split SplitRecords(const std::vector<Sent>& records)
{
    Split split;
    for (const Sent& s : records) {
        if (IsEndOfStream(s.bytes)) {
            split.endOfStream.push_back(s);
        } else if (IsControl(s.bytes)) {
            split.headers.push_back(s);
        } else {
            split.data.push_back(s);
        }
    }
    return split;
}

Bytes Concatenate(const std::vector<Sent>& data, std::size_t skip)
{
    Bytes all;
    for (const Sent& s : data) {
        all.insert(all.end(), s.bytes.begin() + static_cast<std::ptrdiff_t>(skip), s.bytes.end());
    }
    return all;
}

class PacingTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.Valid()); }

    // Sends the file once in RAW format on the manual clock and checks that
    // every payload left at its expected time and that the bytes are the
    // file's.
    template <class X>
    void ExpectPaced(const std::string& path, const std::vector<Stamp>& stamps, bool secondUnpaced)
    {
        const Bytes file = ReadAll(path);
        qvplat::ManualClock clock(kClockStart);
        qvplat::ScopedClockOverride useClock(clock);
        RecordingXmit<X> x;
        x.SetFilePath(path);
        x.SetPacketFormat(XmitMPEG::kRawFormat);
        x.SetRepeat(1, 0);
        x.ComputeBitrate();
        ASSERT_EQ(x.Start(), 0);
        ASSERT_TRUE(WaitFinished(x));
        x.Stop();

        const Split sent = SplitRecords(x.Records());
        EXPECT_EQ(Concatenate(sent.data, 0), file);
        EXPECT_EQ(sent.endOfStream.size(), 2U); // end of the pass, end of the thread
        const std::vector<std::uint32_t> expected =
            ExpectedTimes(stamps, file.size(), kClockStart, secondUnpaced);
        ASSERT_EQ(sent.data.size(), expected.size());
        for (std::size_t j = 0; j < expected.size(); ++j) {
            EXPECT_EQ(sent.data[j].time - kClockStart, expected[j] - kClockStart)
                << "payload " << j;
            EXPECT_EQ(sent.data[j].bytes.size(),
                      j + 1 < expected.size() ? kPayload : file.size() - j * kPayload);
        }
        EXPECT_EQ(x.GetPayloadBytesSent(), file.size());
        EXPECT_EQ(x.GetProgressPercent(), 100);
    }

    TempDir dir;
};

// ---- The sample files -------------------------------------------------------

TEST_F(PacingTest, SampleFilesLeaveAtTheirClockReferences)
{
    const std::string m1s = SamplePath("m1s_testsrc.mpg");
    if (m1s.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    {
        SCOPED_TRACE("MPEG-1 system");
        ExpectPaced<XmitMPEG1System>(m1s, ScanStamps(ReadAll(m1s), qvmpeg::Mpeg1SystemScanner()),
                                     true);
    }
    {
        SCOPED_TRACE("MPEG-2 program");
        const std::string m2p = SamplePath("m2p_testsrc.mpg");
        ExpectPaced<XmitMPEG2Program>(m2p, ScanStamps(ReadAll(m2p), qvmpeg::Mpeg2ProgramScanner()),
                                      true);
    }
    {
        SCOPED_TRACE("MPEG-2 transport");
        const std::string m2t = SamplePath("m2t_testsrc2.ts");
        const std::vector<Stamp> stamps = ScanStamps(ReadAll(m2t), qvmpeg::Mpeg2TransportScanner());
        ASSERT_GE(stamps.size(), 2U);
        ASSERT_LT(stamps[1].position + qvmpeg::kTransportPacketSize, qvmpeg::kReadBlockSize);
        ExpectPaced<XmitMPEG2Transport>(m2t, stamps, true);
    }
}

// ---- Edge files -------------------------------------------------------------

constexpr std::uint64_t kStep = 3600; // 40 ms
// 2000 bytes per 3600 ticks: exactly 400000 bit/s, so the bit rate bridges a
// discontinuity with exactly one step.
constexpr std::size_t kPackSize = 2000;

TEST_F(PacingTest, FileShorterThanOneReadIsPacedFromItsFirstClockReference)
{
    Mpeg1Stream s;
    s.Packs(10, kPackSize, 123456, kStep);
    ASSERT_LT(s.bytes().size(), qvmpeg::kReadBlockSize);
    ExpectPaced<XmitMPEG1System>(dir.Write("short.mpg", s.bytes()), EvenStamps(s.packs(), kStep),
                                 true);
}

TEST_F(PacingTest, ClockReferenceJumpingBackwardsRebasesThePacing)
{
    // Two files joined: the second one's clock starts again lower down.
    Mpeg1Stream s;
    s.Packs(30, kPackSize, 900000, kStep);
    s.Packs(30, kPackSize, 90000, kStep);
    ExpectPaced<XmitMPEG1System>(dir.Write("joined.mpg", s.bytes()), EvenStamps(s.packs(), kStep),
                                 true);
}

TEST_F(PacingTest, ClockReferenceJumpingFarAheadRebasesThePacing)
{
    Mpeg1Stream s;
    s.Packs(30, kPackSize, 90000, kStep);
    s.Packs(30, kPackSize, 90000 + 3600ULL * 90000, kStep); // an hour later
    ExpectPaced<XmitMPEG1System>(dir.Write("gap.mpg", s.bytes()), EvenStamps(s.packs(), kStep),
                                 true);
}

TEST_F(PacingTest, ClockReferenceWrappingAt33BitsPacesOn)
{
    Mpeg1Stream s;
    s.Packs(40, kPackSize, qvmpeg::kTimestampModulus - 10 * kStep, kStep);
    ExpectPaced<XmitMPEG1System>(dir.Write("wrap.mpg", s.bytes()), EvenStamps(s.packs(), kStep),
                                 true);
}

TEST_F(PacingTest, StartCodeInsidePacketDataIsNotAClockReference)
{
    Mpeg1Stream s;
    for (std::size_t k = 0; k < 40; ++k) {
        // Every third pack carries a fake pack header far off the real clock.
        s.Pack(500000 + k * kStep, kPackSize - 18, k % 3 == 1, 77777777);
    }
    ExpectPaced<XmitMPEG1System>(dir.Write("emulation.mpg", s.bytes()),
                                 EvenStamps(s.packs(), kStep), true);
}

TEST_F(PacingTest, MoreThanTheBufferBetweenClockReferencesGoesOutUnpaced)
{
    Mpeg1Stream s;
    s.Pack(90000, 1000);
    s.Packet(60000);
    s.Packet(60000);
    s.Packet(30000);
    for (std::size_t k = 1; k < 20; ++k) {
        s.Pack(90000 + k * kStep, kPackSize - 18);
    }
    const Bytes& file = s.bytes();
    const std::string path = dir.Write("overflow.mpg", file);
    const std::vector<Stamp> stamps = EvenStamps(s.packs(), kStep);
    const std::vector<std::uint32_t> expected =
        ExpectedTimes(stamps, file.size(), kClockStart, false);

    qvplat::ManualClock clock(kClockStart);
    qvplat::ScopedClockOverride useClock(clock);
    RecordingXmit<XmitMPEG1System> x;
    x.SetFilePath(path);
    x.SetPacketFormat(XmitMPEG::kRawFormat);
    x.SetRepeat(1, 0);
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    x.Stop();

    const Split sent = SplitRecords(x.Records());
    EXPECT_EQ(Concatenate(sent.data, 0), file);
    ASSERT_EQ(sent.data.size(), expected.size());
    std::size_t early = 0;
    for (std::size_t j = 0; j < expected.size(); ++j) {
        const std::uint32_t got = sent.data[j].time - kClockStart;
        const std::uint32_t want = expected[j] - kClockStart;
        // The payloads that did not fit went out at once; all others on time.
        EXPECT_LE(got, want) << "payload " << j;
        if (got < want) {
            ++early;
            EXPECT_LT((j + 1) * kPayload, stamps[1].position) << "payload " << j;
        }
        EXPECT_EQ(sent.data[j].bytes.size(),
                  j + 1 < expected.size() ? kPayload : file.size() - j * kPayload);
    }
    EXPECT_GT(early, 0U);
}

TEST_F(PacingTest, FileWithoutClockReferenceEndsAndReportsFinished)
{
    Bytes junk(50000, 0x55);
    const std::string path = dir.Write("junk.mpg", junk);
    qvplat::ManualClock clock(kClockStart);
    qvplat::ScopedClockOverride useClock(clock);
    RecordingXmit<XmitMPEG2Program> x;
    x.SetFilePath(path);
    x.SetRepeat(XmitMPEG::kEndless, 5000);
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    EXPECT_TRUE(x.IsRunning());
    x.Stop();
    EXPECT_FALSE(x.IsRunning());
    EXPECT_TRUE(x.IsFinished());

    const Split sent = SplitRecords(x.Records());
    EXPECT_TRUE(sent.data.empty());
    EXPECT_EQ(sent.endOfStream.size(), 1U);
}

TEST_F(PacingTest, FailedSendsAreDroppedAndTheOffsetMovesOn)
{
    Mpeg1Stream s;
    s.Packs(60, kPackSize, 90000, kStep);
    const Bytes& file = s.bytes();
    const std::string path = dir.Write("fail.mpg", file);
    qvplat::ManualClock clock(kClockStart);
    qvplat::ScopedClockOverride useClock(clock);
    RecordingXmit<XmitMPEG1System> x;
    x.FailEvery(3);
    x.SetFilePath(path);
    x.SetPacketFormat(XmitMPEG::kOpvFormat);
    x.SetRepeat(1, 0);
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    x.Stop();

    const Split sent = SplitRecords(x.Records());
    const std::size_t payloads = (file.size() + kPayload - 1) / kPayload;
    ASSERT_EQ(sent.data.size(), payloads - payloads / 3);
    std::uint64_t delivered = 0;
    for (const Sent& d : sent.data) {
        // Each payload that got through sits at its own place in the file.
        const std::uint32_t offset = OpvOffset(d.bytes);
        ASSERT_EQ(offset % kPayload, 0U);
        ASSERT_LE(offset + d.bytes.size() - 4, file.size());
        EXPECT_TRUE(std::equal(d.bytes.begin() + 4, d.bytes.end(), file.begin() + offset));
        EXPECT_NE(offset / kPayload % 3, 2U) << "every third payload was refused";
        delivered += d.bytes.size() - 4;
    }
    EXPECT_EQ(x.GetPayloadBytesSent(), delivered);
    EXPECT_EQ(sent.endOfStream.size(), 2U);
}

TEST_F(PacingTest, OpvOffsetsRunOnAcrossPassesAfterThePause)
{
    Mpeg1Stream s;
    s.Packs(25, kPackSize, 90000, kStep);
    const Bytes& file = s.bytes();
    const std::string path = dir.Write("passes.mpg", file);
    qvplat::ManualClock clock(kClockStart);
    qvplat::ScopedClockOverride useClock(clock);
    RecordingXmit<XmitMPEG1System> x;
    x.SetFilePath(path);
    x.SetPacketFormat(XmitMPEG::kOpvFormat);
    x.SetRepeat(2, 700);
    ASSERT_EQ(x.Start(), 0);
    ASSERT_TRUE(WaitFinished(x));
    x.Stop();

    const std::vector<Sent> records = x.Records();
    std::vector<std::vector<Sent>> passes(1);
    std::size_t eos = 0;
    for (const Sent& r : records) {
        if (IsEndOfStream(r.bytes)) {
            ++eos;
            passes.emplace_back();
        } else {
            passes.back().push_back(r);
        }
    }
    EXPECT_EQ(eos, 3U);
    ASSERT_GE(passes.size(), 2U);
    std::uint32_t expectedOffset = 0;
    for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(Concatenate(passes[p], 4), file) << "pass " << p;
        for (const Sent& d : passes[p]) {
            EXPECT_EQ(OpvOffset(d.bytes), expectedOffset);
            expectedOffset += static_cast<std::uint32_t>(d.bytes.size() - 4);
        }
    }
    EXPECT_EQ(expectedOffset, 2 * file.size());
    ASSERT_FALSE(passes[1].empty());
    EXPECT_GE(passes[1].front().time - passes[0].back().time, 700U);
}

TEST_F(PacingTest, StopWhilePacingEndsTheThreadPromptly)
{
    const std::string path = SamplePath("m2p_testsrc.mpg");
    if (path.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    RecordingXmit<XmitMPEG2Program> x; // real clock: four seconds of stream
    x.SetFilePath(path);
    x.SetRepeat(XmitMPEG::kEndless, 5000);
    ASSERT_EQ(x.Start(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (x.Count() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(x.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
    EXPECT_FALSE(x.IsRunning());
    EXPECT_FALSE(x.IsFinished());
    const Split sent = SplitRecords(x.Records());
    EXPECT_GE(sent.endOfStream.size(), 1U);
    ASSERT_FALSE(x.Records().empty());
    EXPECT_TRUE(IsEndOfStream(x.Records().back().bytes));
}

// ---- Analysis and settings --------------------------------------------------

TEST(XmitMPEGTest, BaseClassAnalysesButNeverStarts)
{
    const std::string m2t = SamplePath("m2t_testsrc2.ts");
    if (m2t.empty()) {
        GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
    }
    XmitMPEG base;
    base.SetFilePath(m2t);
    int type = 0;
    EXPECT_EQ(base.DetectStreamType(type), 1);
    EXPECT_EQ(type, qvmpeg::kMpeg2Transport);
    EXPECT_EQ(base.ComputeBitrate(), 0U);
    EXPECT_EQ(base.Start(), 1);
    EXPECT_FALSE(base.IsRunning());

    XmitMPEG2Transport ts;
    ts.SetFilePath(m2t);
    const std::uint64_t rate = ts.ComputeBitrate();
    EXPECT_NEAR(static_cast<double>(rate), 700000.0, 70000.0);
    EXPECT_EQ(ts.GetBitrate(), rate);
    EXPECT_EQ(ts.GetFileSize(), ReadAll(m2t).size());
}

TEST(XmitMPEGTest, MissingFileFailsEveryStep)
{
    TempDir dir;
    const std::string missing = dir.Write("x", {}) + ".absent";
    XmitMPEG1System x;
    x.SetFilePath(missing);
    int type = 0;
    EXPECT_EQ(x.DetectStreamType(type), 0);
    EXPECT_EQ(x.ComputeBitrate(), 0U);
    x.SetAddress(htonl(INADDR_LOOPBACK), 9);
    EXPECT_EQ(x.Start(), 1);
    EXPECT_FALSE(x.IsRunning());
    EXPECT_EQ(x.Stop(), 0);
}

TEST(XmitMPEGTest, OwnSapCasterStopsTheStartOnlyWhenItAnnounces)
{
    TempDir dir;
    const std::string path = dir.Write("junk.mpg", Bytes(1000, 0x55));
    QvPropertyList unusable;
    unusable.SetProperty("SendPort", "70000"); // the SAP caster cannot start
    for (const bool announce : {false, true}) {
        SCOPED_TRACE(announce ? "announcing" : "not announcing");
        RecordingXmit<XmitMPEG1System> x;
        x.SetFilePath(path);
        x.SetRepeat(1, 0);
        x.GetOwnSAPCaster().SetPropertyList(&unusable);
        x.SetSAPCaster(announce ? &x.GetOwnSAPCaster() : nullptr);
        if (announce) {
            EXPECT_THROW(x.Start(), QvException);
        } else {
            EXPECT_EQ(x.Start(), 0);
        }
        EXPECT_EQ(x.IsRunning(), !announce);
        x.Stop();
    }
}

TEST(XmitMPEGTest, DefaultsAndSettings)
{
    XmitMPEG2Transport ts;
    EXPECT_EQ(ts.GetStreamType(), qvmpeg::kMpeg2Transport);
    EXPECT_EQ(ts.GetPort(), 2010U);
    EXPECT_EQ(ts.GetAddress(), inet_addr("225.1.1.10"));
    EXPECT_EQ(ts.GetInterface(), 0UL);
    EXPECT_EQ(ts.GetPacketFormat(), XmitMPEG::kOpvFormat);
    EXPECT_EQ(ts.GetRepeatCount(), XmitMPEG::kEndless);
    EXPECT_EQ(ts.GetPause(), 5000U);
    EXPECT_EQ(ts.GetSAPCaster(), nullptr);
    EXPECT_EQ(ts.GetFilePath(), "c:\\mpeg\\test.mpg");
    ts.SetHeaderCaster(true);
    EXPECT_FALSE(ts.GetHeaderCaster()) << "transport streams have no header to resend";

    XmitMPEG2Program ps;
    ps.SetHeaderCaster(true);
    EXPECT_TRUE(ps.GetHeaderCaster());
    ps.SetRepeat(0, 0);
    EXPECT_EQ(ps.GetRepeatCount(), 1);
    ps.SetPacketFormat(7);
    EXPECT_EQ(ps.GetPacketFormat(), XmitMPEG::kOpvFormat);
}

TEST(XmitMPEGTest, SessionNameIsTheFileNameWithoutItsExtension)
{
    EXPECT_EQ(XmitMPEG::SessionName("c:\\mpeg\\test.mpg"), "test");
    EXPECT_EQ(XmitMPEG::SessionName("/data/clips/news.final.ts"), "news.final");
    EXPECT_EQ(XmitMPEG::SessionName("d:clip"), "clip");
    EXPECT_EQ(XmitMPEG::SessionName("/x/.hidden"), ".hidden");
    EXPECT_EQ(XmitMPEG::SessionName("plain"), "plain");
}

TEST(XmitMPEGTest, DecodersFollowTheStreamType)
{
    const Bytes scr = Mpeg1ScrBytes(0x123456789ULL);
    EXPECT_EQ(XmitMPEG1System().DecodeTimestamp(scr.data()), 0x123456789ULL);
    EXPECT_EQ(XmitMPEG().DecodeTimestamp(scr.data()), 0U);
    const Bytes pcr = {0x80, 0x00, 0x00, 0x00, 0x80};
    EXPECT_EQ(XmitMPEG2Transport().DecodeTimestamp(pcr.data()), (1ULL << 32) | 1U);
}

} // namespace
