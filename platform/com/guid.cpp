#include "platform/com/guid.h"

#include <cstdio>

namespace qvplat {

std::string GuidToString(const GUID& id)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1,
                  id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3],
                  id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

std::size_t GuidHash::operator()(const GUID& id) const noexcept
{
    std::size_t hash = id.Data1;
    hash = hash * 31 + id.Data2;
    hash = hash * 31 + id.Data3;
    for (const std::uint8_t byte : id.Data4) {
        hash = hash * 31 + byte;
    }
    return hash;
}

} // namespace qvplat
