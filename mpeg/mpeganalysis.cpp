#include "mpeg/mpeganalysis.h"

#include "core/mpegsyntax/ps.h"
#include "core/mpegsyntax/ts.h"
#include "core/settings/qvlog.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace qvmpeg {

namespace {

using namespace mpegsyntax;

// A pack header hit needs its start code and the clock bytes after it.
constexpr std::size_t kPackHitBytes = kPackScrOffset + ClockField::extent;

ClockBytes ClockAt(std::span<const std::uint8_t> buf, std::size_t offset)
{
    return buf.subspan(offset).first<ClockField::extent>();
}

std::string PathText(std::string_view path)
{
    return std::string(path);
}

void LogOpenFailure(std::string_view path)
{
    QvDebugMsg("Failed to open: %s", PathText(path).c_str());
}

void LogReadFailure(std::string_view path)
{
    QvDebugMsg("Failed to read: %s", PathText(path).c_str());
}

// Opens and classifies a file; the size is stored once it is open.
bool DetectFile(std::string_view path, int& streamType, std::uint64_t& fileSize,
                FileKinds kinds = FileKinds::Any)
{
    MpegFileReader file;
    if (!file.Open(path, kinds)) {
        LogOpenFailure(path);
        return false;
    }
    fileSize = file.Size();
    std::vector<std::uint8_t> head(kReadBlockSize);
    const MpegFileReader::ReadResult read = file.Read(head);
    if (read.failed) {
        LogReadFailure(path);
        return false;
    }
    streamType = ClassifyStreamHead(std::span(head).first(read.bytes));
    return true;
}

} // namespace

// ---- Clock references -------------------------------------------------------

std::uint64_t DecodeMpeg1Scr(ClockBytes b)
{
    return ps1_scr_decode(b);
}

std::uint64_t DecodeMpeg2ScrBase(ClockBytes b)
{
    return ps2_scr_base_decode(b);
}

std::uint64_t DecodePcrBase(ClockBytes b)
{
    return tsaf_pcr_base_decode(b);
}

std::int64_t TimestampDifference(std::uint64_t later, std::uint64_t earlier)
{
    const std::uint64_t wrapped = (later - earlier) & (kTimestampModulus - 1);
    const auto diff = static_cast<std::int64_t>(wrapped);
    return wrapped >= kTimestampModulus / 2 ? diff - static_cast<std::int64_t>(kTimestampModulus)
                                            : diff;
}

std::uint64_t BitrateFromTimestamps(std::uint64_t bytes, std::int64_t ticks)
{
    if (ticks <= 0)
        return 0;
    const unsigned __int128 bits = static_cast<unsigned __int128>(bytes) * 8 * kTicksPerSecond;
    const unsigned __int128 rate = bits / static_cast<unsigned __int128>(ticks);
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return rate > max ? max : static_cast<std::uint64_t>(rate);
}

// ---- Program streams --------------------------------------------------------

std::optional<TimestampHit>
ProgramStreamScanner::SearchPackHeader(std::span<const std::uint8_t> buf, std::size_t from) const
{
    for (std::size_t i = from; i + kPackHitBytes <= buf.size(); ++i) {
        if (start_code_is(buf.subspan(i), kPackStartCode))
            return TimestampHit{i, DecodeTimestamp(ClockAt(buf, i + kPackScrOffset))};
    }
    return std::nullopt;
}

std::optional<TimestampHit>
ProgramStreamScanner::FindFirstTimestamp(std::span<const std::uint8_t> buf) const
{
    return SearchPackHeader(buf, 0);
}

