#pragma once
// MPEG start codes: the prefix 00 00 01 and the code byte after it, which
// mark the sequence headers and groups of pictures of the video layer and
// the pack headers, system headers and packets of the system layer.
//
// A start code counts only when all four of its bytes lie inside the span.

#include "core/mpegsyntax/bytes.h"

#include <algorithm>
#include <optional>

namespace mpegsyntax {

inline constexpr std::size_t kStartCodeSize = 4;

// Video layer.
inline constexpr std::uint8_t kSequenceHeaderCode = 0xB3;
inline constexpr std::uint8_t kGroupStartCode = 0xB8;

// System layer.
inline constexpr std::uint8_t kProgramEndCode = 0xB9;
inline constexpr std::uint8_t kPackStartCode = 0xBA;
inline constexpr std::uint8_t kSystemHeaderCode = 0xBB;
// Packet start codes carry the stream id; these are the ones used here.
inline constexpr std::uint8_t kStreamPadding = 0xBE;  // padding stream
inline constexpr std::uint8_t kStreamAudio0 = 0xC0;   // first MPEG audio stream
inline constexpr std::uint8_t kStreamVideo0 = 0xE0;   // first MPEG video stream

// Whether p begins with 00 00 01 followed by a code byte.
constexpr bool start_code_prefix(ByteView p)
{
    return p.size() >= kStartCodeSize && p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01;
}

// Whether p begins with the start code 00 00 01 `code`.
constexpr bool start_code_is(ByteView p, std::uint8_t code)
{
    return start_code_prefix(p) && p[3] == code;
}

// Writes the start code 00 00 01 `code`; false, writing nothing, when out
// is shorter than that.
constexpr bool start_code_init(MutableByteView out, std::uint8_t code)
{
    if (out.size() < kStartCodeSize) {
        return false;
    }
    out[0] = 0x00;
    out[1] = 0x00;
    out[2] = 0x01;
    out[3] = code;
    return true;
}

// Offset of the first start code `code` at or after `from`.
constexpr std::optional<std::size_t> start_code_find(ByteView p, std::uint8_t code,
                                                     std::size_t from = 0)
{
    for (std::size_t i = from; i < p.size() && p.size() - i >= kStartCodeSize; ++i) {
        if (start_code_is(p.subspan(i), code)) {
            return i;
        }
    }
    return std::nullopt;
}

// Offset of the last start code `code` that begins before `before`.
constexpr std::optional<std::size_t> start_code_rfind(ByteView p, std::uint8_t code,
                                                      std::size_t before)
{
    if (p.size() < kStartCodeSize || before == 0) {
        return std::nullopt;
    }
    for (std::size_t i = std::min(before - 1, p.size() - kStartCodeSize);; --i) {
        if (start_code_is(p.subspan(i), code)) {
            return i;
        }
        if (i == 0) {
            return std::nullopt;
        }
    }
}

} // namespace mpegsyntax
