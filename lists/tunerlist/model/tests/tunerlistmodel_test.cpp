#include "tunerlist_testing.h"

#include "lists/tunerlist/model/tunerlistmodel.h"
#include "platform/registry.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/netns_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace {

using namespace tunerlist;
using namespace tunertest;

TEST(TunerRows, ColumnsOfAnEntry)
{
    struct Case
    {
        std::string sdp;
        std::array<std::string, kColumnCount> texts;
    };
    const Case cases[] = {
        {SessionText(7, "News", "1572864"),
         {"News", "5007", "239.1.1.7", "m2p", "1.5", "10.0.0.1"}},
        {SessionText(8, "No rate", ""), {"No rate", "5008", "239.1.1.8", "m2p", "*", "10.0.0.1"}},
        {SessionText(9, "Junk rate", "fast"),
         {"Junk rate", "5009", "239.1.1.9", "m2p", "*", "10.0.0.1"}},
        {"", {"", "", "", "", "*", ""}},
    };
    for (const Case& c : cases) {
        const TunerRow row = BuildTunerRow(c.sdp, 0x0100000a);
        EXPECT_EQ(row.texts, c.texts) << c.sdp;
        EXPECT_EQ(row.sdp, c.sdp);
    }
    // The key tells entries apart by their o= line and their origin.
    const std::string text = SessionText(7, "News", "1");
    EXPECT_EQ(BuildTunerRow(text, 1).key, BuildTunerRow(SessionText(7, "Renamed", "2"), 1).key);
    EXPECT_NE(BuildTunerRow(text, 1).key, BuildTunerRow(text, 2).key);
    EXPECT_NE(BuildTunerRow(text, 1).key, BuildTunerRow(SessionText(6, "News", "1"), 1).key);
}

class TunerListModelTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_port = FreePort();
        m_sender = std::make_unique<qvtest::UdpSocket>();
    }

    // Section "QV" of "QvCtl.ini" in the Windows directory.
    void WriteIni(const std::string& lines) const
    {
        const auto dir = m_env.Root() / "windows";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "QvCtl.ini") << "[QV]\n" << lines;
    }
    // Listening on the test's pair, scanning every 20 ms; entries live for
    // `lifetime` scans.
    void WriteTestPair(const std::string& more = "", int lifetime = 1000000) const
    {
        WriteIni("SAPAddress0=" + std::string(kSapGroup) + "\nSAPPort0=" + std::to_string(m_port) +
                 "\nSAPDbScanPeriod=20\nSAPEntryLifetime=" + std::to_string(lifetime) + "\n" +
                 more);
    }
    void Announce(const std::string& text)
    {
        m_sender->SendTo(kSapGroup, m_port, Announcement(text));
    }
    static std::map<std::string, std::string> KeyValues()
    {
        std::map<std::string, std::string> values;
        qvplat::RegKey key;
        std::vector<qvplat::RegValue> all;
        if (key.Open(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey) ==
                qvplat::RegResult::Success &&
            key.GetValues(all) == qvplat::RegResult::Success) {
            for (const qvplat::RegValue& value : all) {
                values[value.name] =
                    value.type == qvplat::REG_SZ
                        ? std::string(reinterpret_cast<const char*>(value.data.data()))
                        : "#" + std::to_string(value.type);
            }
        }
        return values;
    }

    qvtest::SettingsEnv m_env;
    std::uint16_t m_port = 0;
    std::unique_ptr<qvtest::UdpSocket> m_sender;
};

