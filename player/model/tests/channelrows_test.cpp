// The channel dialog's rows from the player's directory, a choice, and the
// SAP output file the directory writes on each change; announcements go to
// a pair of the test's own in its own network namespace.
#include "player_fakes_helpers.h"

#include "player/model/channelrows.h"
#include "player/model/controlmodel.h"

#include "platform/tests/settings_env.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.195.8.8";

std::string Session(int id, const std::string& name, int port)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 10.0.0.1\ns=" + name +
           "\nc=IN IP4 239.1.1.1/15\nt=0 0\nm=video " + std::to_string(port) + " UDP 0\n";
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

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ChannelRows, RowTextAndChoice)
{
    const player::ChannelRow row = player::MakeChannelRow(Session(1, "News at ten", 5004).c_str());
    EXPECT_EQ(row.text, "239.1.1.1-5004  News at ten");
    EXPECT_EQ(player::MakeChannelRow("").text, "-  ");
    EXPECT_EQ(player::MakeChannelRow(nullptr).text, "-  ");

    QvPropertyList properties;
    properties.AddProperties("Address=1.2.3.4 Port=9 Filename=a.mpg Repeat=0");
    player::ChooseChannel(properties, nullptr);
    EXPECT_EQ(properties.GetCount(), 4);
    player::ChooseChannel(properties, &row.sdp);
    EXPECT_EQ(std::string(properties.GetProperty("SDP").chars()), row.sdp);
    EXPECT_EQ(std::string(properties.GetPropertyString().chars()).find("ADDRESS"),
              std::string::npos);
    EXPECT_FALSE(properties.Defined("Port") || properties.Defined("Filename"));
    EXPECT_TRUE(properties.Defined("Repeat"));
}

class PlayerDirectory : public qvtest::NetnsTest
{
};

TEST_F(PlayerDirectory, RowsOutliveTheirEntriesAndTheOutputFileHoldsTheTexts)
{
    if (IsSkipped()) {
        GTEST_SKIP() << "needs network namespaces";
    }
    for (const bool useFile : {true, false}) {
        qvtest::SettingsEnv env;
        const int port = qvtest::UdpSocket().LocalPort();
        const fs::path output = env.Root() / "drive_c" / "sap" / "sessions.txt";
        fs::create_directories(output.parent_path());
        QvPropertyList key;
        key.AddProperties(("SAPAddress0=" + std::string(kGroup) + " SAPPort0=" +
                           std::to_string(port) +
                           " SAPDbScanPeriod=20 SAPEntryLifetime=25 SapDbFile=c:\\sap\\sessions.txt")
                              .c_str());
        ASSERT_EQ(key.WriteRegistry(QvSapDb::registryKey, QvPropertyList::HKEY::LocalMachine), 1);
        fs::create_directories(env.Root() / "windows");
        std::ofstream(env.Root() / "windows" / "QvCtl.ini")
            << "[QV]\nUseSapFile=" << (useFile ? "1" : "0") << "\n";

        player::ControlModel model([] { return nullptr; });
        model.RunStartup();
        ASSERT_TRUE(model.Directory().IsStarted());
        EXPECT_EQ(fs::exists(output), useFile);

        // Two programs alike in address, port and name, and a third.
        const std::string texts[] = {Session(1, "Twin", 5004), Session(2, "Twin", 5004),
                                     Session(3, "alpha", 5006)};
        qvtest::UdpSocket sender;
        const char header[8] = {0x20, 0, 0, 0, 10, 0, 0, 1};
        std::vector<player::ChannelRow> rows;
        ASSERT_TRUE(WaitFor([&] {
            for (const std::string& text : texts) {
                sender.SendTo(kGroup, static_cast<std::uint16_t>(port),
                              std::string(header, 8) + text + std::string(1, '\0'));
            }
            rows = player::ReadChannelRows(model.Directory());
            return rows.size() == 3;
        }));
        EXPECT_EQ(rows[0].text, "239.1.1.1-5004  Twin");
        EXPECT_EQ(rows[1].text, "239.1.1.1-5004  Twin");
        EXPECT_EQ(rows[2].text, "239.1.1.1-5006  alpha");
        EXPECT_NE(rows[0].sdp, rows[1].sdp);

        if (useFile) {
            // After the change the file holds exactly the entries' texts.
            EXPECT_TRUE(WaitFor([&] {
                return ReadAll(output) == model.Directory().ConcatenatedTexts() &&
                       ReadAll(output).size() == texts[0].size() * 2 + texts[2].size();
            })) << ReadAll(output);
        } else {
            EXPECT_FALSE(fs::exists(output));
        }

        // Unannounced, the entries age out; the rows keep their texts.
        EXPECT_TRUE(WaitFor([&] { return model.Directory().NumEntries() == 0; }));
        QvPropertyList& properties = model.properties;
        player::ChooseChannel(properties, &rows[2].sdp);
        EXPECT_EQ(std::string(properties.GetProperty("SDP").chars()), texts[2]);
        if (useFile) {
            EXPECT_TRUE(WaitFor([&] { return ReadAll(output).empty(); }));
        }
        model.StopDirectory();
    }
}

} // namespace
