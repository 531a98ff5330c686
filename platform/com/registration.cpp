// Self-registration of servers and the component-category helpers.
#include "platform/com/comreg.h"
#include "platform/com/server.h"
#include "platform/com/text.h"

#include <dlfcn.h>
#include <filesystem>
#include <vector>

namespace qvplat {

namespace comreg {

RegResult SetText(const std::string& path, std::string_view name, std::string_view text)
{
    RegKey key;
    if (const RegResult result = key.Create(RegRoot::ClassesRoot, path);
        result != RegResult::Success) {
        return result;
    }
    return key.SetValue(MakeStringValue(name, text));
}

bool ReadText(const std::string& path, std::string_view name, std::string& text)
{
    RegKey key;
    RegValue value;
    if (key.Open(RegRoot::ClassesRoot, path) != RegResult::Success ||
        key.QueryValue(name, value) != RegResult::Success ||
        (value.type != REG_SZ && value.type != REG_EXPAND_SZ)) {
        return false;
    }
    text.assign(value.data.begin(), value.data.end());
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return true;
}

RegResult DeleteTree(const std::string& path, std::string_view keep)
{
    RegKey key;
    RegResult result = key.Open(RegRoot::ClassesRoot, path);
    if (result == RegResult::NotFound) {
        return RegResult::Success;
    }
    if (result != RegResult::Success) {
        return result;
    }
    std::vector<std::string> children;
    std::string name;
    for (std::uint32_t i = 0; key.EnumKey(i, name) == RegResult::Success; ++i) {
        children.push_back(name);
    }
    bool kept = false;
    for (const std::string& child : children) {
        if (!keep.empty() && EqualNoCase(child, keep)) {
            kept = true;
            continue;
        }
        if ((result = DeleteTree(path + "\\" + child)) != RegResult::Success) {
            return result;
        }
    }
    if (kept) {
        return key.ReplaceValues({});
    }
    result = DeleteRegKey(RegRoot::ClassesRoot, path);
    return result == RegResult::NotFound ? RegResult::Success : result;
}

} // namespace comreg

using comreg::DeleteTree;
using comreg::SetText;

// ---- Categories --------------------------------------------------------------------------

namespace {
std::string MarkPath(const CLSID& clsid, const CATID& category)
{
    return "CLSID\\" + GuidToString(clsid) + "\\Implemented Categories\\" + GuidToString(category);
}
HRESULT FromReg(RegResult result)
{
    return result == RegResult::Success ? S_OK : E_FAIL;
}
} // namespace

HRESULT CreateComponentCategory(const CATID& category, std::string_view description)
{
    std::size_t length = std::min<std::size_t>(description.size(), 127);
    // Never cut a UTF-8 sequence in two.
    while (length < description.size() && length > 0 &&
           (static_cast<unsigned char>(description[length]) & 0xC0) == 0x80) {
        --length;
    }
    return FromReg(SetText("Component Categories\\" + GuidToString(category), "409",
                           description.substr(0, length)));
}

HRESULT RegisterCLSIDInCategory(const CLSID& clsid, const CATID& category)
{
    RegKey key;
    return FromReg(key.Create(RegRoot::ClassesRoot, MarkPath(clsid, category)));
}

HRESULT UnRegisterCLSIDInCategory(const CLSID& clsid, const CATID& category)
{
    return FromReg(DeleteTree(MarkPath(clsid, category)));
}

// ---- Registration ------------------------------------------------------------------------

std::string ServerModulePath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ServerModulePath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path path = std::filesystem::canonical(info.dli_fname, error);
    return error ? std::string(info.dli_fname) : path.string();
}

