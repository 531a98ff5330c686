// UninstInitialize and UninstUnInitialize: the uninstall command file.
#include "setuphelp/uninst.h"

#include "platform/msgbox.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "setuphelp/setuphelp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

namespace qvsetup {
namespace {

constexpr const char* kProductKey = "SOFTWARE\\Corvel\\Pictavo\\Client";
constexpr const char* kInstallRootValue = "InstallRoot";
constexpr std::uint32_t kInstallRootSize = 500;
constexpr const char* kCommandFile = "Bin\\uninst.lau";
constexpr std::uint32_t kFinalPause = 3000;
constexpr int kShowMinimized = 2;
constexpr int kErrOpenFailed = -11;

void RealSleep(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

SleepFn& CurrentSleep()
{
    static SleepFn sleep = RealSleep;
    return sleep;
}

// The number at the start of a pause line, read as a C runtime reads an int
// (leading white space, a sign, decimal digits) with the first '$' taken as a
// blank; negative numbers give 0 and large ones stop at the int maximum.
std::uint32_t PauseLength(std::string_view line)
{
    std::string text(line);
    text[text.find('$')] = ' ';
    std::size_t i = 0;
    while (i < text.size() && qvplat::IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i++] == '-';
    }
    constexpr std::uint32_t kMax = 0x7FFFFFFF;
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint32_t>(text[i] - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return negative ? 0 : value;
}

// Runs one line (without its line end); false when it ends the run.
bool RunCommandLine(std::string_view line, UninstRunner& runner)
{
    if (line.empty()) {
        return true;
    }
    if (line.front() == '#') {
        return runner.Ask(std::string(line.substr(1)));
    }
    if (line.find('$') != std::string_view::npos) {
        runner.Pause(PauseLength(line));
        return true;
    }
    constexpr auto npos = std::string_view::npos;
    const std::size_t comma = line.find(',');
    const std::size_t hash = line.find('#');
    // Each separator cuts the text it follows, so either may come first.
    auto field = [&](std::size_t start, std::size_t other) {
        if (start == npos) {
            return std::string_view();
        }
        const std::size_t end = other != npos && other > start ? other : line.size();
        return line.substr(start + 1, end - start - 1);
    };
    const std::string_view program = qvplat::Trim(line.substr(0, std::min(comma, hash)));
    if (program.empty()) {
        return true;
    }
    if (hash != npos && !runner.Ask(std::string(field(hash, comma)))) {
        return true;
    }
    runner.Run(std::string(program), std::string(field(comma, hash)));
    return true;
}

// The runner of UninstInitialize: message boxes, the shell and the sleep.
class ShellRunner : public UninstRunner
{
public:
    bool Ask(const std::string& prompt) override
    {
        return qvplat::MessageBox(prompt.c_str(), "", qvplat::MB_OKCANCEL) == qvplat::IDOK;
    }
    void Pause(std::uint32_t milliseconds) override { CurrentSleep()(milliseconds); }
    void Run(const std::string& program, const std::string& parameters) override
    {
        if (DoShellExecute(program.c_str(), parameters.c_str(), "", kShowMinimized) <= 32) {
            const std::string text =
                "ShellExecute failed to execute: " + program + " " + parameters;
            qvplat::MessageBox(text.c_str(), nullptr, qvplat::MB_OK);
        }
    }
    void SkipLongLine(std::size_t lineNumber) override
    {
        const std::string text = "setuphelp.dll skipped line " + std::to_string(lineNumber) +
                                 " of the command file: it is longer than " +
                                 std::to_string(kMaxCommandLine) + " characters.";
        qvplat::MessageBox(text.c_str(), nullptr, qvplat::MB_OK | qvplat::MB_ICONWARNING);
    }
};

void ShowError(const std::string& text)
{
    qvplat::MessageBox(text.c_str(), nullptr, qvplat::MB_OK | qvplat::MB_ICONERROR);
}

bool ReadFile(const std::string& path, std::string& text)
{
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

} // namespace

UninstRunner::~UninstRunner() = default;

bool RunCommandFile(std::string_view text, UninstRunner& runner)
{
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > kMaxCommandLine) {
            runner.SkipLongLine(lineNumber);
            continue;
        }
        line = line.substr(0, line.find_first_of(std::string_view("\r\0", 2)));
        if (!RunCommandLine(line, runner)) {
            return false;
        }
    }
    return true;
}

SleepFn SetUninstSleep(SleepFn fn)
{
    if (!fn) {
        fn = RealSleep;
    }
    return std::exchange(CurrentSleep(), std::move(fn));
}

} // namespace qvsetup

using namespace qvsetup;

extern "C" int UninstInitialize(uint32_t, uint32_t, uint32_t)
{
    qvplat::RegKey key;
    if (key.Open(qvplat::RegRoot::LocalMachine, kProductKey) != qvplat::RegResult::Success) {
        ShowError("Corvel key not found in registry.");
        return -1;
    }
    char data[kInstallRootSize];
    std::uint32_t size = sizeof data;
    if (key.QueryValue(kInstallRootValue, nullptr, reinterpret_cast<std::uint8_t*>(data), &size) !=
        qvplat::RegResult::Success) {
        ShowError("InstallRoot not found.");
        return -1;
    }
    // The value as stored: it may lack its NUL, and its separator at the end.
    std::string root(data, size);
    root.resize(root.find('\0') == std::string::npos ? root.size() : root.find('\0'));
    if (!root.empty() && root.back() != '\\' && root.back() != '/') {
        root += '\\';
    }
    const std::string windowsPath = root + kCommandFile;
    const std::string path = qvplat::MapPath(windowsPath);
    std::string text;
    if (!ReadFile(path, text)) {
        ShowError("setuphelp.dll failed to open '" + (path.empty() ? windowsPath : path) + "'.");
        return kErrOpenFailed;
    }
    ShellRunner runner;
    RunCommandFile(text, runner);
    CurrentSleep()(kFinalPause);
    return 0;
}

extern "C" int UninstUnInitialize(uint32_t, uint32_t, uint32_t)
{
    return 0;
}
