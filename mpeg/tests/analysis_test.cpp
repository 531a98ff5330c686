// Tests of the MPEG stream analysis: stream-type detection, clock-reference
// decoding and scanning, and the bit-rate estimate, on the bundled sample
// files and on streams built byte by byte here.
#include "mpeg/mpeganalysis.h"

#include "core/settings/qvlog.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace qvmpeg;
using qvtest::Bytes;
using qvtest::ReadAll;
using qvtest::SamplePath;
using qvtest::TempDir;

constexpr std::uint64_t kMaxTimestamp = kTimestampModulus - 1;

// ---- Stream builders --------------------------------------------------------
// Written from the bit layouts of the pack header and the adaptation field,
// with every marker bit set, independently of the decoders under test.

std::uint8_t Byte(std::uint64_t v)
{
    return static_cast<std::uint8_t>(v & 0xFF);
}

void Append(Bytes& out, const Bytes& more)
{
    out.insert(out.end(), more.begin(), more.end());
}

Bytes Mpeg1ScrBytes(std::uint64_t scr)
{
    return {Byte(0x21 | ((scr >> 29) & 0x0E)), Byte(scr >> 22), Byte(((scr >> 14) & 0xFE) | 1),
            Byte(scr >> 7), Byte(((scr << 1) & 0xFE) | 1)};
}

// Six bytes: the 33-bit base, the 9-bit extension and their markers.
Bytes Mpeg2ScrBytes(std::uint64_t base, unsigned ext)
{
    return {
        Byte(0x44 | ((base >> 27) & 0x38) | ((base >> 28) & 0x03)), Byte(base >> 20),
        Byte(((base >> 12) & 0xF8) | 0x04 | ((base >> 13) & 0x03)), Byte(base >> 5),
        Byte(((base << 3) & 0xF8) | 0x04 | ((ext >> 7) & 0x03)),    Byte(((ext << 1) & 0xFE) | 1)};
}

// Six bytes: the 33-bit base, six reserved bits (set) and the 9-bit extension.
Bytes PcrBytes(std::uint64_t base, unsigned ext)
{
    return {Byte(base >> 25),
            Byte(base >> 17),
            Byte(base >> 9),
            Byte(base >> 1),
            Byte(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1)),
            Byte(ext)};
}

Bytes Mpeg1PackHeader(std::uint64_t scr)
{
    Bytes out{0, 0, 1, 0xBA};
    Append(out, Mpeg1ScrBytes(scr));
    const unsigned rate = 3500; // units of 50 bytes/s
    Append(out, {Byte(0x80 | (rate >> 15)), Byte(rate >> 7), Byte((rate << 1) | 1)});
    return out;
}

Bytes Mpeg2PackHeader(std::uint64_t scr, unsigned stuffing = 0, unsigned ext = 0)
{
    Bytes out{0, 0, 1, 0xBA};
    Append(out, Mpeg2ScrBytes(scr, ext));
    const unsigned rate = 1750;
    Append(out, {Byte(rate >> 14), Byte(rate >> 6), Byte(((rate << 2) & 0xFC) | 3),
                 Byte(0xF8 | stuffing)});
    out.insert(out.end(), stuffing, 0xFF);
    return out;
}

Bytes PesPacket(std::uint8_t id, const Bytes& payload)
{
    Bytes out{0, 0, 1, id, Byte(payload.size() >> 8), Byte(payload.size())};
    Append(out, payload);
    return out;
}

// A pack of exactly packSize bytes: the header and one video packet.
Bytes ProgramPack(int type, std::uint64_t scr, std::size_t packSize, std::uint8_t fill = 0x55)
{
    Bytes out = type == kMpeg1System ? Mpeg1PackHeader(scr) : Mpeg2PackHeader(scr);
    Append(out, PesPacket(0xE0, Bytes(packSize - out.size() - 6, fill)));
    return out;
}

