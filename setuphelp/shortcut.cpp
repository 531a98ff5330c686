// CreateShortcut: a desktop launcher in place of a shell link.
#include "platform/paths.h"
#include "setuphelp/setuphelp.h"

#include <cstdio>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kLinkSuffix = ".lnk";
constexpr std::string_view kLauncherSuffix = ".desktop";

bool EndsWithNoCase(std::string_view text, std::string_view suffix)
{
    if (text.size() < suffix.size()) {
        return false;
    }
    const std::string_view tail = text.substr(text.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        const char c = tail[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != suffix[i]) {
            return false;
        }
    }
    return true;
}

// Launcher files are UTF-8. Bytes that do not form UTF-8 are taken as the
// Latin-1 characters of a Windows installer's code page.
std::string ToUtf8(std::string_view text)
{
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                length = 0;
                break;
            }
        }
        if (length == 0) {
            out += static_cast<char>(0xC0 | (lead >> 6));
            out += static_cast<char>(0x80 | (lead & 0x3F));
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

// A value of type string: backslash and line ends escaped, a leading blank
// kept, other control characters made blanks.
std::string StringValue(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case ' ':
            out += out.empty() ? "\\s" : " ";
            break;
        default:
            out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
        }
    }
    return out;
}

// The program of an Exec key: quoted when it holds a reserved character, with
// '"', '`', '$' and '\' escaped inside the quotes and '%' doubled (field
// codes); then escaped once more as a string value.
std::string ExecValue(std::string_view program)
{
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = program.find_first_of(kReserved) != std::string_view::npos;
    std::string argument = quote ? "\"" : "";
    for (const char c : program) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            argument += '\\';
        }
        argument += c;
        if (c == '%') {
            argument += '%';
        }
    }
    if (quote) {
        argument += '"';
    }
    return StringValue(argument);
}

std::string LauncherPath(std::string path)
{
    if (EndsWithNoCase(path, kLinkSuffix)) {
        path.resize(path.size() - kLinkSuffix.size());
    }
    if (!EndsWithNoCase(path, kLauncherSuffix)) {
        path += kLauncherSuffix;
    }
    return path;
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Writes text to path through a hidden file beside it and a rename, so the
// launcher is always either the old one or the new one, whole.
bool ReplaceFile(const std::string& path, const std::string& text)
{
    const std::size_t slash = path.rfind('/');
    std::string temp = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    temp += "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // Executable, as desktops ask of launchers that they are to trust.
    const bool written = WriteAll(fd, text) && ::fchmod(fd, 0755) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

extern "C" int CreateShortcut(const char* target, const char* shortcut, const char* description)
{
    const std::string program = qvplat::MapPath(target != nullptr ? target : "");
    const std::string link = qvplat::MapPath(shortcut != nullptr ? shortcut : "");
    if (program.empty() || link.empty()) {
        return 0;
    }
    const std::string path = LauncherPath(link);
    const std::size_t slash = path.rfind('/');
    const std::string fileName = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string stem = fileName.substr(0, fileName.size() - kLauncherSuffix.size());

    std::string text = "[Desktop Entry]\nType=Application\n";
    text += "Name=" + StringValue(ToUtf8(stem)) + "\n";
    if (description != nullptr && *description != '\0') {
        text += "Comment=" + StringValue(ToUtf8(description)) + "\n";
    }
    text += "Exec=" + ExecValue(program) + "\n";
    // Like the shell link it stands for, the launcher fails quietly.
    ReplaceFile(path, text);
    return 0;
}