std::optional<TimestampHit>
ProgramStreamScanner::FindNextTimestamp(std::span<const std::uint8_t> buf,
                                        std::size_t current) const
{
    const std::size_t size = buf.size();
    if (current >= size)
        return std::nullopt;
    const ByteView pack = buf.subspan(current);
    if (!start_code_is(pack, kPackStartCode) ||
        (!ps_pack_is_mpeg1(pack) && !ps_pack_is_mpeg2(pack)))
        return SearchPackHeader(buf, current + kPackScrOffset);

    // Step over the current pack header.
    const std::size_t packSize = ps_pack_size(pack);
    if (packSize == 0)
        return std::nullopt; // its stuffing length is not in the buffer yet
    std::size_t pos = current + packSize;

    // Walk the packets of the pack by their lengths up to the next pack.
    while (pos < size && size - pos >= kStartCodeSize) {
        const ByteView at = buf.subspan(pos);
        if (!start_code_prefix(at))
            return SearchPackHeader(buf, pos);
        const std::uint8_t code = at[3];
        if (code == kPackStartCode) {
            if (at.size() < kPackHitBytes)
                return std::nullopt;
            return TimestampHit{pos, DecodeTimestamp(ClockAt(buf, pos + kPackScrOffset))};
        }
        if (code == kProgramEndCode) {
            pos += kStartCodeSize;
        } else if (pes_has_length(code)) {
            if (at.size() < kPesHeaderSize)
                return std::nullopt;
            pos += kPesHeaderSize + pes_get_length(at);
        } else {
            return SearchPackHeader(buf, pos);
        }
    }
    // The next packet or pack header is not wholly in the buffer yet.
    return std::nullopt;
}

std::uint64_t Mpeg1SystemScanner::DecodeTimestamp(ClockBytes bytes) const
{
    return DecodeMpeg1Scr(bytes);
}

std::uint64_t Mpeg2ProgramScanner::DecodeTimestamp(ClockBytes bytes) const
{
    return DecodeMpeg2ScrBase(bytes);
}

// ---- Transport streams ------------------------------------------------------

std::uint64_t Mpeg2TransportScanner::DecodeTimestamp(ClockBytes bytes) const
{
    return DecodePcrBase(bytes);
}

std::optional<TimestampHit> Mpeg2TransportScanner::SearchPcr(std::span<const std::uint8_t> buf,
                                                             std::size_t from) const
{
    const std::size_t size = buf.size();
    std::size_t i = from;
    // A packet counts only when the next one's sync byte is in the buffer too.
    while (i < size && size - i > kTsPacketSize) {
        const ByteView packet = buf.subspan(i);
        if (!ts_is_synced(packet, 2)) {
            ++i;
            continue;
        }
        if (tsaf_has_pcr(packet))
            return TimestampHit{i + kTsPcrEnd, tsaf_get_pcr_base(packet), ts_get_pid(packet)};
        i += kTsPacketSize;
    }
    return std::nullopt;
}

std::optional<TimestampHit>
Mpeg2TransportScanner::FindFirstTimestamp(std::span<const std::uint8_t> buf) const
{
    return SearchPcr(buf, 0);
}

std::optional<TimestampHit>
Mpeg2TransportScanner::FindNextTimestamp(std::span<const std::uint8_t> buf,
                                         std::size_t current) const
{
    const std::size_t size = buf.size();
    if (current >= size)
        return std::nullopt;
    // `current` lies 12 bytes into the packet of the last PCR; in step, the
    // next packet starts 176 bytes further. The bytes between are that
    // packet's own data and are not searched for sync bytes.
    constexpr std::size_t kRestOfPacket = kTsPacketSize - kTsPcrEnd;
    std::size_t from = current;
    if (size - current > kRestOfPacket && ts_is_synced(buf.subspan(current + kRestOfPacket)))
        from = current + kRestOfPacket;
    return SearchPcr(buf, from);
}

std::unique_ptr<TimestampScanner> MakeTimestampScanner(int streamType)
{
    switch (streamType) {
    case kMpeg1System:
        return std::make_unique<Mpeg1SystemScanner>();
    case kMpeg2Program:
        return std::make_unique<Mpeg2ProgramScanner>();
    case kMpeg2Transport:
        return std::make_unique<Mpeg2TransportScanner>();
    default:
        return nullptr;
    }
}

// ---- Files ------------------------------------------------------------------