// count packs of packSize bytes whose clock references step by `step` ticks.
Bytes ProgramStream(int type, int count, std::size_t packSize, std::uint64_t firstScr,
                    std::uint64_t step)
{
    Bytes out;
    for (int i = 0; i < count; ++i)
        Append(out, ProgramPack(
                        type, (firstScr + static_cast<std::uint64_t>(i) * step) % kTimestampModulus,
                        packSize));
    return out;
}

Bytes TransportPacket(std::uint16_t pid, std::optional<std::uint64_t> pcr, std::uint8_t fill = 0x55)
{
    Bytes out{0x47, Byte(0x40 | (pid >> 8)), Byte(pid)};
    if (pcr) {
        out.push_back(0x30);
        out.push_back(7);
        out.push_back(0x10);
        Append(out, PcrBytes(*pcr, 0x1FF));
    } else {
        out.push_back(0x10);
    }
    out.resize(kTransportPacketSize, fill);
    return out;
}

// Packets with a PCR in every pcrEvery-th one, the PCR stepping by `step`.
Bytes TransportStream(int count, int pcrEvery, std::uint64_t firstPcr, std::uint64_t step)
{
    Bytes out;
    std::uint64_t pcr = firstPcr;
    for (int i = 0; i < count; ++i) {
        if (i % pcrEvery == 0) {
            Append(out, TransportPacket(0x100, pcr));
            pcr = (pcr + step) % kTimestampModulus;
        } else {
            Append(out, TransportPacket(0x101, std::nullopt));
        }
    }
    return out;
}

// ---- Files ------------------------------------------------------------------

// Every clock reference of a whole buffer, by FindFirst and then FindNext.
std::vector<TimestampHit> AllTimestamps(const TimestampScanner& scanner, const Bytes& data)
{
    std::vector<TimestampHit> hits;
    auto hit = scanner.FindFirstTimestamp(data);
    while (hit) {
        hits.push_back(*hit);
        hit = scanner.FindNextTimestamp(data, hit->position);
    }
    return hits;
}

// ---- Sample files -----------------------------------------------------------

struct Sample
{
    const char* name;
    int type;
    std::uint64_t rate; // bits per second, by ffprobe
};

const Sample kSamples[] = {
    {"m1s_testsrc.mpg", kMpeg1System, 1385083},
    {"m2p_testsrc.mpg", kMpeg2Program, 561136},
    {"m2t_testsrc2.ts", kMpeg2Transport, 706238},
};

TEST(SampleFiles, TypeAndBitrateMatchTheMuxer)
{
    for (const Sample& sample : kSamples) {
        SCOPED_TRACE(sample.name);
        const std::string path = SamplePath(sample.name);
        int type = 0;
        ASSERT_TRUE(DetectStreamType(path, type));
        EXPECT_EQ(type, sample.type);

        FileAnalysis analysis;
        ASSERT_TRUE(AnalyseFile(path, analysis));
        EXPECT_EQ(analysis.streamType, sample.type);
        EXPECT_EQ(analysis.fileSize, std::filesystem::file_size(path));
        // These files are shorter than the estimate's span: it gives their
        // bytes over their whole clock, which in the two-second MPEG-1
        // sample runs on 0.4 s past its last picture.
        EXPECT_GT(analysis.bitrate, sample.rate * 8 / 10);
        EXPECT_LT(analysis.bitrate, sample.rate * 11 / 10);
    }
}

