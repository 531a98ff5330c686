#pragma once
// Shared pieces of the component-layer tests: a private registry with the
// fake control library registered, a site handing out a pumped dispatcher,
// an event sink that records, and a capture of the layer's log.

#include "fakectl/fakectl_ids.h"

#include "platform/com/control.h"
#include "platform/com/creation.h"
#include "platform/com/server.h"
#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace comtest {

using namespace qvplat;

inline std::mutex g_logLock;
inline std::vector<std::string> g_log;

inline void CaptureLog(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_logLock);
    g_log.push_back(line);
}

// Calls one export of a library (loading it for the call only).
inline HRESULT CallExport(const char* path, const char* name)
{
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        ADD_FAILURE() << dlerror();
        return E_FAIL;
    }
    auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
    const HRESULT hr = fn != nullptr ? fn() : E_FAIL;
    dlclose(handle);
    return hr;
}

// A private registry holding the fake control's registration.
class RegisteredFake : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetComLogHandler(&CaptureLog);
        ASSERT_EQ(CallExport(QV_FAKECTL_PATH, "DllRegisterServer"), S_OK);
    }
    void TearDown() override
    {
        CoFreeUnusedLibraries();
        SetComLogHandler(nullptr);
        std::lock_guard<std::mutex> hold(g_logLock);
        g_log.clear();
    }

    qvtest::SettingsEnv m_env;
};

class TestSite final : public ComObject<IQvControlSite>
{
public:
    TestSite(IUnknown* outer, std::shared_ptr<UiDispatcher> ui)
        : ComObject(outer), m_ui(std::move(ui))
    {
    }
    std::shared_ptr<UiDispatcher> GetUiDispatcher() override { return m_ui; }

private:
    std::shared_ptr<UiDispatcher> m_ui;
};

struct Fired
{
    DISPID id;
    std::vector<Variant> args;
    bool onUiThread;
};

class RecordingSink final : public ComObject<IDispatch>
{
public:
    RecordingSink(IUnknown* outer, std::shared_ptr<UiDispatcher> ui)
        : ComObject(outer), m_ui(std::move(ui))
    {
    }
    HRESULT GetIDsOfNames(std::span<const std::string>, std::span<DISPID>) override
    {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID id, std::uint16_t, std::span<const Variant> args, Variant*,
                   std::uint32_t*) override
    {
        fired.push_back({id, std::vector<Variant>(args.begin(), args.end()), m_ui->IsUiThread()});
        return S_OK;
    }

    std::vector<Fired> fired;

private:
    std::shared_ptr<UiDispatcher> m_ui;
};

template <class T, class... Args> ComPtr<T> Make(Args&&... args)
{
    return ComPtr<T>(new T(nullptr, std::forward<Args>(args)...));
}

// Invoke by name on the calling thread.
inline HRESULT Call(IDispatch* object, const std::string& name, std::uint16_t flags,
                    std::vector<Variant> args = {}, Variant* result = nullptr,
                    std::uint32_t* argError = nullptr)
{
    DISPID id = DISPID_UNKNOWN;
    const std::string names[] = {name};
    if (const HRESULT hr = object->GetIDsOfNames(names, {&id, 1}); Failed(hr)) {
        return hr;
    }
    return object->Invoke(id, flags, args, result, argError);
}

} // namespace comtest
