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
            return TimestampHit{i + kTsPcrEnd, tsaf_get_pcr_base(packet)};
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

    std::vector<std::uint8_t> buffer(kReadBufferSize);
    std::size_t fill = 0;
    std::optional<TimestampHit> first;
    while (fill < buffer.size()) {
        const std::size_t want = std::min(kReadBlockSize, buffer.size() - fill);
        const MpegFileReader::ReadResult read = file.Read(std::span(buffer).subspan(fill, want));
        if (read.failed) {
            LogReadFailure(path);
            return 0;
        }
        fill += read.bytes;
        const auto data = std::span<const std::uint8_t>(buffer).first(fill);
        if (!first)
            first = scanner.FindFirstTimestamp(data);
        if (first) {
            if (const auto next = scanner.FindNextTimestamp(data, first->position)) {
                return BitrateFromTimestamps(next->position - first->position,
                                             TimestampDifference(next->ticks, first->ticks));
            }
        }
        if (read.endOfFile)
            return 0;
    }
    return 0;
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