// Files as ffmpeg's muxers make them on their defaults (made by the build,
// see samples/make_rate_samples.sh), against ffprobe's rate: two programs
// whose first PCRs are equal, program streams that start with a burst of
// packs at a clock that barely moves or with one pack half a second ahead,
// 400 Mbit/s with megabytes between PCRs, and constant-rate files.
TEST(SampleFiles, BitrateOfEverydayFilesIsNearFfprobes)
{
    const std::string dir = QV_RATE_SAMPLES_DIR;
    std::ifstream list(dir + "/rates.txt");
    ASSERT_TRUE(list) << dir << ": build the target rate_samples";
    std::string name;
    std::uint64_t rate = 0;
    int files = 0;
    while (list >> name >> rate) {
        ++files;
        FileAnalysis analysis;
        ASSERT_TRUE(AnalyseFile(dir + "/" + name, analysis)) << name;
        std::printf("%-16s type %d  estimate %10llu  ffprobe %10llu  %+5.1f %%\n", name.c_str(),
                    analysis.streamType, static_cast<unsigned long long>(analysis.bitrate),
                    static_cast<unsigned long long>(rate),
                    (static_cast<double>(analysis.bitrate) / static_cast<double>(rate) - 1) * 100);
        EXPECT_NEAR(static_cast<double>(analysis.bitrate), static_cast<double>(rate),
                    static_cast<double>(rate) * 0.12)
            << name;
    }
    EXPECT_EQ(files, 8);
}

// Walking the packets finds the same clock references as a plain search of
// the whole file for them, and the clock only moves forward.
TEST(SampleFiles, ScanFindsEveryClockReferenceInOrder)
{
    for (const Sample& sample : kSamples) {
        SCOPED_TRACE(sample.name);
        const Bytes data = ReadAll(SamplePath(sample.name));
        ASSERT_FALSE(data.empty());
        std::vector<std::size_t> expected;
        if (sample.type == kMpeg2Transport) {
            for (std::size_t p = 0; p + kTransportPacketSize < data.size();
                 p += kTransportPacketSize)
                if ((data[p + 3] & 0x20) && data[p + 4] != 0 && (data[p + 5] & 0x10))
                    expected.push_back(p + 12);
        } else {
            const Bytes packStart{0, 0, 1, 0xBA};
            for (auto it = data.begin(); (it = std::search(it, data.end(), packStart.begin(),
                                                           packStart.end())) != data.end();
                 ++it)
                expected.push_back(static_cast<std::size_t>(it - data.begin()));
        }
        ASSERT_GT(expected.size(), 10u);

        const auto scanner = MakeTimestampScanner(sample.type);
        ASSERT_NE(scanner, nullptr);
        const std::vector<TimestampHit> hits = AllTimestamps(*scanner, data);
        std::vector<std::size_t> positions;
        for (const TimestampHit& hit : hits)
            positions.push_back(hit.position);
        EXPECT_EQ(positions, expected);
        for (std::size_t i = 1; i < hits.size(); ++i)
            EXPECT_GT(TimestampDifference(hits[i].ticks, hits[i - 1].ticks), 0) << i;
    }
}

// ---- Clock-reference decoding -----------------------------------------------

ClockBytes Five(const Bytes& b)
{
    return ClockBytes(b.data(), 5);
}

TEST(ClockDecoding, AllThirtyThreeBitsAndMarkerBits)
{
    // All value bits set.
    EXPECT_EQ(DecodeMpeg1Scr(Five(Mpeg1ScrBytes(kMaxTimestamp))), kMaxTimestamp);
    EXPECT_EQ(DecodeMpeg2ScrBase(Five(Mpeg2ScrBytes(kMaxTimestamp, 0x1FF))), kMaxTimestamp);
    EXPECT_EQ(DecodePcrBase(Five(PcrBytes(kMaxTimestamp, 0x1FF))), kMaxTimestamp);
    EXPECT_EQ(DecodeMpeg1Scr(Five({0x2F, 0xFF, 0xFF, 0xFF, 0xFF})), kMaxTimestamp);
    EXPECT_EQ(DecodeMpeg2ScrBase(Five({0x7F, 0xFF, 0xFF, 0xFF, 0xFF})), kMaxTimestamp);
    EXPECT_EQ(DecodePcrBase(Five({0xFF, 0xFF, 0xFF, 0xFF, 0xFF})), kMaxTimestamp);

    // Only markers, prefix bits, reserved bits and extensions set: zero.
    EXPECT_EQ(DecodeMpeg1Scr(Five({0x21, 0x00, 0x01, 0x00, 0x01})), 0u);
    EXPECT_EQ(DecodeMpeg2ScrBase(Five({0x44, 0x00, 0x04, 0x00, 0x07})), 0u);
    EXPECT_EQ(DecodePcrBase(Five({0x00, 0x00, 0x00, 0x00, 0x7F})), 0u);

    // Each bit on its own lands in its place.
    for (int bit = 0; bit < 33; ++bit) {
        const std::uint64_t v = std::uint64_t{1} << bit;
        EXPECT_EQ(DecodeMpeg1Scr(Five(Mpeg1ScrBytes(v))), v) << bit;
        EXPECT_EQ(DecodeMpeg2ScrBase(Five(Mpeg2ScrBytes(v, 0x1FF))), v) << bit;
        EXPECT_EQ(DecodePcrBase(Five(PcrBytes(v, 0x1FF))), v) << bit;
    }
}

