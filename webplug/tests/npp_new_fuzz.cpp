// NPP_New on arbitrary attribute lists, through the plug-in's exports: the
// input's ':'-separated fields are names and values in turn. Each instance
// must get a profile whose section holds one line per distinct name (none
// when they do not fit), and lose it again in NPP_Destroy.
#include "webplug/npapi.h"

#include "platform/ini.h"
#include "platform/testsupport/tempfiles.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// A private Windows directory for the profiles, gone at exit; in memory
// where there is a memory file system, since every profile is synced.
struct PrivateWindowsDir
{
    PrivateWindowsDir()
    {
        Check(dir.Valid());
        path = dir.Path().string();
        ::setenv("QV_WINDOWS_DIR", path.c_str(), 1);
    }

    static std::filesystem::path Base()
    {
        std::error_code error;
        return std::filesystem::is_directory("/dev/shm", error)
                   ? std::filesystem::path("/dev/shm")
                   : std::filesystem::temp_directory_path();
    }

    qvtest::TempDir dir{"qvfuzz-webplug", Base()};
    std::string path;
};

// The lines the section reads back as: one per distinct name, except those
// that read as comments.
std::size_t ExpectedLines(const std::vector<std::string>& names)
{
    std::set<std::string> distinct;
    for (std::string name : names) {
        const std::size_t first = name.find_first_not_of(" \t\v\f\r\n");
        if (first != std::string::npos && name[first] == ';') {
            continue;
        }
        for (char& c : name) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        distinct.insert(name);
    }
    return distinct.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static PrivateWindowsDir windows;
    static NPPluginFuncs funcs = [] {
        NPPluginFuncs table;
        table.size = sizeof table;
        Check(NP_GetEntryPoints(&table) == NPERR_NO_ERROR);
        NPNetscapeFuncs host;
        host.size = sizeof host;
        Check(NP_Initialize(&host) == NPERR_NO_ERROR);
        return table;
    }();
    static unsigned instances = 0;

    // Fields cut at ':' and at NUL (which ends a C string anyway).
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == ':' || data[i] == '\0') {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<std::string> names;
    std::vector<char*> argn;
    std::vector<char*> argv;
    for (std::size_t i = 0; i + 1 < fields.size() && argn.size() < 0x7FFF; i += 2) {
        names.push_back(fields[i]);
        argn.push_back(fields[i].data());
        argv.push_back(fields[i + 1].data());
    }

    NPP_t instance;
    char mime[] = "video/x-opv-live";
    Check(funcs.newp(mime, &instance, NP_EMBED, static_cast<std::int16_t>(argn.size()), argn.data(),
                     argv.data(), nullptr) == NPERR_NO_ERROR);
    Check(instance.pdata != nullptr);
    const std::string profile = windows.path + "/qv1nrb-" + std::to_string(::getpid()) + "-" +
                                std::to_string(++instances) + ".dat";
    const auto section = qvplat::ReadIniSection(profile, "QV");
    Check(section.has_value());
    // Short lists without a '[' (which could start a line) always fit.
    const bool fits = size < 1300 && (size == 0 || std::memchr(data, '[', size) == nullptr);
    Check(section->size() == ExpectedLines(names) || (section->empty() && !fits));

    Check(funcs.destroy(&instance, nullptr) == NPERR_NO_ERROR);
    Check(instance.pdata == nullptr);
    Check(!std::filesystem::exists(profile) && !std::filesystem::exists(profile + ".lock"));
    return 0;
}
