#include "lists/tunerlist/model/tunerlistmodel.h"

#include "platform/registry.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace {

using namespace tunerlist;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.195.7.7";

std::string SessionText(int id, const std::string& name, const std::string& rate)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 10.0.0.1\ns=" + name +
           "\nc=IN IP4 239.1.1." + std::to_string(id) + "/15\n" +
           (rate.empty() ? "" : "b=X-QV:" + rate + "\n") + "t=0 0\na=mux:m2p\nm=video " +
           std::to_string(5000 + id) + " UDP 0\n";
}

// Polls for a condition for at most 30 s (a bound for a hung test).
bool WaitFor(const std::function<bool()>& condition)
{
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(TunerRows, ColumnsOfAnEntry)
{
    const std::pair<std::string, std::array<std::string, kColumnCount>> cases[] = {
        {SessionText(7, "News", "1572864"),
         {"News", "5007", "239.1.1.7", "m2p", "1.5", "10.0.0.1"}},
        {SessionText(8, "No rate", ""), {"No rate", "5008", "239.1.1.8", "m2p", "*", "10.0.0.1"}},
        {SessionText(9, "Bad", "fast"), {"Bad", "5009", "239.1.1.9", "m2p", "*", "10.0.0.1"}},
        {"", {"", "", "", "", "*", ""}},
    };
    for (const auto& [sdp, texts] : cases) {
        const TunerRow row = BuildTunerRow(sdp, 1);
        EXPECT_EQ(row.texts, texts) << sdp;
        EXPECT_EQ(row.sdp, sdp);
    }
}

class TunerListModelTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            m_sender = std::make_unique<qvtest::UdpSocket>();
            m_port = qvtest::UdpSocket().LocalPort();
        }
    }
    // Section "QV" of "QvCtl.ini"; with `pair`, the test's pair, a scan every
    // 20 ms and entries living `lifetime` scans.
    void WriteIni(bool pair, const std::string& more = "", int lifetime = 1000000) const
    {
        const auto dir = m_env.Root() / "windows";
        std::filesystem::create_directories(dir);
        std::ofstream ini(dir / "QvCtl.ini");
        ini << "[QV]\nSAPDbScanPeriod=20\nSAPEntryLifetime=" << lifetime << "\n" << more;
        if (pair) {
            ini << "SAPAddress0=" << kGroup << "\nSAPPort0=" << m_port << "\n";
        }
    }
    void Announce(const std::string& text) const
    {
        const char header[8] = {0x20, 0, 0x34, 0x12, 10, 0, 0, 1};
        m_sender->SendTo(kGroup, m_port, std::string(header, 8) + text + std::string(1, '\0'));
    }
    // The directory key's values (types other than text as "#type").
    static std::map<std::string, std::string> KeyValues()
    {
        std::map<std::string, std::string> values;
        std::vector<qvplat::RegValue> all;
        qvplat::RegKey key;
        key.Open(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey);
        key.GetValues(all);
        for (const qvplat::RegValue& value : all) {
            values[value.name] = value.type == qvplat::REG_SZ
                                     ? reinterpret_cast<const char*>(value.data.data())
                                     : "#" + std::to_string(value.type);
        }
        return values;
    }

    qvtest::SettingsEnv m_env;
    std::unique_ptr<qvtest::UdpSocket> m_sender;
    std::uint16_t m_port = 0;
};

