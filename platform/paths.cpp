#include "platform/paths.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace qvplat {
namespace {

std::string EnvValue(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string HomeDirectory()
{
    std::string home = EnvValue("HOME");
    if (!home.empty()) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

// Returns the directory named by the environment variable, else <config>/castnet/<leaf>,
// after making sure it exists.
std::string EnsureDirectory(const char* envName, const std::string& leaf)
{
    std::string dir = EnvValue(envName);
    if (dir.empty()) {
        const std::string config = ConfigHome();
        if (config.empty()) {
            return {};
        }
        dir = config + "/castnet/" + leaf;
    }
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error || !std::filesystem::is_directory(dir, error)) {
        return {};
    }
    return dir;
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

std::string WithSlashes(std::string_view path)
{
    std::string result(path);
    for (char& c : result) {
        if (c == '\\') {
            c = '/';
        }
    }
    return result;
}

// Splits a rooted remainder into components, dropping "." and resolving ".."
// without ever leaving the root.
std::string NormalizeBelowRoot(std::string_view rest)
{
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t end = pos;
        while (end < rest.size() && !IsSeparator(rest[end])) {
            ++end;
        }
        const std::string_view part = rest.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::string result;
    for (const std::string_view part : parts) {
        result += '/';
        result += part;
    }
    return result;
}

std::string OnDrive(char letter, std::string_view rest)
{
    const std::string root = DriveDirectory(letter);
    if (root.empty()) {
        return {};
    }
    return root + NormalizeBelowRoot(rest);
}

} // namespace

std::string ConfigHome()
{
    const std::string xdg = EnvValue("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg.front() == '/') {
        return xdg;
    }
    const std::string home = HomeDirectory();
    if (home.empty()) {
        return {};
    }
    return home + "/.config";
}

std::string WindowsDirectory()
{
    return EnsureDirectory("QV_WINDOWS_DIR", "windows");
}

std::string DriveDirectory(char letter)
{
    const unsigned char byte = static_cast<unsigned char>(letter);
    if (std::isalpha(byte) == 0 || byte >= 0x80) {
        return {};
    }
    const char upper = static_cast<char>(std::toupper(byte));
    const char lower = static_cast<char>(std::tolower(byte));
    const std::string envName = std::string("QV_DRIVE_") + upper + "_DIR";
    return EnsureDirectory(envName.c_str(), std::string("drive_") + lower);
}

std::string RegistryDirectory()
{
    return EnsureDirectory("QV_REGISTRY_DIR", "registry");
}

std::string RuntimeDirectory()
{
    const std::string runtime = EnvValue("XDG_RUNTIME_DIR");
    std::error_code error;
    if (!runtime.empty() && runtime.front() == '/' &&
        std::filesystem::is_directory(runtime, error)) {
        return runtime;
    }
    const std::string config = ConfigHome();
    if (config.empty()) {
        return {};
    }
    const std::string dir = config + "/castnet";
    std::filesystem::create_directories(dir, error);
    return std::filesystem::is_directory(dir, error) ? dir : std::string();
}

std::string MapPath(std::string_view winPath, PathBase bareNameBase)
{
    if (winPath.empty()) {
        return {};
    }
    const unsigned char first = static_cast<unsigned char>(winPath[0]);
    if (winPath.size() >= 2 && winPath[1] == ':' && std::isalpha(first) != 0 && first < 0x80) {
        return OnDrive(winPath[0], winPath.substr(2));
    }
    if (winPath[0] == '/') {
        return WithSlashes(winPath);
    }
    if (winPath[0] == '\\') {
        return OnDrive('c', winPath);
    }
    const bool hasDirectory = winPath.find_first_of("\\/") != std::string_view::npos;
    if (hasDirectory || bareNameBase == PathBase::WorkingDirectory) {
        return WithSlashes(winPath);
    }
    const std::string windows = WindowsDirectory();
    if (windows.empty()) {
        return {};
    }
    return windows + "/" + std::string(winPath);
}

} // namespace qvplat
