#include "com_testing.h"

#include "platform/com/comreg.h"

#include <filesystem>
#include <set>
#include <sys/stat.h>

namespace {

using namespace comtest;

// Every key of HKEY_CLASSES_ROOT as "path", every value as "path|name=text".
void Dump(const std::string& path, std::set<std::string>& out)
{
    RegKey key;
    ASSERT_EQ(key.Open(RegRoot::ClassesRoot, path), RegResult::Success) << path;
    if (!path.empty()) {
        out.insert(path);
    }
    std::vector<RegValue> values;
    key.GetValues(values);
    for (const RegValue& value : values) {
        std::string text(value.data.begin(), value.data.end());
        while (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        out.insert(path + "|" + value.name + "=" + text);
    }
    std::string name;
    for (std::uint32_t i = 0; key.EnumKey(i, name) == RegResult::Success; ++i) {
        Dump(path.empty() ? name : path + "\\" + name, out);
    }
}

std::set<std::string> DumpAll()
{
    std::set<std::string> keys;
    Dump("", keys);
    return keys;
}

bool IsLoaded(const char* path)
{
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

using ServerTest = RegisteredFake;

TEST_F(ServerTest, RegistrationWritesExactlyItsKeysAndUnregistrationTakesThemBack)
{
    const std::string ctl = "CLSID\\" + GuidToString(fakectl::kClsidControl);
    const std::string page = "CLSID\\" + GuidToString(fakectl::kClsidPage);
    const std::string lib = GuidToString(fakectl::kTypeLib);
    const std::string so = std::filesystem::canonical(QV_FAKECTL_PATH).string();
    const std::string scripting = "Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
    const std::string initializing = "Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}";
    const std::string marks = ctl + "\\Implemented Categories";
    std::set<std::string> kept = {
        "CLSID",
        ctl,
        marks,
        marks + "\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
        marks + "\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}",
        "Component Categories",
        scripting,
        initializing,
        scripting + "|409=Controls that are safely scriptable",
        initializing + "|409=Controls safely initializable from persistent data",
    };
    std::set<std::string> expected = kept;
    expected.insert({"Interface", "TypeLib"});
    expected.insert({
        ctl + "|=Fake Control",
        ctl + "\\Control",
        ctl + "\\Insertable",
        ctl + "\\InprocServer32",
        ctl + "\\InprocServer32|=" + so,
        ctl + "\\InprocServer32|ThreadingModel=Apartment",
        ctl + "\\MiscStatus",
        ctl + "\\MiscStatus|=0",
        ctl + "\\MiscStatus\\1",
        ctl + "\\MiscStatus\\1|=197009",
        ctl + "\\ProgID",
        ctl + "\\ProgID|=QVFAKE.FakeCtl.1",
        ctl + "\\TypeLib",
        ctl + "\\TypeLib|=" + lib,
        ctl + "\\Version",
        ctl + "\\Version|=1.0",
        page,
        page + "|=Fake Control Property Page",
        page + "\\InprocServer32",
        page + "\\InprocServer32|=" + so,
        page + "\\InprocServer32|ThreadingModel=Apartment",
        page + "\\ProgID",
        page + "\\ProgID|=QVFAKE.FakePage.1",
        "QVFAKE.FakeCtl.1",
        "QVFAKE.FakeCtl.1|=Fake Control",
        "QVFAKE.FakeCtl.1\\CLSID",
        "QVFAKE.FakeCtl.1\\CLSID|=" + GuidToString(fakectl::kClsidControl),
        "QVFAKE.FakePage.1",
        "QVFAKE.FakePage.1|=Fake Control Property Page",
        "QVFAKE.FakePage.1\\CLSID",
        "QVFAKE.FakePage.1\\CLSID|=" + GuidToString(fakectl::kClsidPage),
        "TypeLib",
        "TypeLib\\" + lib,
        "TypeLib\\" + lib + "\\1.0",
        "TypeLib\\" + lib + "\\1.0|=QVFAKELib",
    });
    for (const auto& [iid, name] : {std::pair{fakectl::kIidDispatch, "_DFakeCtl"},
                                    std::pair{fakectl::kIidEvents, "_DFakeCtlEvents"}}) {
        const std::string path = "Interface\\" + GuidToString(iid);
        expected.insert({"Interface", path, path + "|=" + name, path + "\\TypeLib",
                         path + "\\TypeLib|=" + lib, path + "\\TypeLib|Version=1.0"});
    }
    EXPECT_EQ(DumpAll(), expected);

    // The category marks, the shared definitions and the (shared) parent
    // keys stay.
    kept.insert({"Interface", "TypeLib"});
    EXPECT_EQ(CallExport(QV_FAKECTL_PATH, "DllUnregisterServer"), S_OK);
    EXPECT_EQ(DumpAll(), kept);
    EXPECT_EQ(CallExport(QV_FAKECTL_PATH, "DllUnregisterServer"), S_OK);
    EXPECT_EQ(DumpAll(), kept);
}

TEST_F(ServerTest, CreatesByClassIdAndByProgId)
{
    CLSID byProgId;
    ASSERT_EQ(CLSIDFromProgID("qvfake.fakectl.1", &byProgId), S_OK);
    EXPECT_EQ(byProgId, fakectl::kClsidControl);
    EXPECT_EQ(CLSIDFromProgID("QVFAKE.Missing.1", &byProgId), CO_E_CLASSSTRING);

    for (const CLSID& clsid : {fakectl::kClsidControl, byProgId}) {
        ComPtr<IDispatch> control;
        ASSERT_EQ(CoCreateInstance(clsid, control), S_OK);
        Variant sum;
        EXPECT_EQ(Call(control.Get(), "Add", DISPATCH_METHOD, {Variant(2), Variant("3")}, &sum),
                  S_OK);
        EXPECT_EQ(sum, Variant(5));
    }
}

TEST_F(ServerTest, BadRegistrationsGiveTheirCodesAndLeaveNothingLoaded)
{
    const std::string missingFile = (m_env.Root() / "gone.so").string();
    // The loader would wait for a writer on a FIFO, holding the libraries' lock.
    const std::string fifo = (m_env.Root() / "fifo.so").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case
    {
        std::string inproc; // "" removes InprocServer32
        HRESULT hr;
        std::string logged;
    };
    const Case cases[] = {
        {"", REGDB_E_CLASSNOTREG, "not registered"},
        {missingFile, CO_E_DLLNOTFOUND, "not found"},
        {QV_NOEXPORTS_PATH, CO_E_ERRORINDLL, "lacks the exports"},
        {m_env.Root().string(), CO_E_ERRORINDLL, "does not load"}, // a directory
        {fifo, CO_E_ERRORINDLL, "does not load"},
    };
    const std::string inproc =
        "CLSID\\" + GuidToString(fakectl::kClsidControl) + "\\InprocServer32";
    for (const Case& c : cases) {
        {
            std::lock_guard<std::mutex> hold(g_logLock);
            g_log.clear();
        }
        if (c.inproc.empty()) {
            ASSERT_EQ(comreg::DeleteTree(inproc), RegResult::Success);
        } else {
            ASSERT_EQ(comreg::SetText(inproc, "", c.inproc), RegResult::Success);
        }
        ComPtr<IUnknown> object;
        EXPECT_EQ(CoCreateInstance(fakectl::kClsidControl, nullptr, IID_IUnknown, object.PutVoid()),
                  c.hr)
            << c.inproc;
        EXPECT_FALSE(object);
        std::lock_guard<std::mutex> hold(g_logLock);
        ASSERT_EQ(g_log.size(), 1u) << c.inproc;
        EXPECT_NE(g_log[0].find(c.logged), std::string::npos) << g_log[0];
    }
    EXPECT_FALSE(IsLoaded(QV_NOEXPORTS_PATH));
}

// An object that aggregates the fake control and passes two of its
// interfaces on as its own.
class Outer final : public ComUnknown
{
public:
    explicit Outer(IUnknown* outer) : ComUnknown(outer)
    {
        m_created = CoCreateInstance(fakectl::kClsidControl, NonDelegatingUnknown(), IID_IUnknown,
                                     m_inner.PutVoid());
    }
    HRESULT NonDelegatingQueryInterface(const IID& iid, void** out) override
    {
        if ((iid == IID_IDispatch || iid == IQvControl::Iid) && m_inner) {
            return m_inner->QueryInterface(iid, out);
        }
        return ComUnknown::NonDelegatingQueryInterface(iid, out);
    }

    HRESULT m_created;
    ComPtr<IUnknown> m_inner; // the inner object's own unknown
};

TEST_F(ServerTest, AggregatedControlHasTheOuterIdentity)
{
    auto* raw = new Outer(nullptr);
    ComPtr<IUnknown> outer(raw->NonDelegatingUnknown());
    ASSERT_EQ(raw->m_created, S_OK);
    // The inner object's own unknown is not the outer one.
    EXPECT_NE(raw->m_inner.Get(), outer.Get());
    EXPECT_EQ(raw->m_inner.As<IUnknown>().Get(), raw->m_inner.Get());
    ComPtr<IDispatch> dispatch = outer.As<IDispatch>();
    ASSERT_TRUE(dispatch);
    // Every interface of the inner object answers for the outer one.
    EXPECT_EQ(dispatch.As<IUnknown>().Get(), outer.Get());
    ComPtr<IQvControl> control = dispatch.As<IQvControl>();
    ASSERT_TRUE(control);
    EXPECT_EQ(control.As<IUnknown>().Get(), outer.Get());

    // The outer count keeps both alive.
    outer.Reset();
    control.Reset();
    Variant sum;
    EXPECT_EQ(Call(dispatch.Get(), "Add", DISPATCH_METHOD, {Variant(1), Variant(1)}, &sum), S_OK);

    // Aggregation asks for the own unknown only.
    ComPtr<IDispatch> refused;
    EXPECT_EQ(CoCreateInstance(fakectl::kClsidControl, dispatch.As<IUnknown>().Get(), IID_IDispatch,
                               refused.PutVoid()),
              CLASS_E_NOAGGREGATION);
}

TEST_F(ServerTest, LibraryStaysWhileAnObjectOrALockLives)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(fakectl::kClsidControl, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IDispatch> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid()), S_OK);
    factory->LockServer(true);
    factory.Reset();

    void* handle = dlopen(QV_FAKECTL_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
    dlclose(handle);

    EXPECT_EQ(canUnload(), S_FALSE);
    CoFreeUnusedLibraries();
    ASSERT_TRUE(IsLoaded(QV_FAKECTL_PATH));
    Variant sum;
    EXPECT_EQ(Call(control.Get(), "Add", DISPATCH_METHOD, {Variant(1), Variant(2)}, &sum), S_OK);
    control.Reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "the server lock still holds it";

    ASSERT_EQ(CoGetClassObject(fakectl::kClsidControl, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(false), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_OK);
}

} // namespace

namespace {

TEST_F(ServerTest, CategoryDescriptionsAreCutTo127Characters)
{
    const CATID category = MakeGuid("{B75B7A5F-A613-49C4-A8AB-12ABFF436F0B}");
    const std::string path = "Component Categories\\" + GuidToString(category);
    const std::string ascii(200, 'x');
    // "é" is two bytes in UTF-8; one starts at byte 126 and would be cut in two.
    const std::string accented = std::string(126, 'a') + "\xC3\xA9" + "tail";
    const std::pair<std::string, std::string> cases[] = {
        {ascii, ascii.substr(0, 127)},
        {accented, accented.substr(0, 126)},
        {"short", "short"},
    };
    for (const auto& [description, stored] : cases) {
        ASSERT_EQ(CreateComponentCategory(category, description), S_OK);
        std::string text;
        ASSERT_TRUE(comreg::ReadText(path, "409", text));
        EXPECT_EQ(text, stored);
    }
}

} // namespace
