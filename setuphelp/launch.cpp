// DoShellExecute, DoSpawnWait and DoSpawnNoWait.
#include "setuphelp/launch.h"

#include "platform/paths.h"
#include "platform/spawn.h"
#include "platform/text.h"
#include "setuphelp/setuphelp.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace qvsetup {
namespace {

// Windows shell results.
constexpr int kShellStarted = 42; // any value above 32 means success
constexpr int kErrOther = 0;
constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;
constexpr int kErrAccessDenied = 5;
constexpr int kErrOutOfMemory = 8;
constexpr int kErrBadFormat = 11;
constexpr int kErrNoAssociation = 31;

int ShellError(int error)
{
    static constexpr std::pair<int, int> kCodes[] = {
        {ENOENT, kErrFileNotFound},  {ENOTDIR, kErrPathNotFound}, {ENAMETOOLONG, kErrPathNotFound},
        {ELOOP, kErrPathNotFound},   {EACCES, kErrAccessDenied},  {EPERM, kErrAccessDenied},
        {ETXTBSY, kErrAccessDenied}, {ENOMEM, kErrOutOfMemory},   {EAGAIN, kErrOutOfMemory},
        {ENOEXEC, kErrBadFormat},    {E2BIG, kErrBadFormat}};
    for (const auto& [errorNumber, code] : kCodes) {
        if (errorNumber == error) {
            return code;
        }
    }
    return kErrOther;
}

std::string Text(const char* text)
{
    return text != nullptr ? text : "";
}

bool IsExecutableFile(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// A relative name is taken in directory (when one is given), as the program
// that runs there would see it.
std::string InDirectory(const std::string& name, const std::string& directory)
{
    if (name.front() == '/' || directory.empty()) {
        return name;
    }
    return directory + "/" + name;
}

std::string Absolute(const std::string& path)
{
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.string();
}

// The absolute path of the executable a name stands for: a name with a slash
// as it is, a bare name along PATH (an empty element is the working
// directory). "" when there is none.
std::string FindProgram(const std::string& name, const std::string& directory)
{
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        const std::string path = InDirectory(name, directory);
        return IsExecutableFile(path) ? Absolute(path) : std::string();
    }
    const char* pathVariable = std::getenv("PATH");
    const std::string_view search = pathVariable != nullptr ? pathVariable : "/bin:/usr/bin";
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string_view::npos) {
            end = search.size();
        }
        const std::string_view element = search.substr(start, end - start);
        const std::string candidate =
            (element.empty() ? std::string(".") : std::string(element)) + "/" + name;
        if (IsExecutableFile(candidate)) {
            return Absolute(candidate);
        }
        start = end + 1;
    }
    return {};
}

// "scheme:..." with a scheme of two or more characters (so no drive letter).
bool IsUrl(const std::string& name)
{
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos || colon < 2 ||
        std::isalpha(static_cast<unsigned char>(name[0])) == 0) {
        return false;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// Runs path with the arguments args in directory (when not empty), in a new
// session, as a program that is never a child of ours and leaves no zombie.
// Returns kShellStarted once the program runs, else a shell error code.
int LaunchDetached(const std::string& path, const std::vector<std::string>& args,
                   const std::string& directory)
{
    qvplat::SpawnStage stage = qvplat::SpawnStage::Exec;
    const int error = qvplat::SpawnAndConfirmExec(path, args, directory, &stage);
    if (error == 0) {
        return kShellStarted;
    }
    if (stage == qvplat::SpawnStage::Directory && error != EACCES) {
        return kErrPathNotFound;
    }
    return ShellError(error);
}

std::vector<std::string> SpawnArguments(const char* args)
{
    // The argument string is handed over whole, after the word "command";
    // a null string ends the list there.
    std::vector<std::string> argv{"command"};
    if (args != nullptr) {
        argv.emplace_back(args);
    }
    return argv;
}

} // namespace

std::vector<std::string> SplitArguments(std::string_view text)
{
    std::vector<std::string> args;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i++];
        if (qvplat::IsBlank(c)) {
            if (inWord) {
                args.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (i == text.size()) {
                word += c;
            } else if (text[i] == '\n') {
                ++i;
            } else {
                word += text[i++];
            }
        } else if (c == '\'') {
            while (i < text.size() && text[i] != '\'') {
                word += text[i++];
            }
            ++i;
        } else if (c == '"') {
            while (i < text.size() && text[i] != '"') {
                const char inner = text[i++];
                if (inner == '\\' && i < text.size() &&
                    std::string_view("$`\"\\\n").find(text[i]) != std::string_view::npos) {
                    if (text[i] != '\n') {
                        word += text[i];
                    }
                    ++i;
                } else {
                    word += inner;
                }
            }
            ++i;
        } else {
            word += c;
        }
    }
    if (inWord) {
        args.push_back(std::move(word));
    }
    return args;
}

} // namespace qvsetup

using namespace qvsetup;

extern "C" int DoShellExecute(const char* file, const char* params, const char* directory,
                              int /*show: no windows to show or hide here*/)
{
    const std::string name = qvplat::MapPath(Text(file));
    const std::string dir = qvplat::MapPath(Text(directory));
    if (name.empty()) {
        return kErrFileNotFound;
    }
    if (!dir.empty()) {
        struct stat info = {};
        if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return kErrPathNotFound;
        }
    }

    const std::string program = FindProgram(name, dir);
    if (!program.empty()) {
        std::vector<std::string> args = SplitArguments(Text(params));
        args.insert(args.begin(), name);
        return LaunchDetached(program, args, dir);
    }

    // Not a program: a document or a URL for the desktop's opener.
    if (!IsUrl(name) && ::access(InDirectory(name, dir).c_str(), F_OK) != 0) {
        return ShellError(errno);
    }
    const std::string opener = FindProgram("xdg-open", {});
    if (opener.empty()) {
        return kErrNoAssociation;
    }
    return LaunchDetached(opener, {"xdg-open", name}, dir);
}

extern "C" int DoSpawnWait(const char* program, const char* args)
{
    const std::string path = qvplat::MapPath(Text(program));
    int exitCode = 0;
    if (path.empty() || qvplat::SpawnAndWait(path, SpawnArguments(args), &exitCode) != 0) {
        return -1;
    }
    return exitCode;
}

extern "C" int DoSpawnNoWait(const char* program, const char* args)
{
    const std::string path = qvplat::MapPath(Text(program));
    // A session of its own: the program outlives us and is not tied to our
    // terminal.
    if (path.empty() || qvplat::SpawnInNewSession(path, SpawnArguments(args)) != 0) {
        return -1;
    }
    // The program takes over: the caller ends here, as when it is replaced.
    std::fflush(nullptr);
    ::_exit(0);
}
