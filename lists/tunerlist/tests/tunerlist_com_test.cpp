// The channel list control loaded as a component server, without a window:
// its identity, and the page's calls on the user-interface thread while a
// storm of announcements keeps the directory busy. The site's dispatcher is
// never pumped during the calls, so anything in the control that waited for
// the user-interface thread would hang them.
#include "lists/tunerlist/model/tests/tunerlist_testing.h"

#include "platform/com/control.h"
#include "platform/com/creation.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/netns_fixture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using namespace qvplat;
using namespace tunertest;

class Site final : public ComObject<IQvControlSite>
{
public:
    Site(IUnknown* outer, std::shared_ptr<UiDispatcher> ui) : ComObject(outer), m_ui(std::move(ui))
    {
    }
    std::shared_ptr<UiDispatcher> GetUiDispatcher() override { return m_ui; }

private:
    std::shared_ptr<UiDispatcher> m_ui;
};

HRESULT Call(IDispatch* object, const std::string& name, std::vector<Variant> args = {},
             Variant* result = nullptr)
{
    DISPID id = DISPID_UNKNOWN;
    const std::string names[] = {name};
    if (const HRESULT hr = object->GetIDsOfNames(names, {&id, 1}); Failed(hr)) {
        return hr;
    }
    return object->Invoke(id, DISPATCH_METHOD, args, result, nullptr);
}

// Ends the process when the calls it guards do not return in time.
class HangGuard
{
public:
    explicit HangGuard(const char* what)
        : m_thread([this, what] {
              std::unique_lock<std::mutex> hold(m_lock);
              if (!m_done.wait_for(hold, 2 * kPatience, [this] { return m_finished; })) {
                  std::fprintf(stderr, "hung: %s\n", what);
                  std::abort();
              }
          })
    {
    }
    ~HangGuard()
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

class TunerListCom : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        void* library = dlopen(TUNERLIST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto registerServer = reinterpret_cast<HRESULT (*)()>(dlsym(library, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
        dlclose(library);

        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID("TUNERLIST.TunerListCtrl.1", &clsid), S_OK);
        EXPECT_EQ(clsid, MakeGuid("{AAB3CB4B-395E-4735-841F-6C20C6337DDC}"));
        ASSERT_EQ(CLSIDFromProgID("TUNERLIST.TunerListPropPage.1", &clsid), S_OK);
        EXPECT_EQ(clsid, MakeGuid("{E7AD4599-1605-4039-B3AB-0DE88CA0F2EB}"));
        ASSERT_EQ(CoCreateInstance(MakeGuid("{AAB3CB4B-395E-4735-841F-6C20C6337DDC}"), m_control),
                  S_OK);
        m_site = ComPtr<Site>(new Site(nullptr, m_ui));
        ASSERT_EQ(m_control.As<IQvControl>()->SetClientSite(m_site.Get()), S_OK);
    }
    void TearDown() override
    {
        if (m_control) {
            m_control.As<IQvControl>()->Close();
            m_control.Reset();
        }
        CoFreeUnusedLibraries();
        NetnsTest::TearDown();
    }

    qvtest::SettingsEnv m_env;
    std::shared_ptr<PumpedUiDispatcher> m_ui = std::make_shared<PumpedUiDispatcher>();
    ComPtr<IDispatch> m_control;
    ComPtr<Site> m_site;
};

TEST_F(TunerListCom, DispatchIdentity)
{
    const DispatchInterfaceInfo* dispatch = nullptr;
    const DispatchInterfaceInfo* events = nullptr;
    ASSERT_EQ(m_control.As<IQvControl>()->GetTypeInfo(&dispatch, &events), S_OK);
    EXPECT_EQ(dispatch->iid, MakeGuid("{9571D7DF-3B85-41FC-A2AE-914C6387ED8C}"));
    EXPECT_EQ(events->iid, MakeGuid("{88ADF594-FCA5-4ECA-8042-CF058DD86CDB}"));
    const std::pair<const char*, DISPID> members[] = {{"GetItemValue", 1}, {"NumItems", 2},
                                                      {"GetSDP", 3},       {"Start", 4},
                                                      {"Stop", 5},         {"AboutBox", -552}};
    for (const auto& [name, id] : members) {
        ASSERT_NE(dispatch->Find(name), nullptr) << name;
        EXPECT_EQ(dispatch->Find(name)->id, id) << name;
    }
    EXPECT_EQ(events->Find("OnDbChange")->id, 1);
    EXPECT_EQ(events->Find("OnItemSelected")->id, 2);
    EXPECT_EQ(events->Find("OnItemSelected")->params, (std::vector<VARTYPE>{VT_I2, VT_BSTR}));
}

TEST_F(TunerListCom, CallsFromTheUiThreadReturnDuringAStorm)
{
    const std::uint16_t port = FreePort();
    std::filesystem::create_directories(m_env.Root() / "windows");
    std::ofstream(m_env.Root() / "windows" / "QvCtl.ini")
        << "[QV]\nSAPAddress0=" << kSapGroup << "\nSAPPort0=" << port
        << "\nSAPDbScanPeriod=5\nSAPEntryLifetime=3\n";
    Variant result;
    ASSERT_EQ(Call(m_control.Get(), "Start", {}, &result), S_OK);
    ASSERT_EQ(result, Variant(0));

    std::atomic<bool> storming{true};
    std::thread storm([&] {
        qvtest::UdpSocket sender;
        for (int i = 0; storming; i = (i + 1) % 2000) {
            sender.SendTo(kSapGroup, port, Announcement(SessionText(i, "Storm", "1000000")));
        }
    });
    {
        HangGuard guard("page calls and Stop during the storm");
        EXPECT_TRUE(WaitFor([&] {
            return Succeeded(Call(m_control.Get(), "NumItems", {}, &result)) && result.Short() > 50;
        })) << "the storm never reached the directory";
        int named = 0;
        for (int round = 0; round < 500; ++round) {
            Variant name;
            Variant sdp;
            EXPECT_EQ(Call(m_control.Get(), "GetItemValue",
                           {Variant(round % 50), Variant("SesSesName")}, &name),
                      S_OK);
            EXPECT_EQ(Call(m_control.Get(), "GetSDP", {Variant(round % 50)}, &sdp), S_OK);
            EXPECT_EQ(Call(m_control.Get(), "NumItems", {}, &result), S_OK);
            named += name == Variant("Storm") ? 1 : 0;
        }
        EXPECT_GT(named, 0);
        EXPECT_EQ(Call(m_control.Get(), "Stop"), S_OK);
    }
    storming = false;
    storm.join();
    ASSERT_EQ(Call(m_control.Get(), "NumItems", {}, &result), S_OK);
    EXPECT_EQ(result, Variant(std::int16_t{0}));
}

} // namespace
