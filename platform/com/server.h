#pragma once
// In-process servers: a shared library that holds component classes gives
// its table of classes to QV_COM_SERVER, which defines the four exports a
// container and the registration tool look for:
//
//   static const ComClassInfo kClasses[] = {
//       {.clsid = kClsidFakeCtl, .create = &CreateComInstance<CFakeCtl>,
//        .progId = "FAKECTL.FakeCtlCtrl.1", .typeName = "Fake Control",
//        .miscStatus = 0x30191, .control = true, .insertable = true,
//        .dispatchInfo = &CFakeCtl::DispatchInfo, .eventInfo = &CFakeCtl::EventInfo,
//        .categories = kSafeCategories},
//       {.clsid = kClsidFakePage, .create = &CreateComInstance<CFakePage>,
//        .progId = "FAKECTL.FakeCtlPropPage.1", .typeName = "Fake Page"},
//   };
//   static const ComServerInfo kServer{kClasses, &kTypeLib, kStandardCategories};
//   QV_COM_SERVER(kServer)
//
// Registration writes, below HKEY_CLASSES_ROOT of the registry store:
//   CLSID\{id}                        = type name
//     InprocServer32                  = absolute path of the library; ThreadingModel
//     ProgID, Version, TypeLib        (when given)
//     Control, Insertable             (empty keys, when set)
//     MiscStatus = "0", MiscStatus\1  = the status in decimal (when not 0)
//     Implemented Categories\{cat}    (empty keys)
//   <ProgID> = type name, <ProgID>\CLSID = {id}
//   TypeLib\{lib}\<version>           = library name
//   Interface\{iid} = interface name, Interface\{iid}\TypeLib = {lib}, Version
//   Component Categories\{cat}, value "409" = description (127 characters at most)
// Unregistering removes the classes' and the type library's keys again; the
// shared category definitions stay, and so do a class's category marks when
// its entry says so.

#include "platform/com/categories.h"
#include "platform/com/dispatch.h"

#include <span>
#include <string>

namespace qvplat {

using ComCreateFn = HRESULT (*)(IUnknown* outer, const IID& iid, void** out);

template <class T> HRESULT CreateComInstance(IUnknown* outer, const IID& iid, void** out)
{
    return CreateComObject<T>(outer, iid, out);
}

struct ComClassInfo
{
    CLSID clsid{};
    ComCreateFn create = nullptr;
    const char* progId = nullptr;
    const char* typeName = "";
    const char* threadingModel = "Apartment";
    std::uint32_t miscStatus = 0;
    bool control = false;
    bool insertable = false;
    // The type information the class's objects carry (either may be null).
    const DispatchInterfaceInfo& (*dispatchInfo)() = nullptr;
    const DispatchInterfaceInfo& (*eventInfo)() = nullptr;
    std::span<const CATID> categories{};
    // Unregistering leaves the class's Implemented Categories marks.
    bool keepCategoryMarks = false;
};

struct ComTypeLibInfo
{
    GUID id{};
    const char* name = "";
    const char* version = "1.0";
};

struct ComServerInfo
{
    std::span<const ComClassInfo> classes{};
    const ComTypeLibInfo* typeLib = nullptr;       // null: the classes carry no type information
    std::span<const ComCategoryInfo> categories{}; // defined at registration
};

// The bodies of the four exports.
HRESULT ServerGetClassObject(const ComServerInfo& server, const CLSID& clsid, const IID& iid,
                             void** out);
HRESULT ServerCanUnloadNow();
// libraryPath: where InprocServer32 points; "" for the library holding this code.
HRESULT ServerRegister(const ComServerInfo& server, const std::string& libraryPath = "");
HRESULT ServerUnregister(const ComServerInfo& server);

// The absolute path of the shared object (or program) that holds this code.
std::string ServerModulePath();

} // namespace qvplat

// Export signatures, as a container looks them up.
using DllGetClassObjectFn = qvplat::HRESULT (*)(const qvplat::CLSID&, const qvplat::IID&, void**);
using DllCanUnloadNowFn = qvplat::HRESULT (*)();
using DllRegisterServerFn = qvplat::HRESULT (*)();
using DllUnregisterServerFn = qvplat::HRESULT (*)();

#define QV_COM_EXPORT extern "C" __attribute__((visibility("default")))
#define QV_COM_SERVER(serverInfo)                                                                  \
    QV_COM_EXPORT qvplat::HRESULT DllGetClassObject(const qvplat::CLSID& clsid,                    \
                                                    const qvplat::IID& iid, void** out)            \
    {                                                                                              \
        return qvplat::ServerGetClassObject(serverInfo, clsid, iid, out);                          \
    }                                                                                              \
    QV_COM_EXPORT qvplat::HRESULT DllCanUnloadNow()                                                \
    {                                                                                              \
        return qvplat::ServerCanUnloadNow();                                                       \
    }                                                                                              \
    QV_COM_EXPORT qvplat::HRESULT DllRegisterServer()                                              \
    {                                                                                              \
        return qvplat::ServerRegister(serverInfo);                                                 \
    }                                                                                              \
    QV_COM_EXPORT qvplat::HRESULT DllUnregisterServer()                                            \
    {                                                                                              \
        return qvplat::ServerUnregister(serverInfo);                                               \
    }
