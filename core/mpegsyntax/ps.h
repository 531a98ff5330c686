#pragma once
// Program stream syntax (MPEG-1 system streams, MPEG-2 program streams): the
// pack header with its system clock reference (SCR) and mux rate, and the
// system header. Accessors take a span that begins at the start code; they
// do not check it.
//
// MPEG-1 pack header, 12 bytes:
//   4       0010 SCR[32..30] 1
//   5-8     SCR[29..15] 1 SCR[14..0] 1
//   9-11    1 mux_rate[21..0] 1               (units of 50 bytes/s)
// MPEG-2 pack header, 14 bytes and 0 to 7 stuffing bytes:
//   4       01 SCR_base[32..30] 1 SCR_base[29..28]
//   5-8     SCR_base[27..15] 1 SCR_base[14..0] 1 SCR_ext[8..7]
//   9       SCR_ext[6..0] 1
//   10-12   mux_rate[21..0] 1 1
//   13      reserved[4..0] stuffing_length[2..0]
// System header, 12 bytes and 3 per stream:
//   4-5     header_length (the bytes behind it)
//   6-8     1 rate_bound[21..0] 1
//   9       audio_bound[5..0] fixed CSPS
//   10      audio_lock video_lock 1 video_bound[4..0]
//   11      reserved byte, FF
//   each    stream_id, 11 buffer_bound_scale buffer_size_bound[12..0]

#include "core/mpegsyntax/pes.h"

