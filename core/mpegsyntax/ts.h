#pragma once
// Transport stream syntax: 188-byte packets that begin with the sync byte
// 0x47, and the adaptation field with its program clock reference (PCR).
// Accessors take a span that begins at a packet's sync byte.
//
//   0       sync byte 47
//   1-2     error, unit start, priority, PID[12..0]
//   3       scrambling[1..0] adaptation_field_control[1..0] continuity[3..0]
//           (10: adaptation field only, 01: payload only, 11: both)
//   4       adaptation_field_length (the bytes behind it)
//   5       discontinuity, random access, priority, PCR, OPCR, splicing,
//           private data, extension
//   6-11    PCR_base[32..0] reserved[5..0] PCR_ext[8..0]   (when flagged)

#include "core/mpegsyntax/bytes.h"

namespace mpegsyntax {

inline constexpr std::size_t kTsPacketSize = 188;
inline constexpr std::uint8_t kTsSyncByte = 0x47;
inline constexpr std::size_t kTsAdaptationFlagsOffset = 5;
inline constexpr std::size_t kTsPcrOffset = 6;
// The packet's bytes up to the end of the PCR.
inline constexpr std::size_t kTsPcrEnd = 12;

// Whether sync bytes begin `packets` packets in a row at the start of p;
// each sync byte must lie inside the span, the rest of the last packet need
// not.
constexpr bool ts_is_synced(ByteView p, std::size_t packets = 1)
{
    for (std::size_t k = 0; k < packets; ++k) {
        const std::size_t at = k * kTsPacketSize;
        if (at >= p.size() || p[at] != kTsSyncByte) {
            return false;
        }
    }
    return true;
}

// The packet's PID (bytes 1 and 2 must lie inside the span).
constexpr std::uint16_t ts_get_pid(ByteView p)
{
    return static_cast<std::uint16_t>(((p[1] & 0x1Fu) << 8) | p[2]);
}

constexpr bool ts_has_adaptation(ByteView p)
{
    return p.size() > 3 && (p[3] & 0x20u) != 0;
}

constexpr std::uint8_t tsaf_get_length(ByteView p)
{
    return p.size() > 4 ? p[4] : std::uint8_t{0};
}

// Whether the packet's adaptation field is present, long enough for a PCR,
// flags one, and the PCR lies inside the span.
constexpr bool tsaf_has_pcr(ByteView p)
{
    return ts_has_adaptation(p) && tsaf_get_length(p) >= kTsPcrEnd - kTsAdaptationFlagsOffset &&
           p.size() >= kTsPcrEnd && (p[kTsAdaptationFlagsOffset] & 0x10u) != 0;
}

// The PCR base in the first five PCR bytes (reserved bits and extension
// ignored).
constexpr std::uint64_t tsaf_pcr_base_decode(ClockField b)
{
    return (std::uint64_t{b[0]} << 25) | (std::uint64_t{b[1]} << 17) | (std::uint64_t{b[2]} << 9) |
           (std::uint64_t{b[3]} << 1) | (std::uint64_t{b[4]} >> 7);
}

// The PCR base of a packet whose adaptation field carries one (see
// tsaf_has_pcr); 0 when it lies outside the span.
constexpr std::uint64_t tsaf_get_pcr_base(ByteView p)
{
    if (p.size() < kTsPcrOffset + ClockField::extent) {
        return 0;
    }
    return tsaf_pcr_base_decode(p.subspan<kTsPcrOffset, ClockField::extent>());
}

} // namespace mpegsyntax
