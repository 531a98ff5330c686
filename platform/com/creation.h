#pragma once
// Creating objects by class id: the registry store says which shared library
// serves a class (CLSID\{id}\InprocServer32), the library is loaded once
// with RTLD_NOW | RTLD_LOCAL (so it keeps its own compiled-in copies of the
// static libraries) and its DllGetClassObject makes the class factory.
//
// Each library that compiles this code keeps its own list of loaded servers;
// a server loaded by two of them is loaded once by the system.

#include "platform/com/unknown.h"

#include <string_view>

namespace qvplat {

// Per-thread initialisation, counted: S_OK for the first call on a thread,
// S_FALSE for nested ones. Creation in process does not depend on it.
HRESULT CoInitialize();
void CoUninitialize();

// "{...}" text to a class id; CO_E_CLASSSTRING when malformed.
HRESULT CLSIDFromString(std::string_view text, CLSID* clsid);
// A ProgID's class id from "<ProgID>\CLSID"; CO_E_CLASSSTRING when unknown.
HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid);

// REGDB_E_CLASSNOTREG: no InprocServer32 for the class; CO_E_DLLNOTFOUND:
// the library file is missing; CO_E_ERRORINDLL: it is not a regular file
// (a directory, a FIFO: refused without waiting), does not load or lacks the
// exports (the cause is logged and nothing stays loaded).
HRESULT CoGetClassObject(const CLSID& clsid, const IID& iid, void** out);
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, const IID& iid, void** out);

template <class T> HRESULT CoCreateInstance(const CLSID& clsid, ComPtr<T>& object)
{
    return CoCreateInstance(clsid, nullptr, T::Iid, object.PutVoid());
}

// Lets go of every loaded server whose DllCanUnloadNow says S_OK (the
// system unmaps it unless it was linked to stay, as our servers are). Call
// it on the user-interface thread, where queued work of the servers runs.
void CoFreeUnusedLibraries();

} // namespace qvplat
