#pragma once
// Types shared by the MPEG syntax accessors of this folder.
//
// The accessors read MPEG system and video syntax straight out of received
// or file bytes. Each takes the bytes it may look at as a span and never
// reads outside it, whatever the bytes say; a field that does not lie wholly
// inside reads as 0 (or false). They allocate nothing and hold no state.

#include <cstddef>
#include <cstdint>
#include <span>

namespace mpegsyntax {

using ByteView = std::span<const std::uint8_t>;
using MutableByteView = std::span<std::uint8_t>;

// The five bytes that carry a 33-bit clock reference with its marker bits:
// a pack header's system clock reference, a transport packet's program clock
// reference base.
using ClockField = std::span<const std::uint8_t, 5>;

// Clock references count a 90 kHz clock modulo 2^33.
inline constexpr std::uint64_t kClockModulus = std::uint64_t{1} << 33;

} // namespace mpegsyntax
