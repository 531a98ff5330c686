#pragma once
// The bound of every MPEG syntax getter, checked on the prefixes of an
// input; shared by the table tests and the fuzz target.

#include "core/mpegsyntax/ps.h"
#include "core/mpegsyntax/ts.h"

#include <algorithm>
#include <vector>

namespace mpegsyntax::check {

// A getter read as a number. With fewer than `least` bytes it must read 0;
// with `most` bytes or more it must read what it reads from the whole input;
// in between it reads either.
struct Getter
{
    const char* name;
    std::size_t least;
    std::size_t most;
    std::uint64_t (*read)(ByteView);
};

inline constexpr Getter kGetters[] = {
    {"start_code_prefix", 4, 4, [](ByteView p) -> std::uint64_t { return start_code_prefix(p); }},
    {"ps_pack_is_mpeg1", 5, 5, [](ByteView p) -> std::uint64_t { return ps_pack_is_mpeg1(p); }},
    {"ps_pack_is_mpeg2", 5, 5, [](ByteView p) -> std::uint64_t { return ps_pack_is_mpeg2(p); }},
    {"ps_pack_size", 5, 14, [](ByteView p) -> std::uint64_t { return ps_pack_size(p); }},
    {"ps1_pack_get_scr", 9, 9, [](ByteView p) -> std::uint64_t { return ps1_pack_get_scr(p); }},
    {"ps1_pack_get_mux_rate", 12, 12,
     [](ByteView p) -> std::uint64_t { return ps1_pack_get_mux_rate(p); }},
    {"pes_get_length", 6, 6, [](ByteView p) -> std::uint64_t { return pes_get_length(p); }},
    {"ts_is_synced(2)", kTsPacketSize + 1, kTsPacketSize + 1,
     [](ByteView p) -> std::uint64_t { return ts_is_synced(p, 2); }},
    {"ts_has_adaptation", 4, 4, [](ByteView p) -> std::uint64_t { return ts_has_adaptation(p); }},
    {"tsaf_get_length", 5, 5, [](ByteView p) -> std::uint64_t { return tsaf_get_length(p); }},
    {"tsaf_has_pcr", 12, 12, [](ByteView p) -> std::uint64_t { return tsaf_has_pcr(p); }},
    {"tsaf_get_pcr_base", 11, 11, [](ByteView p) -> std::uint64_t { return tsaf_get_pcr_base(p); }},
};

// The name of the first getter that breaks its bound on a prefix of p, or
// null. Each prefix is copied into a buffer of its own length, so that the
// sanitizers also see a read past it.
inline const char* FirstBoundBreach(ByteView p)
{
    for (const Getter& getter : kGetters) {
        const std::uint64_t whole = getter.read(p);
        for (std::size_t n = 0; n <= std::min(p.size(), getter.most); ++n) {
            const std::vector<std::uint8_t> prefix(p.begin(),
                                                   p.begin() + static_cast<std::ptrdiff_t>(n));
            const std::uint64_t value = getter.read(prefix);
            const bool ok = n < getter.least   ? value == 0
                            : n >= getter.most ? value == whole
                                               : value == 0 || value == whole;
            if (!ok) {
                return getter.name;
            }
        }
    }
    return nullptr;
}

} // namespace mpegsyntax::check
