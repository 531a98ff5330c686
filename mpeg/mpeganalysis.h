#pragma once
// MPEG stream analysis: stream-type detection, clock-reference decoding and
// scanning, and the bit-rate estimate of a file.
//
// Three stream types are told apart: MPEG-1 system streams and MPEG-2
// program streams (pack headers 00 00 01 BA carrying a system clock
// reference) and MPEG-2 transport streams (188-byte packets starting with
// 0x47, some carrying a program clock reference in their adaptation field).
// All clock references are 33-bit counts of a 90 kHz clock; the 27 MHz
// extensions of MPEG-2 are not used.
//
// Nothing here touches a socket. The transmitter paces a file by these
// clock references, and the file list shows each file's type and bit rate.
// The scanners are stateless: the caller keeps its buffer and its positions
// and asks for the first clock reference of a buffer, then for the one after
// a given position, again and again as the buffer fills. No scan reads
// outside the buffer it is given, whatever the bytes in it say.

#include "core/mpegsyntax/bytes.h"
#include "core/mpegsyntax/ts.h"
#include "platform/file.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace qvmpeg {

// Stream types, numbered as the rest of the system stores them.
enum StreamType : int {
    kMpeg1System = 1,
    kMpeg2Program = 2,
    kMpeg2Transport = 3,
    kUnknownStream = 4,
};

// Size of one read from a file, and of the buffer that the transmitter
// appends those reads to.
inline constexpr std::size_t kReadBlockSize = 32768;
inline constexpr std::size_t kReadBufferSize = 131072;

inline constexpr std::size_t kTransportPacketSize = mpegsyntax::kTsPacketSize;

// Clock references count modulo 2^33 at 90 kHz.
inline constexpr std::uint64_t kTimestampModulus = mpegsyntax::kClockModulus;
inline constexpr std::uint64_t kTicksPerSecond = 90000;

// The five bytes of a clock reference: the bytes right after a pack
// header's start code, or bytes 6..10 of a transport packet.
using ClockBytes = mpegsyntax::ClockField;

// The system clock reference of an MPEG-1 pack header (marker bits ignored).
std::uint64_t DecodeMpeg1Scr(ClockBytes b);
// The 33-bit base of an MPEG-2 pack header's system clock reference (marker
// bits and the extension ignored).
std::uint64_t DecodeMpeg2ScrBase(ClockBytes b);
// The 33-bit base of a transport packet's program clock reference (the
// reserved bits and the extension ignored).
std::uint64_t DecodePcrBase(ClockBytes b);

// later - earlier in ticks, taken modulo 2^33 and read as a signed number in
// [-2^32, 2^32). A clock reference that wrapped past 2^33 - 1 gives a small
// positive difference; one that jumped backwards (two streams joined, or a
// clock restarted) gives a negative one.
std::int64_t TimestampDifference(std::uint64_t later, std::uint64_t earlier);

// Milliseconds as 90 kHz ticks, in 64 bits (no wrap for half a million years).
inline constexpr std::uint64_t MillisecondsToTicks(std::uint64_t ms)
{
    return ms * (kTicksPerSecond / 1000);
}

// Bits per second of `bytes` sent over `ticks` 90 kHz ticks, truncated;
// 0 when ticks is not positive. Saturates instead of overflowing.
std::uint64_t BitrateFromTimestamps(std::uint64_t bytes, std::int64_t ticks);

// A clock reference found in a buffer.
struct TimestampHit
{
    // Offset in the buffer up to which the bytes belong before this clock
    // reference: the start of its pack header in a program stream, the end
    // of its PCR (packet start + 12) in a transport stream.
    std::size_t position = 0;
    // The decoded 33-bit value in 90 kHz ticks.
    std::uint64_t ticks = 0;
    // Which clock it belongs to: the PID of its transport packet (each
    // program of a transport stream may run a clock of its own); 0 in a
    // program stream, which has one clock.
    std::uint16_t clock = 0;
};

// Finds and decodes the clock references of one stream type.
class TimestampScanner
{
public:
    virtual ~TimestampScanner() = default;

    virtual int StreamType() const = 0;

    // The 90 kHz value of the five clock-reference bytes.
    virtual std::uint64_t DecodeTimestamp(ClockBytes bytes) const = 0;

    // The first clock reference of the buffer, searched from its start.
    virtual std::optional<TimestampHit>
    FindFirstTimestamp(std::span<const std::uint8_t> buf) const = 0;

    // The clock reference after the one whose hit position is `current`.
    // The result lies behind `current`; nothing is found when `current` is
    // past the end of the buffer or the next clock reference is not (yet)
    // wholly in it.
    virtual std::optional<TimestampHit> FindNextTimestamp(std::span<const std::uint8_t> buf,
                                                          std::size_t current) const = 0;
};

// Program streams: clock references in pack headers. The search for the next
// pack header walks the packets behind the current one by their length
// fields, so start-code look-alikes inside packet data are stepped over; where
// the bytes do not parse as packets it falls back to a byte-by-byte search.
class ProgramStreamScanner : public TimestampScanner
{
public:
    std::optional<TimestampHit>
    FindFirstTimestamp(std::span<const std::uint8_t> buf) const override;
    std::optional<TimestampHit> FindNextTimestamp(std::span<const std::uint8_t> buf,
                                                  std::size_t current) const override;

private:
    std::optional<TimestampHit> SearchPackHeader(std::span<const std::uint8_t> buf,
                                                 std::size_t from) const;
};

class Mpeg1SystemScanner final : public ProgramStreamScanner
{
public:
    int StreamType() const override { return kMpeg1System; }
    std::uint64_t DecodeTimestamp(ClockBytes bytes) const override;
};

