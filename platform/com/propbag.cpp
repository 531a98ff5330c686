#include "platform/com/propbag.h"
#include "platform/com/text.h"

#include <algorithm>

namespace qvplat {

std::optional<std::string> PropertyBag::Read(std::string_view name) const
{
    for (const auto& [key, value] : m_items) {
        if (EqualNoCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

void PropertyBag::Write(std::string_view name, std::string value)
{
    for (auto& [key, old] : m_items) {
        if (EqualNoCase(key, name)) {
            old = std::move(value);
            return;
        }
    }
    m_items.emplace_back(std::string(name), std::move(value));
}

bool PropertyBag::AddParam(std::string_view param)
{
    const std::size_t equals = param.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return false;
    }
    Write(param.substr(0, equals), std::string(param.substr(equals + 1)));
    return true;
}

} // namespace qvplat
