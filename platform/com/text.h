#pragma once
// Text helpers of the component layer.

#include <algorithm>
#include <string_view>

namespace qvplat {

// Names of members, ProgIDs and bag entries compare without regard to ASCII case.
inline bool EqualNoCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

} // namespace qvplat
