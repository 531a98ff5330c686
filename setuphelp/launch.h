#pragma once
// Starting programs for the installer entry points.

#include <string>
#include <string_view>
#include <vector>

namespace qvsetup {

// Splits text into arguments the way a POSIX shell does, without any
// expansion: blanks separate words; a backslash keeps the next character;
// single quotes keep everything up to the next single quote; double quotes
// keep everything up to the next unescaped double quote, where a backslash
// escapes only '$', '`', '"', '\' and a line end. An unclosed quote runs to
// the end of the text.
std::vector<std::string> SplitArguments(std::string_view text);

} // namespace qvsetup
