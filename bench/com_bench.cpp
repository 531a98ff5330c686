// The component layer: creation by class id with the server library already
// loaded (a registry lookup, the class factory, the object), creation through
// a held class factory, and one Invoke through the dispatch table.
#include "platform/com/creation.h"
#include "platform/com/server.h"
#include "platform/com/tests/fakectl/fakectl_ids.h"
#include "platform/testsupport/tempfiles.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <filesystem>
#include <stdlib.h>

namespace {

using namespace qvplat;

// A private registry with the fake control registered, for the whole run.
class Registered
{
public:
    Registered()
    {
        if (m_dir.Valid()) {
            setenv("QV_REGISTRY_DIR", m_dir.Path().c_str(), 1);
        }
        if (void* library = dlopen(QV_FAKECTL_PATH, RTLD_NOW | RTLD_LOCAL)) {
            if (auto reg =
                    reinterpret_cast<DllRegisterServerFn>(dlsym(library, "DllRegisterServer"))) {
                m_ok = reg() == S_OK;
            }
            dlclose(library);
        }
    }
    bool Ok() const { return m_ok; }

private:
    qvtest::TempDir m_dir{"qvcom-bench"};
    bool m_ok = false;
};

Registered& Setup()
{
    static Registered registered;
    return registered;
}

void BM_CreateByClassId(benchmark::State& state)
{
    if (!Setup().Ok()) {
        state.SkipWithError("fake control not registered");
        return;
    }
    ComPtr<IDispatch> keepLoaded;
    CoCreateInstance(fakectl::kClsidControl, keepLoaded);
    for (auto _ : state) {
        ComPtr<IDispatch> control;
        benchmark::DoNotOptimize(CoCreateInstance(fakectl::kClsidControl, control));
    }
}
BENCHMARK(BM_CreateByClassId);

void BM_CreateThroughHeldFactory(benchmark::State& state)
{
    if (!Setup().Ok()) {
        state.SkipWithError("fake control not registered");
        return;
    }
    ComPtr<IClassFactory> factory;
    CoGetClassObject(fakectl::kClsidControl, IID_IClassFactory, factory.PutVoid());
    for (auto _ : state) {
        ComPtr<IDispatch> control;
        benchmark::DoNotOptimize(
            factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid()));
    }
}
BENCHMARK(BM_CreateThroughHeldFactory);

void BM_Invoke(benchmark::State& state)
{
    if (!Setup().Ok()) {
        state.SkipWithError("fake control not registered");
        return;
    }
    ComPtr<IDispatch> control;
    CoCreateInstance(fakectl::kClsidControl, control);
    const Variant args[] = {Variant(40), Variant("2")};
    for (auto _ : state) {
        Variant result;
        benchmark::DoNotOptimize(control->Invoke(5, DISPATCH_METHOD, args, &result, nullptr));
    }
}
BENCHMARK(BM_Invoke);

} // namespace