namespace {

std::vector<const DispatchInterfaceInfo*> InterfacesOf(const ComClassInfo& info)
{
    std::vector<const DispatchInterfaceInfo*> interfaces;
    if (info.dispatchInfo != nullptr) {
        interfaces.push_back(&info.dispatchInfo());
    }
    if (info.eventInfo != nullptr) {
        interfaces.push_back(&info.eventInfo());
    }
    return interfaces;
}

bool RegisterTypeLib(const ComServerInfo& server)
{
    const ComTypeLibInfo* lib = server.typeLib;
    if (lib == nullptr) {
        return true;
    }
    const std::string libId = GuidToString(lib->id);
    bool ok =
        SetText("TypeLib\\" + libId + "\\" + lib->version, "", lib->name) == RegResult::Success;
    for (const ComClassInfo& info : server.classes) {
        for (const DispatchInterfaceInfo* iface : InterfacesOf(info)) {
            const std::string path = "Interface\\" + GuidToString(iface->iid);
            ok = ok && SetText(path, "", iface->name) == RegResult::Success &&
                 SetText(path + "\\TypeLib", "", libId) == RegResult::Success &&
                 SetText(path + "\\TypeLib", "Version", lib->version) == RegResult::Success;
        }
    }
    return ok;
}

bool RegisterClass(const ComServerInfo& server, const ComClassInfo& info,
                   const std::string& library)
{
    const std::string id = GuidToString(info.clsid);
    const std::string base = "CLSID\\" + id;
    bool ok = SetText(base, "", info.typeName) == RegResult::Success &&
              SetText(base + "\\InprocServer32", "", library) == RegResult::Success;
    if (info.threadingModel != nullptr && *info.threadingModel != '\0') {
        ok = ok && SetText(base + "\\InprocServer32", "ThreadingModel", info.threadingModel) ==
                       RegResult::Success;
    }
    if (info.progId != nullptr && *info.progId != '\0') {
        ok = ok && SetText(base + "\\ProgID", "", info.progId) == RegResult::Success &&
             SetText(info.progId, "", info.typeName) == RegResult::Success &&
             SetText(std::string(info.progId) + "\\CLSID", "", id) == RegResult::Success;
    }
    if (server.typeLib != nullptr && info.dispatchInfo != nullptr) {
        ok = ok &&
             SetText(base + "\\TypeLib", "", GuidToString(server.typeLib->id)) ==
                 RegResult::Success &&
             SetText(base + "\\Version", "", server.typeLib->version) == RegResult::Success;
    }
    RegKey key;
    if (info.control) {
        ok = ok && key.Create(RegRoot::ClassesRoot, base + "\\Control") == RegResult::Success;
    }
    if (info.insertable) {
        ok = ok && key.Create(RegRoot::ClassesRoot, base + "\\Insertable") == RegResult::Success;
    }
    if (info.miscStatus != 0) {
        ok = ok && SetText(base + "\\MiscStatus", "", "0") == RegResult::Success &&
             SetText(base + "\\MiscStatus\\1", "", std::to_string(info.miscStatus)) ==
                 RegResult::Success;
    }
    return ok;
}

} // namespace

HRESULT ServerRegister(const ComServerInfo& server, const std::string& libraryPath)
{
    const std::string library = libraryPath.empty() ? ServerModulePath() : libraryPath;
    if (!RegisterTypeLib(server)) {
        ComLog("registering the type library failed: " + RegLastErrorText());
        return SELFREG_E_TYPELIB;
    }
    for (const ComClassInfo& info : server.classes) {
        if (library.empty() || !RegisterClass(server, info, library)) {
            ComLog("registering class " + GuidToString(info.clsid) +
                   " failed: " + RegLastErrorText());
            return SELFREG_E_CLASS;
        }
    }
    // Categories: what fails here does not undo the registration.
    for (const ComCategoryInfo& category : server.categories) {
        CreateComponentCategory(category.id, category.description);
    }
    for (const ComClassInfo& info : server.classes) {
        for (const CATID& category : info.categories) {
            RegisterCLSIDInCategory(info.clsid, category);
        }
    }
    return S_OK;
}

HRESULT ServerUnregister(const ComServerInfo& server)
{
    if (server.typeLib != nullptr) {
        bool ok = DeleteTree("TypeLib\\" + GuidToString(server.typeLib->id)) == RegResult::Success;
        for (const ComClassInfo& info : server.classes) {
            for (const DispatchInterfaceInfo* iface : InterfacesOf(info)) {
                ok = ok &&
                     DeleteTree("Interface\\" + GuidToString(iface->iid)) == RegResult::Success;
            }
        }
        if (!ok) {
            return SELFREG_E_TYPELIB;
        }
    }
    for (const ComClassInfo& info : server.classes) {
        const std::string keep = info.keepCategoryMarks ? "Implemented Categories" : "";
        if (DeleteTree("CLSID\\" + GuidToString(info.clsid), keep) != RegResult::Success ||
            (info.progId != nullptr && *info.progId != '\0' &&
             DeleteTree(info.progId) != RegResult::Success)) {
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

// ---- Class objects -----------------------------------------------------------------------

namespace {

std::atomic<long> g_serverLocks{0};

class ServerClassFactory final : public ComObject<IClassFactory>
{
public:
    ServerClassFactory(IUnknown* outer, const ComClassInfo& info) : ComObject(outer), m_info(info)
    {
    }

    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override
    {
        return m_info.create(outer, iid, out);
    }
    HRESULT LockServer(bool lock) override
    {
        if (lock) {
            g_serverLocks.fetch_add(1);
            ComModuleAddRef();
            return S_OK;
        }
        long held = g_serverLocks.load();
        do {
            if (held <= 0) {
                return E_UNEXPECTED; // an unlock without a lock
            }
        } while (!g_serverLocks.compare_exchange_weak(held, held - 1));
        ComModuleRelease();
        return S_OK;
    }

private:
    const ComClassInfo& m_info;
};

} // namespace

HRESULT ServerGetClassObject(const ComServerInfo& server, const CLSID& clsid, const IID& iid,
                             void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    for (const ComClassInfo& info : server.classes) {
        if (info.clsid == clsid && info.create != nullptr) {
            return CreateComObject<ServerClassFactory>(nullptr, iid, out, info);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ServerCanUnloadNow()
{
    return ComModuleCount() == 0 ? S_OK : S_FALSE;
}

} // namespace qvplat
