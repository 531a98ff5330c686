#include "com_testing.h"

#include <future>
#include <map>

namespace {

using namespace comtest;

constexpr std::uint32_t kPatienceMs = 30000; // a bound for a hung test, not a speed check

class ControlTest : public RegisteredFake
{
protected:
    void SetUp() override
    {
        RegisteredFake::SetUp();
        ASSERT_EQ(CoCreateInstance(fakectl::kClsidControl, m_control), S_OK);
        m_site = Make<TestSite>(m_ui);
        m_sink = Make<RecordingSink>(m_ui);
        ASSERT_EQ(m_control.As<IQvControl>()->SetClientSite(m_site.Get()), S_OK);
        ASSERT_EQ(m_control.As<IQvEventSource>()->Advise(m_sink.Get(), &m_cookie), S_OK);
    }
    void TearDown() override
    {
        if (m_control) {
            m_control.As<IQvControl>()->Close();
            m_control.Reset();
        }
        RegisteredFake::TearDown();
    }

    std::shared_ptr<PumpedUiDispatcher> m_ui = std::make_shared<PumpedUiDispatcher>();
    ComPtr<IDispatch> m_control;
    ComPtr<TestSite> m_site;
    ComPtr<RecordingSink> m_sink;
    std::uint32_t m_cookie = 0;
};

TEST_F(ControlTest, InvokeCoercesArgumentsAndRefusesBadCalls)
{
    struct Case
    {
        const char* name;
        std::uint16_t flags;
        std::vector<Variant> args;
        HRESULT hr;
        Variant result;
        std::uint32_t argError = 0;
    };
    const Case cases[] = {
        {"add", DISPATCH_METHOD, {Variant("40"), Variant(true)}, S_OK, Variant(39)},
        {"Scale",
         DISPATCH_METHOD | DISPATCH_PROPERTYGET,
         {Variant(1.5), Variant("2")},
         S_OK,
         Variant(3.0)},
        {"Count", DISPATCH_PROPERTYPUT, {Variant("17")}, S_OK, Variant()},
        {"COUNT", DISPATCH_PROPERTYGET, {}, S_OK, Variant(17)},
        {"Enabled", DISPATCH_PROPERTYPUT, {Variant("false")}, S_OK, Variant()},
        {"Enabled", DISPATCH_PROPERTYGET, {}, S_OK, Variant(false)},
        {"ReadyState", DISPATCH_PROPERTYGET, {}, S_OK, Variant(4)},
        {"Add", DISPATCH_METHOD, {Variant(1)}, DISP_E_BADPARAMCOUNT, Variant()},
        {"Add",
         DISPATCH_METHOD,
         {Variant(1), Variant(2), Variant(3)},
         DISP_E_BADPARAMCOUNT,
         Variant()},
        {"Count", DISPATCH_PROPERTYGET, {Variant(1)}, DISP_E_BADPARAMCOUNT, Variant()},
        {"Add", DISPATCH_METHOD, {Variant(1), Variant("two")}, DISP_E_TYPEMISMATCH, Variant(), 1},
        {"Scale", DISPATCH_METHOD, {Variant(1.0), Variant(70000)}, DISP_E_OVERFLOW, Variant(), 1},
        {"Count", DISPATCH_PROPERTYPUT, {Variant(m_control.Get())}, DISP_E_TYPEMISMATCH, Variant()},
        {"ReadyState", DISPATCH_PROPERTYPUT, {Variant(1)}, DISP_E_MEMBERNOTFOUND, Variant()},
        {"Add", DISPATCH_PROPERTYGET, {Variant(1), Variant(2)}, DISP_E_MEMBERNOTFOUND, Variant()},
        {"Count", DISPATCH_METHOD, {}, DISP_E_MEMBERNOTFOUND, Variant()},
        {"Fail", DISPATCH_METHOD, {}, DISP_E_EXCEPTION, Variant()},
        {"NoSuchMember", DISPATCH_METHOD, {}, DISP_E_UNKNOWNNAME, Variant()},
    };
    for (const Case& c : cases) {
        Variant result;
        std::uint32_t argError = 99;
        EXPECT_EQ(Call(m_control.Get(), c.name, c.flags, c.args, &result, &argError), c.hr)
            << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        if (c.hr == DISP_E_TYPEMISMATCH || c.hr == DISP_E_OVERFLOW) {
            EXPECT_EQ(argError, c.argError) << c.name;
        }
    }
    EXPECT_EQ(m_control->Invoke(12345, DISPATCH_METHOD, {}, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    const std::string names[] = {"Caption", "Bogus"};
    DISPID ids[2] = {};
    EXPECT_EQ(m_control->GetIDsOfNames(names, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
}

TEST_F(ControlTest, InvokeFromAnotherThreadIsRefused)
{
    const HRESULT hr =
        std::async(std::launch::async, [&] {
            return Call(m_control.Get(), "Count", DISPATCH_PROPERTYPUT, {Variant(5)});
        }).get();
    EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
    Variant count;
    EXPECT_EQ(Call(m_control.Get(), "Count", DISPATCH_PROPERTYGET, {}, &count), S_OK);
    EXPECT_EQ(count, Variant(0));
}

TEST_F(ControlTest, EventsFromWorkersArriveInOrderOnTheUiThreadAndNoneAfterTheControlGoes)
{
    ASSERT_EQ(Call(m_control.Get(), "FireBurst", DISPATCH_METHOD, {Variant(4), Variant(250)}),
              S_OK);
    ASSERT_TRUE(m_ui->PumpUntil([&] { return m_sink->fired.size() == 1000; }, kPatienceMs));
    std::map<std::int32_t, std::int32_t> next;
    for (const Fired& event : m_sink->fired) {
        ASSERT_EQ(event.id, fakectl::kEventTick);
        ASSERT_EQ(event.args.size(), 2u);
        EXPECT_TRUE(event.onUiThread);
        EXPECT_EQ(event.args[1].Long(), next[event.args[0].Long()]++)
            << "thread " << event.args[0].Long();
    }
    EXPECT_EQ(next.size(), 4u);

    // Another burst is queued, then the container lets the control go
    // before the UI thread comes round to it.
    ASSERT_EQ(Call(m_control.Get(), "FireBurst", DISPATCH_METHOD, {Variant(4), Variant(250)}),
              S_OK);
    m_control.As<IQvControl>()->Close();
    m_control.Reset();
    m_ui->Pump();
    EXPECT_EQ(m_sink->fired.size(), 1000u);
}

TEST_F(ControlTest, OneSinkAtATime)
{
    auto second = Make<RecordingSink>(m_ui);
    std::uint32_t cookie = 0;
    auto source = m_control.As<IQvEventSource>();
    EXPECT_EQ(source->Advise(second.Get(), &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(source->Unadvise(m_cookie + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(source->Unadvise(m_cookie), S_OK);
    EXPECT_EQ(source->Advise(second.Get(), &cookie), S_OK);
    ASSERT_EQ(Call(m_control.Get(), "Ping", DISPATCH_METHOD, {Variant(7)}), S_OK);
    ASSERT_TRUE(m_ui->PumpUntil([&] { return second->fired.size() == 1; }, kPatienceMs));
    EXPECT_EQ(second->fired[0].args, std::vector<Variant>{Variant(7)});
    EXPECT_TRUE(m_sink->fired.empty());
}

TEST_F(ControlTest, PropertyBagRoundTrip)
{
    auto persist = m_control.As<IPersistPropertyBag>();
    ASSERT_TRUE(persist);
    PropertyBag page;
    ASSERT_TRUE(page.AddParam("caption=Line \"one\"\n=two"));
    ASSERT_TRUE(page.AddParam("Count=12"));
    ASSERT_TRUE(page.AddParam("Unrelated=x"));
    EXPECT_FALSE(page.AddParam("no equals sign"));
    EXPECT_EQ(persist->Load(page), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);

    ASSERT_EQ(Call(m_control.Get(), "Count", DISPATCH_PROPERTYPUT, {Variant(13)}), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    PropertyBag saved;
    EXPECT_EQ(persist->Save(saved, true), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    EXPECT_EQ(saved.Items(), (std::vector<std::pair<std::string, std::string>>{
                                 {"Caption", "Line \"one\"\n=two"}, {"Count", "13"}}));

    // A value that does not convert is reported; the others still load.
    PropertyBag bad;
    bad.Write("Count", "many");
    bad.Write("Caption", "kept");
    EXPECT_EQ(persist->Load(bad), DISP_E_TYPEMISMATCH);
    Variant caption;
    EXPECT_EQ(Call(m_control.Get(), "Caption", DISPATCH_PROPERTYGET, {}, &caption), S_OK);
    EXPECT_EQ(caption, Variant("kept"));
}

} // namespace