TEST(ClockDecoding, ScannersDecodeTheirOwnLayout)
{
    const std::uint64_t v = 0x1'2345'6789;
    EXPECT_EQ(Mpeg1SystemScanner().DecodeTimestamp(Five(Mpeg1ScrBytes(v))), v);
    EXPECT_EQ(Mpeg2ProgramScanner().DecodeTimestamp(Five(Mpeg2ScrBytes(v, 123))), v);
    EXPECT_EQ(Mpeg2TransportScanner().DecodeTimestamp(Five(PcrBytes(v, 123))), v);
    EXPECT_EQ(MakeTimestampScanner(kMpeg1System)->StreamType(), kMpeg1System);
    EXPECT_EQ(MakeTimestampScanner(kMpeg2Program)->StreamType(), kMpeg2Program);
    EXPECT_EQ(MakeTimestampScanner(kMpeg2Transport)->StreamType(), kMpeg2Transport);
    EXPECT_EQ(MakeTimestampScanner(kUnknownStream), nullptr);
    EXPECT_EQ(MakeTimestampScanner(0), nullptr);
}

TEST(ClockArithmetic, WrappedDifferenceAndConversions)
{
    EXPECT_EQ(TimestampDifference(1000, 400), 600);
    EXPECT_EQ(TimestampDifference(400, 1000), -600);
    EXPECT_EQ(TimestampDifference(5, kMaxTimestamp - 4), 10); // wrapped at 33 bits
    EXPECT_EQ(TimestampDifference(kMaxTimestamp - 4, 5), -10);
    EXPECT_EQ(TimestampDifference(7, 7), 0);

    // 50 days of milliseconds overflow 32 bits once multiplied by 90.
    const std::uint64_t fiftyDaysMs = 50ull * 24 * 3600 * 1000;
    EXPECT_EQ(MillisecondsToTicks(fiftyDaysMs), fiftyDaysMs * 90);
    EXPECT_EQ(MillisecondsToTicks(1000), 90000u);

    EXPECT_EQ(BitrateFromTimestamps(2048, 1440), 1024000u);
    EXPECT_EQ(BitrateFromTimestamps(2048, 0), 0u);
    EXPECT_EQ(BitrateFromTimestamps(2048, -1440), 0u);
    EXPECT_EQ(BitrateFromTimestamps(~std::uint64_t{0}, 1), ~std::uint64_t{0});
}

// ---- Stream-type detection --------------------------------------------------

TEST(StreamTypeDetection, FirstHitDecides)
{
    Bytes m1 = ProgramStream(kMpeg1System, 2, 2048, 0, 1440);
    EXPECT_EQ(ClassifyStreamHead(m1), kMpeg1System);
    Bytes m2 = ProgramStream(kMpeg2Program, 2, 2048, 0, 1440);
    EXPECT_EQ(ClassifyStreamHead(m2), kMpeg2Program);
    EXPECT_EQ(ClassifyStreamHead(TransportStream(4, 2, 0, 1000)), kMpeg2Transport);

    // Two sync bytes 188 apart before an MPEG-2 pack header: transport.
    Bytes mixed(600, 0x00);
    mixed[10] = 0x47;
    mixed[198] = 0x47;
    const Bytes pack = Mpeg2PackHeader(0);
    std::copy(pack.begin(), pack.end(), mixed.begin() + 300);
    EXPECT_EQ(ClassifyStreamHead(mixed), kMpeg2Transport);

    // A pack header followed by 0x80..0xFF is passed over.
    Bytes odd = Mpeg1PackHeader(0);
    odd[4] = 0x80;
    odd.resize(400, 0x00);
    EXPECT_EQ(ClassifyStreamHead(odd), kUnknownStream);
    const Bytes later = Mpeg1PackHeader(0);
    std::copy(later.begin(), later.end(), odd.begin() + 100);
    EXPECT_EQ(ClassifyStreamHead(odd), kMpeg1System);
}

