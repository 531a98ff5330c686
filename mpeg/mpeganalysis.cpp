#include "mpeg/mpeganalysis.h"

#include "core/settings/qvlog.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace qvmpeg {

namespace {

constexpr std::uint8_t kPackStartCode = 0xBA;
constexpr std::uint8_t kProgramEndCode = 0xB9;
// Stream ids from the system header (0xBB) up are followed by a 16-bit
// length of the rest of the packet.
constexpr std::uint8_t kFirstLengthPrefixedId = 0xBB;

// A pack header hit needs its start code and the five clock bytes after it.
constexpr std::size_t kPackClockOffset = 4;
constexpr std::size_t kPackHitBytes = kPackClockOffset + 5;

constexpr std::size_t kMpeg1PackHeaderSize = 12;
constexpr std::size_t kMpeg2PackHeaderSize = 14;

constexpr std::uint8_t kSyncByte = 0x47;
constexpr std::size_t kPcrOffset = 6;
// The bytes of a PCR packet that go with the clock reference: header,
// adaptation length and flags, PCR.
constexpr std::size_t kPcrHitOffset = 12;
// Adaptation field bytes that a PCR needs: the flags byte and six PCR bytes.
constexpr std::uint8_t kMinPcrAdaptationLength = 7;

std::uint64_t Bits(std::uint8_t byte, unsigned mask, int shift)
{
    const std::uint64_t value = byte & mask;
    return shift >= 0 ? value << shift : value >> -shift;
}

ClockBytes ClockAt(std::span<const std::uint8_t> buf, std::size_t offset)
{
    return buf.subspan(offset).first<5>();
}

bool HasStartCodePrefix(std::span<const std::uint8_t> buf, std::size_t i)
{
    return i + 4 <= buf.size() && buf[i] == 0 && buf[i + 1] == 0 && buf[i + 2] == 1;
}

bool IsPackStart(std::span<const std::uint8_t> buf, std::size_t i)
{
    return HasStartCodePrefix(buf, i) && buf[i + 3] == kPackStartCode;
}

// The layout of a pack header, told by the bits after its start code.
enum class PackKind {
    Mpeg1,
    Mpeg2,
    Other,
};

PackKind KindOfPack(std::uint8_t firstClockByte)
{
    if ((firstClockByte & 0xF0) == 0x20)
        return PackKind::Mpeg1;
    if ((firstClockByte & 0xC0) == 0x40)
        return PackKind::Mpeg2;
    return PackKind::Other;
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
bool DetectFile(std::string_view path, int& streamType, std::uint64_t& fileSize)
{
    MpegFileReader file;
    if (!file.Open(path)) {
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
    return Bits(b[0], 0x0E, 29) | Bits(b[1], 0xFF, 22) | Bits(b[2], 0xFE, 14) |
           Bits(b[3], 0xFF, 7) | Bits(b[4], 0xFE, -1);
}

std::uint64_t DecodeMpeg2ScrBase(ClockBytes b)
{
    return Bits(b[0], 0x38, 27) | Bits(b[0], 0x03, 28) | Bits(b[1], 0xFF, 20) |
           Bits(b[2], 0xF8, 12) | Bits(b[2], 0x03, 13) | Bits(b[3], 0xFF, 5) | Bits(b[4], 0xF8, -3);
}

std::uint64_t DecodePcrBase(ClockBytes b)
{
    return Bits(b[0], 0xFF, 25) | Bits(b[1], 0xFF, 17) | Bits(b[2], 0xFF, 9) | Bits(b[3], 0xFF, 1) |
           Bits(b[4], 0x80, -7);
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
        if (IsPackStart(buf, i))
            return TimestampHit{i, DecodeTimestamp(ClockAt(buf, i + kPackClockOffset))};
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
    if (!IsPackStart(buf, current) || current + kPackClockOffset >= size)
        return SearchPackHeader(buf, current + kPackClockOffset);

    // Step over the current pack header.
    std::size_t pos = current;
    switch (KindOfPack(buf[current + kPackClockOffset])) {
    case PackKind::Mpeg1:
        pos += kMpeg1PackHeaderSize;
        break;
    case PackKind::Mpeg2:
        if (current + kMpeg2PackHeaderSize > size)
            return std::nullopt;
        pos += kMpeg2PackHeaderSize + (buf[current + kMpeg2PackHeaderSize - 1] & 0x07);
        break;
    case PackKind::Other:
        return SearchPackHeader(buf, current + kPackClockOffset);
    }

    // Walk the packets of the pack by their lengths up to the next pack.
    while (pos < size && size - pos >= 4) {
        if (!HasStartCodePrefix(buf, pos))
            return SearchPackHeader(buf, pos);
        const std::uint8_t id = buf[pos + 3];
        if (id == kPackStartCode) {
            if (size - pos < kPackHitBytes)
                return std::nullopt;
            return TimestampHit{pos, DecodeTimestamp(ClockAt(buf, pos + kPackClockOffset))};
        }
        if (id == kProgramEndCode) {
            pos += 4;
        } else if (id >= kFirstLengthPrefixedId) {
            if (size - pos < 6)
                return std::nullopt;
            pos += 6 + (static_cast<std::size_t>(buf[pos + 4]) << 8 | buf[pos + 5]);
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
    while (i < size && size - i > kTransportPacketSize) {
        if (buf[i] != kSyncByte || buf[i + kTransportPacketSize] != kSyncByte) {
            ++i;
            continue;
        }
        const bool hasAdaptation = (buf[i + 3] & 0x20) != 0;
        if (hasAdaptation && buf[i + 4] >= kMinPcrAdaptationLength && (buf[i + 5] & 0x10) != 0)
            return TimestampHit{i + kPcrHitOffset, DecodeTimestamp(ClockAt(buf, i + kPcrOffset))};
        i += kTransportPacketSize;
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
    constexpr std::size_t kRestOfPacket = kTransportPacketSize - kPcrHitOffset;
    std::size_t from = current;
    if (size - current > kRestOfPacket && buf[current + kRestOfPacket] == kSyncByte)
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
    for (std::size_t i = 0; i + kTransportPacketSize < head.size(); ++i) {
        if (IsPackStart(head, i)) {
            switch (KindOfPack(head[i + kPackClockOffset])) {
            case PackKind::Mpeg1:
                return kMpeg1System;
            case PackKind::Mpeg2:
                return kMpeg2Program;
            case PackKind::Other:
                break;
            }
        } else if (head[i] == kSyncByte && head[i + kTransportPacketSize] == kSyncByte) {
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

std::uint64_t ComputeBitrate(std::string_view path, const TimestampScanner& scanner,
                             std::uint64_t* fileSize)
{
    MpegFileReader file;
    if (!file.Open(path)) {
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

bool AnalyseFile(std::string_view path, FileAnalysis& result)
{
    result = FileAnalysis{};
    if (!DetectFile(path, result.streamType, result.fileSize))
        return false;
    if (const auto scanner = MakeTimestampScanner(result.streamType))
        result.bitrate = ComputeBitrate(path, *scanner, &result.fileSize);
    return true;
}

} // namespace qvmpeg