TEST_F(TunerListModelTest, StartFindsItsPairsAndAddsOnlyTheDefaultsToTheKey)
{
    std::map<std::string, std::string> defaults = {{"SAPADDRESS0", "224.2.127.254"},
                                                   {"SAPPORT0", "9875"},
                                                   {"SAPADDRESS1", "226.0.0.0"},
                                                   {"SAPPORT1", "6318"}};
    // Nothing anywhere: exactly the four defaults, nothing of "QvCtl.ini".
    WriteIni(false, "Port=1234\n");
    TunerListModel first;
    EXPECT_EQ(first.Start(), 0);
    EXPECT_EQ(KeyValues(), defaults);
    EXPECT_EQ(first.Start(), -1) << "running already";
    first.Stop();

    // A key of other owners' values without SAPPort0 keeps them.
    qvplat::DeleteRegKey(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey);
    qvplat::RegKey key;
    key.Create(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey);
    key.SetValue(qvplat::MakeStringValue("SapDbFile", "c:\\sapdb.txt"));
    key.SetValue(qvplat::MakeDwordValue("Flags", 7));
    TunerListModel second;
    EXPECT_EQ(second.Start(), 0);
    defaults.insert({{"SapDbFile", "c:\\sapdb.txt"}, {"Flags", "#4"}});
    EXPECT_EQ(KeyValues(), defaults);
    second.Stop();

    // "QvCtl.ini" names the pair: the key stays as it is, and the other
    // controls' Address and Port there do not reach the listeners.
    WriteIni(true, "Address=239.9.9.9\nPort=1234\n");
    TunerListModel third;
    ASSERT_EQ(third.Start(), 0);
    EXPECT_EQ(KeyValues(), defaults);
    Announce(SessionText(1, "Heard", "1"));
    EXPECT_TRUE(WaitFor([&] { return third.NumItems() == 1; }));

    // -1 when the directory cannot start: no such interface here.
    WriteIni(true, "Interface=10.9.9.9\n");
    EXPECT_EQ(TunerListModel().Start(), -1);
}

TEST_F(TunerListModelTest, PageQuestionsRowsAndOneChangePerTimerTick)
{
    WriteIni(true);
    TunerListModel model;
    ASSERT_EQ(model.Start(), 0);
    const std::string zulu = SessionText(1, "zulu", "");
    Announce(zulu);
    Announce(SessionText(2, "Alpha", "3145728"));
    ASSERT_TRUE(WaitFor([&] { return model.Refresh() && model.Rows().size() == 2; }));
    EXPECT_FALSE(model.Refresh()) << "no change since";

    const int first = model.GetItemValue(0, "SesSesName") == "zulu" ? 0 : 1;
    EXPECT_EQ(model.GetSDP(first), zulu);
    EXPECT_EQ(model.GetItemValue(1 - first, "bitrate"), "3145728");
    for (const int item : {-1, 2, 32767}) {
        EXPECT_EQ(model.GetItemValue(item, "SesSesName") + model.GetSDP(item), "") << item;
    }
    // Sorted by program in any case; the selection names the entry, not
    // the row.
    EXPECT_EQ(model.Rows()[0]->texts[kProgram], "Alpha");
    EXPECT_EQ(model.Rows()[0]->texts[kRate], "3.0");
    EXPECT_EQ(model.Select(1)->entry, first);
    EXPECT_EQ(model.Select(1)->sdp, zulu);
    EXPECT_FALSE(model.Select(2));

    // Any number of changes between two ticks: one.
    model.Directory().LockDb();
    model.Directory().OnChange();
    model.Directory().OnChange();
    model.Directory().UnlockDb();
    EXPECT_TRUE(model.Refresh());
    EXPECT_FALSE(model.Refresh());
}

TEST_F(TunerListModelTest, ARowOutlivesItsEntry)
{
    WriteIni(true, "", 2);
    TunerListModel model;
    ASSERT_EQ(model.Start(), 0);
    const std::string text = SessionText(3, "Short lived", "1048576");
    ASSERT_TRUE(WaitFor([&] {
        Announce(text);
        model.Refresh();
        return model.Rows().size() == 1 && model.Select(0)->entry == 0;
    }));

    ASSERT_TRUE(WaitFor([&] { return model.NumItems() == 0; })) << "the entry never aged out";
    ASSERT_EQ(model.Rows().size(), 1u) << "the list changes only at the timer";
    EXPECT_EQ(model.Select(0)->entry, -1);
    EXPECT_EQ(model.Select(0)->sdp, text);
}

} // namespace