TEST_F(TunerListModelTest, StartFindsItsPairsAndAddsOnlyTheDefaultsToTheKey)
{
    const std::map<std::string, std::string> defaults = {{"SAPADDRESS0", "224.2.127.254"},
                                                         {"SAPPORT0", "9875"},
                                                         {"SAPADDRESS1", "226.0.0.0"},
                                                         {"SAPPORT1", "6318"}};
    {
        // Nothing anywhere: exactly the four defaults, nothing of "QvCtl.ini".
        WriteIni("SAPDbScanPeriod=20\nPort=1234\n");
        TunerListModel model;
        EXPECT_EQ(model.Start(), 0);
        EXPECT_EQ(KeyValues(), defaults);
        EXPECT_EQ(model.Start(), -1) << "already running";
        model.Stop();
    }
    {
        // A key of other owners' values without SAPPort0 keeps them.
        qvplat::RegKey key;
        ASSERT_EQ(qvplat::DeleteRegKey(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey),
                  qvplat::RegResult::Success);
        ASSERT_EQ(key.Create(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey),
                  qvplat::RegResult::Success);
        key.SetValue(qvplat::MakeStringValue("SapDbFile", "c:\\sapdb.txt"));
        key.SetValue(qvplat::MakeDwordValue("Flags", 7));
        TunerListModel model;
        EXPECT_EQ(model.Start(), 0);
        auto expected = defaults;
        expected["SapDbFile"] = "c:\\sapdb.txt";
        expected["Flags"] = "#4";
        EXPECT_EQ(KeyValues(), expected);
    }
    {
        // "QvCtl.ini" names the pair: the key is left alone, and the other
        // controls' Address and Port do not reach the listeners.
        WriteTestPair("Address=239.9.9.9\nPort=1234\n");
        ASSERT_EQ(qvplat::DeleteRegKey(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey),
                  qvplat::RegResult::Success);
        TunerListModel model;
        ASSERT_EQ(model.Start(), 0);
        EXPECT_TRUE(KeyValues().empty());
        Announce(SessionText(1, "Heard", "1"));
        EXPECT_TRUE(WaitFor([&] { return model.NumItems() == 1; }));
    }
    {
        // -1 when the directory cannot start: no such interface here.
        WriteTestPair("Interface=10.9.9.9\n");
        TunerListModel model;
        EXPECT_EQ(model.Start(), -1);
        EXPECT_FALSE(model.IsStarted());
    }
}

TEST_F(TunerListModelTest, PageQuestionsRowsAndOneChangePerTimerTick)
{
    WriteTestPair();
    TunerListModel model;
    ASSERT_EQ(model.Start(), 0);
    const std::string zulu = SessionText(1, "zulu", "");
    const std::string alpha = SessionText(2, "Alpha", "3145728");
    Announce(zulu);
    Announce(alpha);
    ASSERT_TRUE(WaitFor([&] { return model.Refresh() && model.Rows().size() == 2; }));
    EXPECT_FALSE(model.Refresh()) << "no change since";

    const int first = model.GetItemValue(0, "SesSesName") == "zulu" ? 0 : 1;
    EXPECT_EQ(model.GetSDP(first), zulu);
    EXPECT_EQ(model.GetItemValue(1 - first, "bitrate"), "3145728");
    for (const int item : {-1, 2, 32767}) {
        EXPECT_EQ(model.GetItemValue(item, "SesSesName"), "") << item;
        EXPECT_EQ(model.GetSDP(item), "") << item;
    }
    // Sorted by program, any case; no Bitrate shows "*".
    EXPECT_EQ(model.Rows()[0]->texts[kProgram], "Alpha");
    EXPECT_EQ(model.Rows()[0]->texts[kRate], "3.0");
    EXPECT_EQ(model.Rows()[1]->texts[kRate], "*");
    EXPECT_EQ(model.Select(1)->entry, first);
    EXPECT_EQ(model.Select(1)->sdp, zulu);
    EXPECT_FALSE(model.Select(2));

    // Any number of changes between two ticks: one.
    model.Directory().LockDb();
    for (int i = 0; i < 3; ++i) {
        model.Directory().OnChange();
    }
    model.Directory().UnlockDb();
    EXPECT_TRUE(model.Refresh());
    EXPECT_FALSE(model.Refresh());
    EXPECT_EQ(model.Rows().size(), 2u);
}

TEST_F(TunerListModelTest, ARowOutlivesItsEntry)
{
    WriteTestPair("", 2);
    TunerListModel model;
    ASSERT_EQ(model.Start(), 0);
    const std::string text = SessionText(3, "Short lived", "1048576");
    // Announced until its row is shown and resolves to its entry.
    ASSERT_TRUE(WaitFor([&] {
        Announce(text);
        model.Refresh();
        return model.Rows().size() == 1 && model.Select(0)->entry == 0;
    }));
    const std::string key = model.Rows()[0]->key;

    ASSERT_TRUE(WaitFor([&] { return model.NumItems() == 0; })) << "the entry never aged out";
    ASSERT_EQ(model.Rows().size(), 1u) << "the list changes only at the timer";
    const auto gone = model.Select(0);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->entry, -1);
    EXPECT_EQ(gone->sdp, text);

    // The same session announced again, behind another, is found by the
    // row's key.
    EXPECT_TRUE(WaitFor([&] {
        Announce(SessionText(9, "Other", "1"));
        Announce(text);
        const auto again = model.Select(model.FindRow(key));
        return again->entry >= 0 && model.GetSDP(again->entry) == text;
    }));
}

} // namespace
