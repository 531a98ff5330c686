#pragma once
// Blanks and trimming, one definition for every reader of text (INI
// profiles, the registry store, setup's command lines and scripts, dialog
// fields): a name trimmed by one reader is the name that every other one
// sees.

#include <string_view>

namespace qvplat {

// White space as the C locale has it: space, tab, line feed, vertical tab,
// form feed and carriage return. No reader of lines ever sees a line feed
// inside a line, so for them the set is the other five.
constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text without the blanks at either end.
constexpr std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace qvplat