namespace mpegsyntax {

inline constexpr std::size_t kPackScrOffset = kStartCodeSize;
inline constexpr std::size_t kPs1PackSize = 12;
// Without its stuffing bytes.
inline constexpr std::size_t kPs2PackSize = 14;

// Whether the bits after the start code are those of an MPEG-1 pack header.
constexpr bool ps_pack_is_mpeg1(ByteView pack)
{
    return pack.size() > kPackScrOffset && (pack[kPackScrOffset] & 0xF0) == 0x20;
}

// Whether the bits after the start code are those of an MPEG-2 pack header.
constexpr bool ps_pack_is_mpeg2(ByteView pack)
{
    return pack.size() > kPackScrOffset && (pack[kPackScrOffset] & 0xC0) == 0x40;
}

// Bytes of the pack header, stuffing included: 12 for MPEG-1, 14 to 21 for
// MPEG-2; 0 for neither layout, or when an MPEG-2 header's stuffing length
// lies outside the span.
constexpr std::size_t ps_pack_size(ByteView pack)
{
    if (ps_pack_is_mpeg1(pack)) {
        return kPs1PackSize;
    }
    if (ps_pack_is_mpeg2(pack) && pack.size() >= kPs2PackSize) {
        return kPs2PackSize + (pack[kPs2PackSize - 1] & 0x07u);
    }
    return 0;
}

// The SCR in the five bytes after an MPEG-1 pack start code (markers
// ignored).
constexpr std::uint64_t ps1_scr_decode(ClockField b)
{
    return (std::uint64_t{b[0] & 0x0Eu} << 29) | (std::uint64_t{b[1]} << 22) |
           (std::uint64_t{b[2] & 0xFEu} << 14) | (std::uint64_t{b[3]} << 7) |
           (std::uint64_t{b[4]} >> 1);
}

// The SCR base in the five bytes after an MPEG-2 pack start code (markers
// and the extension ignored).
constexpr std::uint64_t ps2_scr_base_decode(ClockField b)
{
    return (std::uint64_t{b[0] & 0x38u} << 27) | (std::uint64_t{b[0] & 0x03u} << 28) |
           (std::uint64_t{b[1]} << 20) | (std::uint64_t{b[2] & 0xF8u} << 12) |
           (std::uint64_t{b[2] & 0x03u} << 13) | (std::uint64_t{b[3]} << 5) |
           (std::uint64_t{b[4]} >> 3);
}

// The SCR of an MPEG-1 pack header; 0 when it lies outside the span.
constexpr std::uint64_t ps1_pack_get_scr(ByteView pack)
{
    if (pack.size() < kPackScrOffset + ClockField::extent) {
        return 0;
    }
    return ps1_scr_decode(pack.subspan<kPackScrOffset, ClockField::extent>());
}

// The mux rate of an MPEG-1 pack header; 0 when it lies outside the span.
constexpr std::uint32_t ps1_pack_get_mux_rate(ByteView pack)
{
    if (pack.size() < kPs1PackSize) {
        return 0;
    }
    return (std::uint32_t{pack[9] & 0x7Fu} << 15) | (std::uint32_t{pack[10]} << 7) |
           (std::uint32_t{pack[11]} >> 1);
}

// Writes an MPEG-1 pack header with every marker bit set (the SCR taken
// modulo 2^33, the mux rate to 22 bits); false, writing nothing, when out is
// shorter than 12 bytes.
constexpr bool ps1_pack_init(MutableByteView out, std::uint64_t scr, std::uint32_t mux_rate)
{
    if (out.size() < kPs1PackSize) {
        return false;
    }
    start_code_init(out, kPackStartCode);
    out[4] = static_cast<std::uint8_t>(0x21u | ((scr >> 29) & 0x0Eu));
    out[5] = static_cast<std::uint8_t>(scr >> 22);
    out[6] = static_cast<std::uint8_t>(((scr >> 14) & 0xFEu) | 0x01u);
    out[7] = static_cast<std::uint8_t>(scr >> 7);
    out[8] = static_cast<std::uint8_t>(((scr << 1) & 0xFEu) | 0x01u);
    out[9] = static_cast<std::uint8_t>(0x80u | ((mux_rate >> 15) & 0x7Fu));
    out[10] = static_cast<std::uint8_t>(mux_rate >> 7);
    out[11] = static_cast<std::uint8_t>(((mux_rate << 1) & 0xFEu) | 0x01u);
    return true;
}

// Flags of a system header.
inline constexpr unsigned kSysFixedRate = 1u << 0;
inline constexpr unsigned kSysConstrained = 1u << 1; // CSPS
inline constexpr unsigned kSysAudioLock = 1u << 2;
inline constexpr unsigned kSysVideoLock = 1u << 3;

inline constexpr std::size_t kSysHeaderFixedSize = 12;
inline constexpr std::size_t kSysHeaderStreamSize = 3;

constexpr std::size_t ps_sysheader_size(std::size_t streams)
{
    return kSysHeaderFixedSize + kSysHeaderStreamSize * streams;
}

// Writes a system header's fixed part for `streams` stream entries (rate
// bound to 22 bits, audio bound to 6, video bound to 5); the entries are
// written by ps_sysheader_set_stream. False, writing nothing, when out is
// shorter than the whole header.
constexpr bool ps_sysheader_init(MutableByteView out, std::size_t streams, std::uint32_t rate_bound,
                                 unsigned audio_bound, unsigned video_bound, unsigned flags)
{
    const std::size_t size = ps_sysheader_size(streams);
    if (out.size() < size || size - kPesHeaderSize > 0xFFFF) {
        return false;
    }
    pes_init(out, kSystemHeaderCode, static_cast<std::uint16_t>(size - kPesHeaderSize));
    out[6] = static_cast<std::uint8_t>(0x80u | ((rate_bound >> 15) & 0x7Fu));
    out[7] = static_cast<std::uint8_t>(rate_bound >> 7);
    out[8] = static_cast<std::uint8_t>(((rate_bound << 1) & 0xFEu) | 0x01u);
    out[9] = static_cast<std::uint8_t>(((audio_bound & 0x3Fu) << 2) |
                                       ((flags & kSysFixedRate) != 0 ? 0x02u : 0u) |
                                       ((flags & kSysConstrained) != 0 ? 0x01u : 0u));
    out[10] = static_cast<std::uint8_t>(((flags & kSysAudioLock) != 0 ? 0x80u : 0u) |
                                        ((flags & kSysVideoLock) != 0 ? 0x40u : 0u) | 0x20u |
                                        (video_bound & 0x1Fu));
    out[11] = 0xFF;
    return true;
}

// Writes stream entry `index` of a system header: the stream id and its
// buffer bound of `size_bound` (13 bits) units of 1024 bytes, or of 128
// bytes when scale_1024 is false. False, writing nothing, when the entry
// lies outside out.
constexpr bool ps_sysheader_set_stream(MutableByteView out, std::size_t index,
                                       std::uint8_t stream_id, bool scale_1024, unsigned size_bound)
{
    const std::size_t at = ps_sysheader_size(index);
    if (out.size() < at || out.size() - at < kSysHeaderStreamSize) {
        return false;
    }
    out[at] = stream_id;
    out[at + 1] =
        static_cast<std::uint8_t>(0xC0u | (scale_1024 ? 0x20u : 0u) | ((size_bound >> 8) & 0x1Fu));
    out[at + 2] = static_cast<std::uint8_t>(size_bound);
    return true;
}

} // namespace mpegsyntax
