#include "platform/service/serviceunit.h"

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/spawn.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace qvplat {
namespace {

bool IsRoot()
{
    return ::geteuid() == 0;
}

bool IsPlainName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// One word of ExecStart=, in double quotes. The manager takes '%' for its
// specifiers everywhere ("%%" is one '%') and expands '$' in the arguments
// only ("$$" is one '$'); inside quotes '\\' and '"' are escaped. It
// refuses an executable name with quotes or backslashes, and no word may
// hold a control character: such words give false.
bool AppendQuotedWord(std::string& line, const std::string& word, bool executable)
{
    line += '"';
    for (const char c : word) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
        switch (c) {
        case '\\':
        case '"':
        case '\'':
            if (executable) {
                return false;
            }
            if (c != '\'') {
                line += '\\';
            }
            line += c;
            break;
        case '%':
            line += "%%";
            break;
        case '$':
            line += executable ? "$" : "$$";
            break;
        default:
            line += c;
        }
    }
    line += '"';
    return true;
}

std::string UnitFileName(const std::string& name)
{
    return name + ".service";
}

} // namespace

std::string ServiceUnitDirectory()
{
    if (const char* configured = std::getenv("QV_SERVICE_UNIT_DIR");
        configured != nullptr && configured[0] != '\0') {
        return configured;
    }
    if (IsRoot()) {
        return "/etc/systemd/system";
    }
    const std::string config = ConfigHome();
    return config.empty() ? std::string() : config + "/systemd/user";
}

std::string ServiceUnitPath(const std::string& name)
{
    const std::string dir = ServiceUnitDirectory();
    if (dir.empty() || !IsPlainName(name)) {
        return {};
    }
    return dir + "/" + UnitFileName(name);
}

std::string ServiceUnitText(const ServiceUnitSpec& spec)
{
    std::string exec = "ExecStart=";
    if (!AppendQuotedWord(exec, spec.program, true)) {
        return {};
    }
    for (const std::string& argument : spec.arguments) {
        exec += ' ';
        if (!AppendQuotedWord(exec, argument, false)) {
            return {};
        }
    }
    std::string text =
        "[Unit]\nDescription=" + spec.name + "\n\n[Service]\nType=notify\n" + exec + "\n";
    if (spec.autoStart) {
        text += std::string("\n[Install]\nWantedBy=") +
                (IsRoot() ? "multi-user.target" : "default.target") + "\n";
    }
    return text;
}

int RunServiceManager(const std::vector<std::string>& arguments)
{
    const char* configured = std::getenv("QV_SERVICE_MANAGER");
    std::vector<std::string> words{configured != nullptr && configured[0] != '\0' ? configured
                                                                                  : "systemctl"};
    if (!IsRoot()) {
        words.emplace_back("--user");
    }
    words.insert(words.end(), arguments.begin(), arguments.end());
    int exitCode = 0;
    if (const int error = SpawnAndWait(words.front(), words, &exitCode); error != 0) {
        return error;
    }
    return exitCode;
}

int InstallServiceUnit(const ServiceUnitSpec& spec)
{
    const std::string path = ServiceUnitPath(spec.name);
    if (path.empty()) {
        return IsPlainName(spec.name) ? ENOENT : EINVAL;
    }
    const std::string text = ServiceUnitText(spec);
    if (text.empty()) {
        return EINVAL;
    }
    std::error_code error;
    std::filesystem::create_directories(ServiceUnitDirectory(), error);
    if (error) {
        return error.value();
    }
    if (!ReplaceFileContents(path, text)) {
        return errno != 0 ? errno : EIO;
    }
    // A manager that is not running cannot reload; the unit is read when it
    // is first used in any case.
    RunServiceManager({"daemon-reload"});
    return spec.autoStart ? RunServiceManager({"enable", UnitFileName(spec.name)}) : 0;
}

bool ServiceUnitInstalled(const std::string& name)
{
    const std::string path = ServiceUnitPath(name);
    std::error_code error;
    return !path.empty() && std::filesystem::is_regular_file(path, error);
}

int RemoveServiceUnit(const std::string& name)
{
    const std::string path = ServiceUnitPath(name);
    if (path.empty()) {
        return IsPlainName(name) ? ENOENT : EINVAL;
    }
    RunServiceManager({"disable", UnitFileName(name)});
    if (::unlink(path.c_str()) != 0) {
        return errno;
    }
    RunServiceManager({"daemon-reload"});
    return 0;
}

int StartServiceUnit(const std::string& name)
{
    return IsPlainName(name) ? RunServiceManager({"start", UnitFileName(name)}) : EINVAL;
}

int StopServiceUnit(const std::string& name)
{
    return IsPlainName(name) ? RunServiceManager({"stop", UnitFileName(name)}) : EINVAL;
}

} // namespace qvplat
