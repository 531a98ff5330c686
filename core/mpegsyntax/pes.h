#pragma once
// Packets of the system layer (MPEG-1 packets, MPEG-2 PES packets): the
// packet start code 00 00 01 <stream id>, then the 16-bit length of the rest
// of the packet. The system header begins the same way. Accessors take a
// span that begins at the start code.

#include "core/mpegsyntax/startcode.h"

namespace mpegsyntax {

// Start code and length.
inline constexpr std::size_t kPesHeaderSize = 6;

// The byte that ends an MPEG-1 packet header carrying neither time stamps
// nor a buffer size.
inline constexpr std::uint8_t kPes1NoTimestamps = 0x0F;

// Whether the start code `code` is followed by a 16-bit length: the system
// header and every packet (stream ids 0xBC and up) are.
constexpr bool pes_has_length(std::uint8_t code)
{
    return code >= kSystemHeaderCode;
}

// Bytes of the packet after its length field; 0 when the field lies outside
// the span.
constexpr std::uint16_t pes_get_length(ByteView p)
{
    if (p.size() < kPesHeaderSize) {
        return 0;
    }
    return static_cast<std::uint16_t>((p[4] << 8) | p[5]);
}

// Writes the start code for `code` and the length; false, writing nothing,
// when out is shorter than that.
constexpr bool pes_init(MutableByteView out, std::uint8_t code, std::uint16_t length)
{
    if (out.size() < kPesHeaderSize) {
        return false;
    }
    start_code_init(out, code);
    out[4] = static_cast<std::uint8_t>(length >> 8);
    out[5] = static_cast<std::uint8_t>(length);
    return true;
}

} // namespace mpegsyntax
