#pragma once
// A property bag: the named text values a container keeps for a control
// (a page's PARAM pairs), loaded into the control before it starts and
// saved from it. Names compare without regard to ASCII case and keep the
// order in which they were first written.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvplat {

class PropertyBag
{
public:
    std::optional<std::string> Read(std::string_view name) const;
    // Replaces the value of that name in place, or appends it.
    void Write(std::string_view name, std::string value);
    // "name=value" (the value may be empty or contain '='); false, changing
    // nothing, without '=' or with an empty name.
    bool AddParam(std::string_view param);

    const std::vector<std::pair<std::string, std::string>>& Items() const { return m_items; }

private:
    std::vector<std::pair<std::string, std::string>> m_items;
};

} // namespace qvplat