TEST(StreamTypeDetection, ShortAndUnclassifiedInput)
{
    // 188 bytes or fewer are never classified.
    Bytes pack = ProgramStream(kMpeg1System, 1, 188, 0, 0);
    EXPECT_EQ(ClassifyStreamHead(pack), kUnknownStream);
    pack.push_back(0);
    EXPECT_EQ(ClassifyStreamHead(pack), kMpeg1System);
    EXPECT_EQ(ClassifyStreamHead({}), kUnknownStream);

    // Noise without sync bytes (a sync byte 188 bytes from another one would
    // rightly look like a transport stream).
    std::mt19937 rng(12345);
    Bytes noise(kReadBlockSize);
    for (auto& b : noise) {
        b = static_cast<std::uint8_t>(rng());
        if (b == 0x47)
            b = 0x46;
    }
    EXPECT_EQ(ClassifyStreamHead(noise), kUnknownStream);

    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    int type = 0;
    ASSERT_TRUE(DetectStreamType(dir.Write("noise.mpg", noise), type));
    EXPECT_EQ(type, kUnknownStream);
    type = 0;
    ASSERT_TRUE(DetectStreamType(dir.Write("empty.mpg", {}), type));
    EXPECT_EQ(type, kUnknownStream);

    FileAnalysis analysis;
    ASSERT_TRUE(AnalyseFile(dir.File("noise.mpg"), analysis));
    EXPECT_EQ(analysis.streamType, kUnknownStream);
    EXPECT_EQ(analysis.fileSize, kReadBlockSize);
    EXPECT_EQ(analysis.bitrate, 0u);
    EXPECT_EQ(ComputeBitrate(dir.File("noise.mpg"), Mpeg2ProgramScanner()), 0u);
    EXPECT_EQ(ComputeBitrate(dir.File("empty.mpg"), Mpeg2TransportScanner()), 0u);
}

// ---- Files with edges -------------------------------------------------------

TEST(BitrateEstimate, FileShorterThanOneRead)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    // 2048 bytes per 1440 ticks: 1024000 bit/s.
    const std::string m1 = dir.Write("m1.mpg", ProgramStream(kMpeg1System, 3, 2048, 1000, 1440));
    const std::string m2 = dir.Write("m2.mpg", ProgramStream(kMpeg2Program, 3, 2048, 1000, 1440));
    // 5 packets (940 bytes) per 900 ticks: 752000 bit/s.
    const std::string ts = dir.Write("m2t.ts", TransportStream(16, 5, 1000, 900));

    const struct
    {
        std::string path;
        int type;
        std::uint64_t rate;
    } cases[] = {
        {m1, kMpeg1System, 1024000}, {m2, kMpeg2Program, 1024000}, {ts, kMpeg2Transport, 752000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        FileAnalysis analysis;
        ASSERT_TRUE(AnalyseFile(c.path, analysis));
        EXPECT_EQ(analysis.streamType, c.type);
        EXPECT_EQ(analysis.bitrate, c.rate);
        EXPECT_EQ(analysis.fileSize, std::filesystem::file_size(c.path));
    }
}

