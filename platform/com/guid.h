#pragma once
// 128-bit identifiers of classes, interfaces, type libraries and component
// categories, written as "{8-4-4-4-12}" hexadecimal text.

#include "platform/hex.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qvplat {

struct GUID
{
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    constexpr bool operator==(const GUID&) const = default;
    constexpr auto operator<=>(const GUID&) const = default;
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;

inline constexpr GUID GUID_NULL{};

// Parses exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters,
// either case); anything else gives nothing.
constexpr std::optional<GUID> ParseGuid(std::string_view text)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes{};
    std::size_t count = 0;
    for (std::size_t at = 1; at < 37;) {
        if (at == 9 || at == 14 || at == 19 || at == 24) {
            if (text[at] != '-') {
                return std::nullopt;
            }
            ++at;
            continue;
        }
        const int high = HexDigitValue(text[at]);
        const int low = HexDigitValue(text[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[count++] = static_cast<std::uint8_t>(high * 16 + low);
        at += 2;
    }
    GUID id;
    id.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
               static_cast<std::uint32_t>(bytes[1]) << 16 |
               static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    id.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    id.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    for (std::size_t i = 0; i < 8; ++i) {
        id.Data4[i] = bytes[8 + i];
    }
    return id;
}

// For constants: MakeGuid("{...}") fails to compile on a malformed text.
consteval GUID MakeGuid(std::string_view text)
{
    const std::optional<GUID> id = ParseGuid(text);
    if (!id) {
        throw std::invalid_argument("malformed GUID text");
    }
    return *id;
}

// The text form, upper-case hexadecimal with braces.
std::string GuidToString(const GUID& id);

struct GuidHash
{
    std::size_t operator()(const GUID& id) const noexcept;
};

} // namespace qvplat