int ClassifyStreamHead(std::span<const std::uint8_t> head)
{
    for (std::size_t i = 0; i + kTsPacketSize < head.size(); ++i) {
        const ByteView at = head.subspan(i);
        if (start_code_is(at, kPackStartCode)) {
            if (ps_pack_is_mpeg1(at))
                return kMpeg1System;
            if (ps_pack_is_mpeg2(at))
                return kMpeg2Program;
        } else if (ts_is_synced(at, 2)) {
            return kMpeg2Transport;
        }
    }
    return kUnknownStream;
}

bool DetectStreamType(std::string_view path, int& streamType)
{
    std::uint64_t fileSize = 0;
    return DetectFile(path, streamType, fileSize);
}

namespace {

std::uint64_t EstimateBitrate(std::string_view path, const TimestampScanner& scanner,
                              std::uint64_t* fileSize, FileKinds kinds)
{
    MpegFileReader file;
    if (!file.Open(path, kinds)) {
        LogOpenFailure(path);
        return 0;
    }
    if (fileSize != nullptr)
        *fileSize = file.Size();

    // The buffer keeps the bytes from the last clock reference found on, so
    // that the next search can start there; `base` is the file offset of
    // its first byte.
    std::vector<std::uint8_t> buffer;
    buffer.reserve(kReadBufferSize);
    std::uint64_t base = 0;
    std::uint64_t readBytes = 0;
    std::optional<TimestampHit> first; // positions in file offsets
    std::optional<TimestampHit> last;  // the end of the span so far
    std::size_t from = 0;              // buffer offset of the last hit of any clock

    const auto result = [&]() -> std::uint64_t {
        if (!first || !last)
            return 0;
        return BitrateFromTimestamps(last->position - first->position,
                                     TimestampDifference(last->ticks, first->ticks));
    };

    while (readBytes < kRateReadLimit) {
        // Every read is searched from the last hit on; where none comes for
        // long, reads double so that those searches stay linear overall.
        const std::size_t fill = buffer.size();
        const std::size_t want =
            std::min<std::uint64_t>(std::max(kReadBlockSize, fill), kRateReadLimit - readBytes);
        buffer.resize(fill + want);
        const MpegFileReader::ReadResult read = file.Read(std::span(buffer).subspan(fill, want));
        buffer.resize(fill + read.bytes);
        readBytes += read.bytes;
        if (read.failed) {
            LogReadFailure(path);
            return 0;
        }
        const auto data = std::span<const std::uint8_t>(buffer);
        std::optional<TimestampHit> hit;
        if (!first) {
            hit = scanner.FindFirstTimestamp(data);
            if (hit) {
                first = TimestampHit{base + hit->position, hit->ticks, hit->clock};
                from = hit->position;
                hit = scanner.FindNextTimestamp(data, from);
            }
        } else {
            hit = scanner.FindNextTimestamp(data, from);
        }
        for (; hit; hit = scanner.FindNextTimestamp(data, from)) {
            from = hit->position;
            if (hit->clock != first->clock)
                continue; // another program's clock
            const TimestampHit& previous = last ? *last : *first;
            const std::int64_t step = TimestampDifference(hit->ticks, previous.ticks);
            if (step < 0 || step > kRateClockBreakTicks)
                return result();
            last = TimestampHit{base + hit->position, hit->ticks, hit->clock};
            if (TimestampDifference(last->ticks, first->ticks) >=
                static_cast<std::int64_t>(kRateSpanTicks))
                return result();
        }
        if (read.endOfFile)
            break;
        // Keep the bytes from the last hit on; without one yet, all of them.
        if (first && from > 0) {
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(from));
            base += from;
            from = 0;
        }
    }
    return result();
}

} // namespace

std::uint64_t ComputeBitrate(std::string_view path, const TimestampScanner& scanner,
                             std::uint64_t* fileSize)
{
    return EstimateBitrate(path, scanner, fileSize, FileKinds::Any);
}

bool AnalyseFile(std::string_view path, FileAnalysis& result, FileKinds kinds)
{
    result = FileAnalysis{};
    if (!DetectFile(path, result.streamType, result.fileSize, kinds))
        return false;
    if (const auto scanner = MakeTimestampScanner(result.streamType))
        result.bitrate = EstimateBitrate(path, *scanner, &result.fileSize, kinds);
    return true;
}

} // namespace qvmpeg