class Mpeg2ProgramScanner final : public ProgramStreamScanner
{
public:
    int StreamType() const override { return kMpeg2Program; }
    std::uint64_t DecodeTimestamp(ClockBytes bytes) const override;
};

// Transport streams: clock references in 188-byte packets whose adaptation
// field carries a PCR. Once in step with the packets the search moves a whole
// packet at a time, so sync-byte look-alikes inside packet data are stepped
// over; out of step it moves a byte at a time until two sync bytes lie 188
// bytes apart.
class Mpeg2TransportScanner final : public TimestampScanner
{
public:
    int StreamType() const override { return kMpeg2Transport; }
    std::uint64_t DecodeTimestamp(ClockBytes bytes) const override;
    std::optional<TimestampHit>
    FindFirstTimestamp(std::span<const std::uint8_t> buf) const override;
    std::optional<TimestampHit> FindNextTimestamp(std::span<const std::uint8_t> buf,
                                                  std::size_t current) const override;

private:
    std::optional<TimestampHit> SearchPcr(std::span<const std::uint8_t> buf,
                                          std::size_t from) const;
};

// The scanner of a stream type; null for kUnknownStream and any other value.
std::unique_ptr<TimestampScanner> MakeTimestampScanner(int streamType);

// The stream type of a file's first bytes. Scanning from the start, the first
// hit decides: a pack header followed by 0x2? is MPEG-1 system, one followed
// by binary 01?????? is MPEG-2 program (other pack headers are passed over),
// and a 0x47 byte with another 0x47 188 bytes further is a transport stream.
// Only positions with 188 bytes behind them are looked at, so 188 bytes or
// fewer are kUnknownStream.
int ClassifyStreamHead(std::span<const std::uint8_t> head);

// Reads the first kReadBlockSize bytes of the file (fewer when it is shorter)
// and classifies them. Returns false when the file cannot be opened or read,
// after "Failed to open: <path>" or "Failed to read: <path>" in the debug
// log; true otherwise, with the type (kUnknownStream when unclassified,
// including an empty file) in streamType.
bool DetectStreamType(std::string_view path, int& streamType);

// The bit-rate estimate reads from the start of a file until the clock of
// its first clock reference has run kRateSpanTicks past it, and no further
// than kRateReadLimit bytes. Two clock references a few milliseconds apart
// say little: muxers write their first packs in a burst at a clock that
// barely moves, or a pack's worth of data ahead of its clock, and a fast
// transport stream may carry its second PCR only megabytes on.
inline constexpr std::uint64_t kRateSpanTicks = 4 * kTicksPerSecond;
inline constexpr std::size_t kRateReadLimit = std::size_t{8} << 20;
// A step of the clock backwards, or forwards by more than this, is a break
// (two streams joined, a clock restarted): the span ends before it.
inline constexpr std::int64_t kRateClockBreakTicks = 2 * kTicksPerSecond;

// Estimates the bit rate of the file: the bytes from its first clock
// reference to the last one of the same clock within the span above,
// × 8 × 90000 / the ticks between them, truncated. Files muxed at a constant
// rate give that rate, as between any two of their clock references; others
// give their average over the span. Returns 0 when the file cannot be opened
// or read (with the log lines of DetectStreamType), and when no later clock
// reference of the first one's clock is found before a break, the end of the
// file or the read limit. The file size is stored in *fileSize once the file
// is open.
std::uint64_t ComputeBitrate(std::string_view path, const TimestampScanner& scanner,
                             std::uint64_t* fileSize = nullptr);

// Which files an analysis opens: any file that can be read (a FIFO too,
// waiting for its writer), or regular files only, opened without waiting.
enum class FileKinds {
    Any,
    RegularOnly,
};

// What the file list needs to know about a file.
struct FileAnalysis
{
    int streamType = kUnknownStream;
    std::uint64_t fileSize = 0;
    // Bits per second; 0 for an unknown type or a failed estimate.
    std::uint64_t bitrate = 0;
};

// DetectStreamType, then ComputeBitrate with the matching scanner. Returns
// false when the file cannot be opened or read for the detection (with
// RegularOnly also when it is not a regular file).
bool AnalyseFile(std::string_view path, FileAnalysis& result, FileKinds kinds = FileKinds::Any);

// A file opened for sequential reading by a system or Windows-style name.
class MpegFileReader
{
public:
    MpegFileReader() = default;
    ~MpegFileReader();
    MpegFileReader(const MpegFileReader&) = delete;
    MpegFileReader& operator=(const MpegFileReader&) = delete;

    // Opens an existing file for reading; false when it cannot be opened
    // (a directory cannot, nor anything but a regular file with
    // RegularOnly). An open file is closed first.
    bool Open(std::string_view path, FileKinds kinds = FileKinds::Any);
    void Close();
    bool IsOpen() const { return file_.IsOpen(); }

    // The file's size in bytes when it was opened.
    std::uint64_t Size() const { return size_; }

    // Moves back to the first byte; false on failure.
    bool Rewind();

    // bytes stored at the start of dst, endOfFile when the file ended before
    // dst was full, failed on a read error (bytes says how many came first).
    using ReadResult = qvplat::File::ReadResult;

    // Fills dst from the file. Short reads and interruptions are retried, so
    // fewer bytes than asked for mean the end of the file or an error.
    ReadResult Read(std::span<std::uint8_t> dst);

private:
    qvplat::File file_;
    std::uint64_t size_ = 0;
};

} // namespace qvmpeg