// A pipe hands the bytes over in small pieces; the first read is still
// filled up to the end of the data before anything is searched.
TEST(BitrateEstimate, FirstReadArrivingInPieces)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string fifo = dir.File("stream.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes data = ProgramStream(kMpeg2Program, 3, 2048, 0, 1440);

    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        for (std::size_t at = 0; at < data.size(); at += 7) {
            const std::size_t n = std::min<std::size_t>(7, data.size() - at);
            out.write(reinterpret_cast<const char*>(data.data() + at),
                      static_cast<std::streamsize>(n));
            out.flush();
            if (at < 64)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const std::uint64_t rate = ComputeBitrate(fifo, Mpeg2ProgramScanner());
    writer.join();
    EXPECT_EQ(rate, 1024000u);
}

// Regular files only: a FIFO without a writer is refused at once instead of
// holding the caller until someone writes.
TEST(BitrateEstimate, RegularOnlyRefusesAFifoWithoutWaiting)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string fifo = dir.File("idle.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FileAnalysis analysis;
    EXPECT_FALSE(AnalyseFile(fifo, analysis, FileKinds::RegularOnly));
    EXPECT_EQ(analysis.streamType, kUnknownStream);
}

TEST(BitrateEstimate, NoSecondClockReference)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    // Transport packets without any PCR: a transport stream, but no rate.
    Bytes withoutPcr;
    for (int i = 0; i < 50; ++i)
        Append(withoutPcr, TransportPacket(0x101, std::nullopt));
    const std::string noPcr = dir.Write("nopcr.ts", withoutPcr);
    FileAnalysis analysis;
    ASSERT_TRUE(AnalyseFile(noPcr, analysis));
    EXPECT_EQ(analysis.streamType, kMpeg2Transport);
    EXPECT_EQ(analysis.bitrate, 0u);

    // A single pack.
    const std::string onePack = dir.Write("one.mpg", ProgramStream(kMpeg2Program, 1, 2048, 0, 0));
    EXPECT_EQ(ComputeBitrate(onePack, Mpeg2ProgramScanner()), 0u);

    // More than the transmitter's whole buffer between the first two packs:
    // the estimate reads on.
    Bytes far = Mpeg2PackHeader(0);
    for (int i = 0; i < 3; ++i)
        Append(far, PesPacket(0xE0, Bytes(60000, 0x00)));
    Append(far, ProgramStream(kMpeg2Program, 2, 2048, 90000, 1440));
    ASSERT_GT(far.size(), kReadBufferSize);
    const std::string farPath = dir.Write("far.mpg", far);
    EXPECT_EQ(ComputeBitrate(farPath, Mpeg2ProgramScanner()),
              BitrateFromTimestamps(far.size() - 2048, 91440));

    // Two packs with the same clock reference.
    const std::string still = dir.Write("still.mpg", ProgramStream(kMpeg1System, 3, 2048, 50, 0));
    EXPECT_EQ(ComputeBitrate(still, Mpeg1SystemScanner()), 0u);
}

TEST(BitrateEstimate, ClockJumpsBackwardsAndWraps)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    // Two streams joined: the second one's clock starts again near 0.
    Bytes joined = ProgramStream(kMpeg2Program, 4, 2048, 500000, 1440);
    const std::size_t joint = joined.size();
    Append(joined, ProgramStream(kMpeg2Program, 4, 2048, 0, 1440));
    const std::vector<TimestampHit> hits = AllTimestamps(Mpeg2ProgramScanner(), joined);
    ASSERT_EQ(hits.size(), 8u);
    for (std::size_t i = 1; i < hits.size(); ++i) {
        const std::int64_t diff = TimestampDifference(hits[i].ticks, hits[i - 1].ticks);
        if (hits[i].position == joint)
            EXPECT_LT(diff, 0);
        else
            EXPECT_EQ(diff, 1440);
    }

    // The estimate's span ends before the step back.
    EXPECT_EQ(ComputeBitrate(dir.Write("joined.mpg", joined), Mpeg2ProgramScanner()), 1024000u);

    // The estimate refuses a first step backwards.
    Bytes backwards = ProgramStream(kMpeg2Program, 1, 2048, 500000, 0);
    Append(backwards, ProgramStream(kMpeg2Program, 2, 2048, 0, 1440));
    EXPECT_EQ(ComputeBitrate(dir.Write("back.mpg", backwards), Mpeg2ProgramScanner()), 0u);

    // A clock that wraps past 2^33 - 1 is still 1440 ticks per pack.
    const std::string wrapping =
        dir.Write("wrap.mpg", ProgramStream(kMpeg1System, 3, 2048, kMaxTimestamp - 100, 1440));
    EXPECT_EQ(ComputeBitrate(wrapping, Mpeg1SystemScanner()), 1024000u);
    const std::string wrappingTs =
        dir.Write("wrap.ts", TransportStream(12, 5, kMaxTimestamp - 100, 900));
    EXPECT_EQ(ComputeBitrate(wrappingTs, Mpeg2TransportScanner()), 752000u);
}

