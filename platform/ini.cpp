#include "platform/ini.h"

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

namespace qvplat {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct IniText
{
    std::vector<std::string> lines; // without line ends
    std::string eol = "\n";
};

IniText SplitLines(const std::string& text)
{
    IniText ini;
    bool eolKnown = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const bool terminated = end != std::string::npos;
        if (!terminated) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        const bool crlf = !line.empty() && line.back() == '\r';
        if (crlf) {
            line.pop_back();
        }
        if (terminated && !eolKnown) {
            ini.eol = crlf ? "\r\n" : "\n";
            eolKnown = true;
        }
        ini.lines.push_back(std::move(line));
        pos = end + 1;
    }
    return ini;
}

std::string JoinLines(const IniText& ini)
{
    std::string text;
    for (const std::string& line : ini.lines) {
        text += line;
        text += ini.eol;
    }
    return text;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The text of a line as the parser sees it: without a leading byte-order
// mark, cut at an embedded NUL, trimmed.
std::string_view Content(const IniText& ini, size_t index)
{
    std::string_view line = ini.lines[index];
    if (index == 0 && line.starts_with(kUtf8Bom)) {
        line.remove_prefix(kUtf8Bom.size());
    }
    line = line.substr(0, line.find('\0'));
    return Trim(line);
}

// The name of a section header line, or nullopt for any other line.
std::optional<std::string_view> HeaderName(std::string_view content)
{
    if (content.empty() || content.front() != '[') {
        return std::nullopt;
    }
    const size_t close = content.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(content.substr(1, close - 1));
}

bool IsHeaderOf(const IniText& ini, size_t index, std::string_view section)
{
    const auto name = HeaderName(Content(ini, index));
    return name && EqualNoCase(*name, section);
}

bool IsFiller(std::string_view content)
{
    return content.empty() || content.front() == ';';
}

// One past the last line of the body of the section whose header is at index.
size_t BodyEnd(const IniText& ini, size_t header)
{
    size_t end = header + 1;
    while (end < ini.lines.size() && !HeaderName(Content(ini, end))) {
        ++end;
    }
    return end;
}

std::optional<std::vector<std::string>> EntriesOf(const IniText& ini, std::string_view section)
{
    for (size_t i = 0; i < ini.lines.size(); ++i) {
        if (!IsHeaderOf(ini, i, section)) {
            continue;
        }
        std::vector<std::string> entries;
        const size_t end = BodyEnd(ini, i);
        for (size_t j = i + 1; j < end; ++j) {
            const std::string_view content = Content(ini, j);
            if (IsFiller(content)) {
                continue;
            }
            const size_t equals = content.find('=');
            if (equals == std::string_view::npos) {
                entries.emplace_back(content);
            } else {
                std::string entry(Trim(content.substr(0, equals)));
                entry += '=';
                entry += Trim(content.substr(equals + 1));
                entries.push_back(std::move(entry));
            }
        }
        return entries;
    }
    return std::nullopt;
}

// Appends the body of the section at header with its entries replaced: the
// comments and blank lines before its first entry and after its last stay.
void AppendReplacedBody(const IniText& ini, size_t header, size_t end,
                        const std::vector<std::string>& entries, std::vector<std::string>& out)
{
    size_t leadEnd = header + 1;
    while (leadEnd < end && IsFiller(Content(ini, leadEnd))) {
        ++leadEnd;
    }
    size_t tailStart = end;
    while (tailStart > leadEnd && IsFiller(Content(ini, tailStart - 1))) {
        --tailStart;
    }
    out.insert(out.end(), ini.lines.begin() + static_cast<std::ptrdiff_t>(header + 1),
               ini.lines.begin() + static_cast<std::ptrdiff_t>(leadEnd));
    out.insert(out.end(), entries.begin(), entries.end());
    out.insert(out.end(), ini.lines.begin() + static_cast<std::ptrdiff_t>(tailStart),
               ini.lines.begin() + static_cast<std::ptrdiff_t>(end));
}

IniText WithSection(const IniText& ini, std::string_view section,
                    const std::vector<std::string>& entries)
{
    IniText result;
    result.eol = ini.eol;
    bool written = false;
    size_t i = 0;
    while (i < ini.lines.size()) {
        if (!IsHeaderOf(ini, i, section)) {
            result.lines.push_back(ini.lines[i]);
            ++i;
            continue;
        }
        const size_t end = BodyEnd(ini, i);
        if (!written) {
            result.lines.push_back(ini.lines[i]);
            AppendReplacedBody(ini, i, end, entries, result.lines);
            written = true;
        }
        i = end;
    }
    if (!written) {
        if (!result.lines.empty() && !Trim(result.lines.back()).empty()) {
            result.lines.emplace_back();
        }
        result.lines.push_back("[" + std::string(section) + "]");
        result.lines.insert(result.lines.end(), entries.begin(), entries.end());
    }
    return result;
}

bool IsValidSectionName(std::string_view section)
{
    return !Trim(section).empty() && section.find_first_of("]\r\n") == std::string_view::npos &&
           section.find('\0') == std::string_view::npos;
}

bool IsValidEntry(std::string_view entry)
{
    return entry.find_first_of("\r\n") == std::string_view::npos &&
           entry.find('\0') == std::string_view::npos && !Trim(entry).starts_with('[');
}

} // namespace

