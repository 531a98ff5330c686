// qvregsvr [/u] library.so: registers (or with /u unregisters) the
// component classes of a server library through its own exports.
#include "platform/com/server.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    bool unregister = false;
    std::string library;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "/u" || arg == "-u") {
            unregister = true;
        } else if (library.empty() && !arg.empty() && arg[0] != '-') {
            library = arg;
        } else {
            library.clear();
            break;
        }
    }
    if (library.empty()) {
        std::fprintf(stderr, "usage: qvregsvr [/u] library.so\n");
        return 2;
    }
    // An absolute path, so the loader does not search for it elsewhere.
    std::error_code error;
    const std::string path = std::filesystem::absolute(library, error).string();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "qvregsvr: %s\n", dlerror());
        return 1;
    }
    const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto entry = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, name));
    if (entry == nullptr) {
        std::fprintf(stderr, "qvregsvr: %s has no %s\n", path.c_str(), name);
        dlclose(handle);
        return 1;
    }
    const qvplat::HRESULT hr = entry();
    dlclose(handle);
    if (qvplat::Failed(hr)) {
        std::fprintf(stderr, "qvregsvr: %s in %s failed: 0x%08X %s\n", name, path.c_str(),
                     static_cast<unsigned>(hr), qvplat::HResultName(hr));
        return 1;
    }
    std::printf("%s in %s succeeded\n", name, path.c_str());
    return 0;
}
