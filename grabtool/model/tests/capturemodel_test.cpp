// The capture model without a network: its log, its settings file and its
// statistics texts.
#include "capture_testing.h"

#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using grabtool::CaptureModel;

TEST(CaptureLogTest, KeepsTheNewest1000CharactersUnderAppendsFromFourThreads)
{
    qvtest::SettingsEnv env;
    grabtest::FakeHost host;
    CaptureModel model(host, host.Ui(), (env.Root() / "grabtool.ini").string());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&model, t] {
            for (int i = 0; i < 2000; ++i) {
                model.AddLogText("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                 "\r\n");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    host.Pump();
    EXPECT_EQ(host.OffUiUpdates(), 0); // the window is updated on its own thread only

    const std::string log = model.LogText();
    ASSERT_EQ(log.size(), 1000u);
    // Whole lines after the first cut one; the newest line of the last
    // thread to finish is the end.
    const std::string whole = log.substr(log.find("\r\n") + 2);
    EXPECT_TRUE(std::regex_match(whole, std::regex("(thread [0-3] line [0-9]+\r\n)+")));
    EXPECT_NE(log.find(" line 1999\r\n", log.size() - 16), std::string::npos);

    // A cut never leaves half a character behind.
    grabtool::CaptureLog utf8;
    std::string text;
    for (int i = 0; i < 500; ++i) {
        text += "\xC3\xA9";
    }
    utf8.Append(text + "a");
    EXPECT_EQ(utf8.Text(), text.substr(2) + "a");
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CaptureSettingsTest, StartMergesItsOwnKeysAndExitAddsFormatAndMux)
{
    qvtest::SettingsEnv env;
    const std::string ini = (env.Root() / "grabtool.ini").string();
    std::ofstream(ini) << "[QV]\nFoo=bar\nUDCTimeout=3000\nAddress=10.1.1.1\nPort=2001\n"
                          "Interface=10.9.9.9\nPacketFormat=OVS\n";
    grabtest::FakeHost host;
    CaptureModel model(host, host.Ui(), ini);
    EXPECT_EQ(model.Address(), "10.1.1.1");
    EXPECT_EQ(model.Port(), "2001");
    EXPECT_EQ(model.Interfaces().front(), "<any>");

    model.SetAddress(""); // emptied
    model.SetUnicast(true);
    model.OnFileChosen("/captures/news");
    model.SetPacketFormatText("OPV");
    model.OnStartStop();
    EXPECT_EQ(model.State(), grabtool::CaptureState::Waiting);
    EXPECT_TRUE(host.TimerRunning(CaptureModel::kWaitTimer));
    EXPECT_EQ(model.ButtonText(), "Start");
    EXPECT_FALSE(model.InputsEnabled());
    EXPECT_EQ(ReadText(ini), "[QV]\nFOO=bar\nUDCTIMEOUT=3000\nPORT=2001\n"
                             "FILENAME=/captures/news.MPG\nUNICAST=true\n");

    model.OnExit();
    EXPECT_EQ(model.State(), grabtool::CaptureState::Idle);
    EXPECT_FALSE(host.TimerRunning(CaptureModel::kWaitTimer));
    EXPECT_EQ(ReadText(ini), "[QV]\nFOO=bar\nUDCTIMEOUT=3000\nPORT=2001\n"
                             "FILENAME=/captures/news.MPG\nUNICAST=true\nPACKETFORMAT=OPV\n");
}

TEST(CaptureStatisticsTest, TextsForKnownCounts)
{
    constexpr std::uint64_t kGiB = 1ULL << 30;
    struct Case
    {
        std::uint64_t written, last, lost, recovered;
        const char *bytes, *mbps, *lostRecovered;
    };
    for (const Case& c : {
             Case{31250, 0, 0, 0, "31250", "1.000000", "0-0"},
             Case{5 * kGiB + 62500, 5 * kGiB, 4 * kGiB + 1, 6 * kGiB, "5368771620", "2.000000",
                  "4294967297-6442450944"},
         }) {
        const grabtool::CaptureStatistics s =
            grabtool::FormatStatistics(c.written, c.last, c.lost, c.recovered);
        EXPECT_EQ(s.bytes, c.bytes);
        EXPECT_EQ(s.mbps, c.mbps);
        EXPECT_EQ(s.lostRecovered, c.lostRecovered);
    }
}

} // namespace