// Packet data that happens to look like a pack header or a PCR packet is not
// taken for one.
TEST(TimestampScan, StartCodeLookAlikesInPacketData)
{
    // A fake MPEG-2 pack header (with clock reference 12345678) inside the
    // video packet of the first pack.
    Bytes payload(2000, 0x11);
    Bytes fake = Mpeg2PackHeader(12345678);
    std::copy(fake.begin(), fake.end(), payload.begin() + 500);
    Bytes ps = Mpeg2PackHeader(90000, 3);
    Append(ps, PesPacket(0xE0, payload));
    Append(ps, PesPacket(0xC0, Bytes(100, 0x22)));
    const std::size_t second = ps.size();
    Append(ps, Mpeg2PackHeader(90000 + 1440));
    Append(ps, PesPacket(0xE0, Bytes(500, 0x33)));
    Append(ps, {0, 0, 1, 0xB9});

    Mpeg2ProgramScanner ps2;
    const auto first = ps2.FindFirstTimestamp(ps);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->position, 0u);
    EXPECT_EQ(first->ticks, 90000u);
    const auto next = ps2.FindNextTimestamp(ps, first->position);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->position, second);
    EXPECT_EQ(next->ticks, 90000u + 1440);
    EXPECT_FALSE(ps2.FindNextTimestamp(ps, next->position));

    // A PCR packet whose data holds a sync byte with another one 188 bytes on
    // (in the next packet), the first followed by a fake PCR packet header.
    Bytes ts = TransportStream(10, 5, 1000, 900);
    Bytes fakeTs = TransportPacket(0x100, 777777);
    fakeTs.resize(12);
    std::copy(fakeTs.begin(), fakeTs.end(), ts.begin() + 40);
    ts[40 + kTransportPacketSize] = 0x47;
    Mpeg2TransportScanner tss;
    const std::vector<TimestampHit> hits = AllTimestamps(tss, ts);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].ticks, 1000u);
    EXPECT_EQ(hits[1].ticks, 1900u);
    EXPECT_EQ(hits[1].position, 5 * kTransportPacketSize + 12);

    // The same with the buffer compacted so that it starts just before the
    // current position (the packet's start is gone).
    const Bytes tail(ts.begin() + 10, ts.end());
    const auto resumed = tss.FindNextTimestamp(tail, hits[0].position - 10);
    ASSERT_TRUE(resumed);
    EXPECT_EQ(resumed->ticks, 1900u);

    // A file with the look-alike still gives the right rate.
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    EXPECT_EQ(ComputeBitrate(dir.Write("fake.ts", ts), tss), 752000u);
}