std::optional<std::vector<std::string>> ReadIniSection(std::string_view fileName,
                                                       std::string_view section)
{
    const std::string path = MapPath(fileName, PathBase::WindowsDirectory);
    if (path.empty()) {
        return std::nullopt;
    }
    std::string text;
    if (ReadWholeFile(path, text) != FileReadStatus::Ok) {
        return std::nullopt;
    }
    return EntriesOf(SplitLines(text), Trim(section));
}

bool WriteIniSection(std::string_view fileName, std::string_view section,
                     const std::vector<std::string>& entries)
{
    if (!IsValidSectionName(section) ||
        !std::all_of(entries.begin(), entries.end(),
                     [](const std::string& e) { return IsValidEntry(e); })) {
        return false;
    }
    const std::string path = MapPath(fileName, PathBase::WindowsDirectory);
    if (path.empty()) {
        return false;
    }
    File lock;
    if (!LockForUpdate(lock, path)) {
        return false;
    }
    std::string text;
    if (ReadWholeFile(path, text) == FileReadStatus::Failed) {
        return false;
    }
    const IniText updated = WithSection(SplitLines(text), Trim(section), entries);
    return ReplaceFileContents(path, JoinLines(updated));
}

std::optional<std::vector<std::string>> IniEntriesAsRead(const std::vector<std::string>& entries)
{
    if (!std::all_of(entries.begin(), entries.end(),
                     [](const std::string& e) { return IsValidEntry(e); })) {
        return std::nullopt;
    }
    IniText ini;
    ini.lines.reserve(entries.size() + 1);
    ini.lines.emplace_back("[QV]");
    ini.lines.insert(ini.lines.end(), entries.begin(), entries.end());
    return EntriesOf(ini, "QV");
}

bool DeleteIniFile(std::string_view fileName)
{
    const std::string path = MapPath(fileName, PathBase::WindowsDirectory);
    if (path.empty()) {
        return false;
    }
    std::error_code fileError;
    std::error_code lockError;
    std::filesystem::remove(path, fileError);
    std::filesystem::remove(path + ".lock", lockError);
    return !fileError && !lockError;
}

std::uint32_t GetPrivateProfileSection(const char* section, char* buffer, std::uint32_t size,
                                       const char* fileName)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::memset(buffer, 0, std::min<std::uint32_t>(size, 2));
    if (section == nullptr || fileName == nullptr || size < 2) {
        return 0;
    }
    const auto entries = ReadIniSection(fileName, section);
    if (!entries) {
        return 0;
    }
    // Room for the entries with their NULs; the final NUL needs the last place.
    const size_t room = size - 1;
    size_t used = 0;
    for (const std::string& entry : *entries) {
        if (used + entry.size() + 1 > room) {
            // Keep only whole entries, then the two closing NULs at the end.
            std::memset(buffer + used, 0, size - used);
            return size - 2;
        }
        std::memcpy(buffer + used, entry.c_str(), entry.size() + 1);
        used += entry.size() + 1;
    }
    buffer[used] = '\0';
    return static_cast<std::uint32_t>(used);
}

bool WritePrivateProfileSection(const char* section, const char* entries, const char* fileName)
{
    if (section == nullptr || entries == nullptr || fileName == nullptr) {
        return false;
    }
    std::vector<std::string> lines;
    for (const char* entry = entries; *entry != '\0'; entry += std::strlen(entry) + 1) {
        lines.emplace_back(entry);
    }
    return WriteIniSection(fileName, section, lines);
}

} // namespace qvplat
