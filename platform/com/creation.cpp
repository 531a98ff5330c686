#include "platform/com/creation.h"

#include "platform/com/comreg.h"
#include "platform/com/server.h"
#include "platform/file.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace qvplat {

namespace {

thread_local int t_initCount = 0;

struct Library
{
    void* handle = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
};

// Loaded servers by path. Recursive: a server's DllGetClassObject may
// create objects of other servers through this same list.
std::recursive_mutex g_librariesLock;
std::map<std::string, Library> g_libraries;

HRESULT LoadLibrary(const std::string& path, Library& library)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        ComLog("server library \"" + path + "\" not found");
        return CO_E_DLLNOTFOUND;
    }
    // The loader opens the path blocking and under our lock: a FIFO would
    // hang this and every later creation. Only a regular file goes to it.
    File probe;
    if (!probe.OpenReadRegular(path)) {
        const int cause = probe.Error();
        ComLog("server library \"" + path + "\" does not load: " +
               (cause == EINVAL ? std::string("not a regular file") : std::strerror(cause)));
        return CO_E_ERRORINDLL;
    }
    probe.Close();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        ComLog("server library \"" + path + "\" does not load: " + (text != nullptr ? text : "?"));
        return CO_E_ERRORINDLL;
    }
    library.handle = handle;
    library.getClassObject =
        reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
    library.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
    if (library.getClassObject == nullptr || library.canUnloadNow == nullptr) {
        ComLog("server library \"" + path +
               "\" lacks the exports DllGetClassObject and DllCanUnloadNow");
        dlclose(handle);
        return CO_E_ERRORINDLL;
    }
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers report on code that stays mapped: keep every server
    // loaded, also those not linked to stay.
    if (void* pinned = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
        dlclose(pinned);
    }
#endif
    return S_OK;
}

} // namespace

HRESULT CoInitialize()
{
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_initCount > 0) {
        --t_initCount;
    }
}

HRESULT CLSIDFromString(std::string_view text, CLSID* clsid)
{
    if (clsid == nullptr) {
        return E_POINTER;
    }
    const std::optional<GUID> id = ParseGuid(text);
    if (!id) {
        return CO_E_CLASSSTRING;
    }
    *clsid = *id;
    return S_OK;
}

HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid)
{
    if (clsid == nullptr) {
        return E_POINTER;
    }
    std::string text;
    if (progId.empty() || progId.find('\\') != std::string_view::npos ||
        !comreg::ReadText(std::string(progId) + "\\CLSID", "", text)) {
        return CO_E_CLASSSTRING;
    }
    return CLSIDFromString(text, clsid);
}

HRESULT CoGetClassObject(const CLSID& clsid, const IID& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    std::string path;
    if (!comreg::ReadText("CLSID\\" + GuidToString(clsid) + "\\InprocServer32", "", path) ||
        path.empty()) {
        ComLog("class " + GuidToString(clsid) + " is not registered");
        return REGDB_E_CLASSNOTREG;
    }
    std::lock_guard<std::recursive_mutex> hold(g_librariesLock);
    auto found = g_libraries.find(path);
    if (found == g_libraries.end()) {
        Library library;
        if (const HRESULT hr = LoadLibrary(path, library); Failed(hr)) {
            return hr;
        }
        found = g_libraries.emplace(path, library).first;
    }
    // Under the lock, so the library cannot be unloaded before the factory
    // it hands out counts in it.
    return found->second.getClassObject(clsid, iid, out);
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, const IID& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    ComPtr<IClassFactory> factory;
    if (const HRESULT hr = CoGetClassObject(clsid, IID_IClassFactory, factory.PutVoid());
        Failed(hr)) {
        return hr;
    }
    return factory->CreateInstance(outer, iid, out);
}

void CoFreeUnusedLibraries()
{
    std::lock_guard<std::recursive_mutex> hold(g_librariesLock);
    for (auto it = g_libraries.begin(); it != g_libraries.end();) {
        if (it->second.canUnloadNow() == S_OK) {
            dlclose(it->second.handle);
            it = g_libraries.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace qvplat