TEST(TimestampScan, IncompleteDataIsWaitedFor)
{
    const Bytes stream = ProgramStream(kMpeg2Program, 3, 2048, 0, 1440);
    Mpeg2ProgramScanner scanner;
    // The next pack header's clock bytes are not all there yet.
    for (std::size_t cut : {2048u, 2050u, 2056u}) {
        const std::span<const std::uint8_t> part(stream.data(), cut);
        EXPECT_FALSE(scanner.FindNextTimestamp(part, 0)) << cut;
    }
    const std::span<const std::uint8_t> enough(stream.data(), 2048 + 9);
    ASSERT_TRUE(scanner.FindNextTimestamp(enough, 0));
    EXPECT_EQ(scanner.FindNextTimestamp(enough, 0)->ticks, 1440u);

    // Positions at or past the end find nothing; so do buffers too short.
    EXPECT_FALSE(scanner.FindNextTimestamp(stream, stream.size()));
    EXPECT_FALSE(scanner.FindNextTimestamp(stream, stream.size() + 100));
    EXPECT_FALSE(scanner.FindFirstTimestamp(std::span(stream.data(), 8)));
    EXPECT_TRUE(scanner.FindFirstTimestamp(std::span(stream.data(), 9)));
    Mpeg2TransportScanner ts;
    const Bytes packets = TransportStream(2, 1, 0, 900);
    EXPECT_FALSE(ts.FindFirstTimestamp(std::span(packets.data(), 188)));
    EXPECT_TRUE(ts.FindFirstTimestamp(std::span(packets.data(), 189)));
    EXPECT_FALSE(ts.FindNextTimestamp(packets, packets.size()));
}

// ---- Files that cannot be read ----------------------------------------------

TEST(FileAccess, MissingFileIsReportedAndLogged)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string log = dir.File("debug.log");
    QvSetDebugFile(log.c_str());
    const std::string missing = dir.File("missing.mpg");

    int type = -7;
    EXPECT_FALSE(DetectStreamType(missing, type));
    EXPECT_EQ(type, -7);
    std::uint64_t size = 99;
    EXPECT_EQ(ComputeBitrate(missing, Mpeg1SystemScanner(), &size), 0u);
    EXPECT_EQ(size, 99u);
    FileAnalysis analysis;
    EXPECT_FALSE(AnalyseFile(missing, analysis));
    // A directory is no file either.
    EXPECT_FALSE(DetectStreamType(dir.File(""), type));
    QvCloseLogFiles();

    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string line = "Failed to open: " + missing + "\n";
    EXPECT_EQ(text.find(line), 0u) << text;
    EXPECT_NE(text.find(line, line.size()), std::string::npos) << text;
}

TEST(FileAccess, SizesBeyondFourGigabytes)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.Write("big.mpg", ProgramStream(kMpeg2Program, 3, 2048, 0, 1440));
    const std::uint64_t size = (std::uint64_t{5} << 30) + 123;
    std::error_code ec;
    std::filesystem::resize_file(path, size, ec); // sparse on every usual file system
    if (ec)
        GTEST_SKIP() << "cannot make a large sparse file here: " << ec.message();
    FileAnalysis analysis;
    ASSERT_TRUE(AnalyseFile(path, analysis));
    EXPECT_EQ(analysis.fileSize, size);
    EXPECT_EQ(analysis.bitrate, 1024000u);
    EXPECT_EQ(analysis.streamType, kMpeg2Program);
}

TEST(FileAccess, ReaderFillsBlocksAndRewinds)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    Bytes data(kReadBlockSize + 100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    const std::string path = dir.Write("data.bin", data);

    MpegFileReader reader;
    Bytes block(kReadBlockSize);
    EXPECT_TRUE(reader.Read(block).failed); // not open
    ASSERT_TRUE(reader.Open(path));
    EXPECT_EQ(reader.Size(), data.size());
    auto r = reader.Read(block);
    EXPECT_EQ(r.bytes, kReadBlockSize);
    EXPECT_FALSE(r.endOfFile);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), data.begin()));
    r = reader.Read(block);
    EXPECT_EQ(r.bytes, 100u);
    EXPECT_TRUE(r.endOfFile);
    EXPECT_FALSE(r.failed);
    ASSERT_TRUE(reader.Rewind());
    r = reader.Read(std::span(block).first(10));
    EXPECT_EQ(r.bytes, 10u);
    EXPECT_EQ(block[9], data[9]);
    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_FALSE(reader.Rewind());
}

} // namespace
