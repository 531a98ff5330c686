// The control's configuration and start-up sequence, its automation
// methods and its window-mode cycle.
#include "player_fakes_helpers.h"

#include "player/model/controlmodel.h"

#include "core/settings/qvlog.h"

#include "platform/tests/settings_env.h"
#include "platform/testsupport/netns_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace {

namespace fs = std::filesystem;
using player::ControlModel;
using playertest::FakeController;

void WriteFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A model whose controller is a fake (kept in *fake).
std::unique_ptr<ControlModel> MakeModel(FakeController** fake = nullptr)
{
    return std::make_unique<ControlModel>([fake] {
        auto controller = std::make_unique<FakeController>();
        if (fake != nullptr) {
            *fake = controller.get();
        }
        return controller;
    });
}

// The directory's key without a listening pair: start-up starts no directory.
void WriteQuietDirectoryKey(const std::string& more = "")
{
    QvPropertyList key;
    key.AddProperties(("SapDbFile=c:\\sapdb.txt " + more).c_str());
    ASSERT_EQ(key.WriteRegistry(QvSapDb::registryKey, QvPropertyList::HKEY::LocalMachine), 1);
}

TEST(PlayerStartup, IniThenProfileThenPropListAndANewProfileForgetsAddProp)
{
    qvtest::SettingsEnv env;
    WriteQuietDirectoryKey();
    WriteFile(env.Root() / "windows" / "QvCtl.ini", "[QV]\nA=ini\nB=ini\nC=ini\n");
    const fs::path first = env.Root() / "first.dat";
    const fs::path second = env.Root() / "second.dat";
    WriteFile(first, "[QV]\nB=profile\nC=profile\n");
    WriteFile(second, "[QV]\nB=second\n");

    auto model = MakeModel();
    model->propListText = "C=proplist";
    model->SetProfile(first.string());
    model->RunStartup();
    EXPECT_EQ(model->FindProp("a"), "ini");
    EXPECT_EQ(model->FindProp("B"), "profile");
    EXPECT_EQ(model->FindProp("C"), "proplist");
    EXPECT_FALSE(model->Directory().IsStarted());
    EXPECT_EQ(std::string(model->GetSapOutputFile().chars()), "c:\\sapdb.txt");

    EXPECT_EQ(model->AddProp("D", "added"), 0);
    model->SetPropList("E=\"from page\"");
    EXPECT_EQ(model->FindProp("D"), "added");
    EXPECT_EQ(model->FindProp("E"), "from page");
    EXPECT_EQ(model->GetPropList(), "");
    EXPECT_EQ(model->ClearProp("A"), 0);
    EXPECT_EQ(model->FindProp("A"), "");

    model->SetProfile(second.string());
    model->RunStartup();
    EXPECT_EQ(model->FindProp("A"), "ini");
    EXPECT_EQ(model->FindProp("B"), "second");
    EXPECT_EQ(model->FindProp("C"), "proplist");
    EXPECT_EQ(model->FindProp("D"), "");
    EXPECT_EQ(model->FindProp("E"), "");

    // An unreadable profile leaves the rest of the configuration.
    model->SetProfile((env.Root() / "missing.dat").string());
    model->RunStartup();
    EXPECT_EQ(model->FindProp("B"), "ini");
}

TEST(PlayerStartup, SettingsOfTheSequence)
{
    struct Case
    {
        std::string ini;
        bool watchTimer;
        int watchLimit;
        bool popup;
        bool autoStart;
        bool toolbar;
    };
    const Case cases[] = {
        {"", false, 5, false, false, false},
        {"WatchTimerLimit=0\nWindowStyle=popup\n", true, 5, true, false, false},
        {"WatchTimerLimit=-3\nWindowStyle=POPUP\nAutoStart=yes\n", true, 5, true, true, false},
        {"WatchTimerLimit=7\nWindowStyle=popups\nToolBar=1\n", true, 7, false, false, true},
        {"WindowStyle=\nAutoStart=no\nToolBar=TRUE\n", false, 5, false, false, true},
    };
    for (const Case& c : cases) {
        qvtest::SettingsEnv env;
        WriteQuietDirectoryKey();
        WriteFile(env.Root() / "windows" / "QvCtl.ini", "[QV]\n" + c.ini);
        auto model = MakeModel();
        const ControlModel::Startup startup = model->RunStartup();
        EXPECT_EQ(startup.watchTimer, c.watchTimer) << c.ini;
        EXPECT_EQ(model->WatchLimit(), c.watchLimit) << c.ini;
        EXPECT_EQ(startup.popup, c.popup) << c.ini;
        EXPECT_EQ(startup.autoStart, c.autoStart) << c.ini;
        EXPECT_EQ(model->toolbarShown, c.toolbar) << c.ini;
        EXPECT_EQ(model->masks.present, 0xFFFFFFA7u);
        EXPECT_EQ(model->masks.shown, 0xFFFFFF7Du);
        EXPECT_EQ(model->masks.enabled, 0x00000FE1u);
    }
}

TEST(PlayerStartup, DebugLogSessionAndWatchLines)
{
    qvtest::SettingsEnv env;
    WriteQuietDirectoryKey();
    WriteFile(env.Root() / "windows" / "QvCtl.ini", "[QV]\nDebug=1\nWatchTimerLimit=2\n");
    {
        auto model = MakeModel();
        model->RunStartup();
        model->WatchTick();
        model->WatchTick();
        model->WatchTick();
    }
    QvCloseLogFiles();
    std::ifstream in(env.Root() / "drive_c" / "QvDebug.log");
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto count = [&log](const std::string& text) {
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("Session Beginning"), 1u) << log;
    EXPECT_EQ(count("Watch Timer"), 1u) << log;
    EXPECT_EQ(count("Control destructed"), 1u) << log;
}

// However a page spells the sink settings, the stream controller is given
// only the user's own sinks, also as a reader that trims names as a
// settings file does would read its settings.
TEST(PlayerStartup, SinksSpelledAnyWayByAPageAreNotPassedOn)
{
    qvtest::SettingsEnv env;
    WriteQuietDirectoryKey();
    WriteFile(env.Root() / "windows" / "QvCtl.ini", "[QV]\nAudioSink=fakeaudiosink\n");
    auto model = MakeModel();
    model->RunStartup();
    for (const char* name :
         {"VideoSink ", " videosink", "VIDEOSINK\t", "\nAudioSink", "audiosink"}) {
        EXPECT_EQ(model->AddProp(name, "filesink location=/tmp/x"), 0);
    }
    model->SetPropList("\" VideoSink\"=filesink \"AudioSink \"=filesink");

    QvPropertyList settings = model->StreamSettings();
    const std::string file = (env.Root() / "settings.ini").string();
    ASSERT_EQ(settings.WriteProperties(file.c_str()), 1);
    QvPropertyList read;
    ASSERT_EQ(read.ReadProperties(file.c_str()), 1);
    for (const QvPropertyList* list : {&settings, &read}) {
        EXPECT_FALSE(list->PropertyDefined("VideoSink"));
        EXPECT_STREQ(list->GetProperty("AudioSink").chars(), "fakeaudiosink");
    }
}

TEST(PlayerControl, WithoutAControllerTheMethodsAnswerAsAControllerWithoutStream)
{
    qvtest::SettingsEnv env;
    ControlModel model([] { return nullptr; });
    EXPECT_FALSE(model.HasController());
    model.SetVolume(50);
    model.SetPosition(2.0);
    EXPECT_EQ(model.GetVolume(), -1);
    EXPECT_EQ(model.GetPosition(), -1.0);
    EXPECT_EQ(model.GetLength(), -1.0);
    EXPECT_EQ(model.GetStreamState(), 0);
    EXPECT_EQ(model.NextWindowMode(), ControlModel::WindowChange::Popup);

    FakeController* fake = nullptr;
    auto withController = MakeModel(&fake);
    withController->SetVolume(40);
    EXPECT_EQ(withController->GetVolume(), 40);
    EXPECT_EQ(withController->GetLength(), 3.0);
}

TEST(PlayerControl, DoubleClicksCycleEmbeddedPopupFullScreenAndBack)
{
    qvtest::SettingsEnv env;
    FakeController* fake = nullptr;
    auto model = MakeModel(&fake);
    fake->initialized = true;
    using Change = ControlModel::WindowChange;
    EXPECT_EQ(model->NextWindowMode(), Change::Popup);
    model->EnterWindowMode(QvPlayerContext::kPopup);
    EXPECT_EQ(model->NextWindowMode(), Change::Maximize);
    EXPECT_EQ(model->windowMode, QvPlayerContext::kFullScreen);
    EXPECT_EQ(model->NextWindowMode(), Change::Embed);
    model->EnterWindowMode(QvPlayerContext::kEmbedded);
    EXPECT_EQ(model->windowMode, QvPlayerContext::kEmbedded);
    EXPECT_EQ(fake->calls, (std::vector<std::string>{"SetDisplayMode 1", "SetDisplayMode 0"}));

    // Full screen left by a window-mode command instead of a double click.
    model->EnterWindowMode(QvPlayerContext::kPopup);
    model->NextWindowMode();
    model->EnterWindowMode(QvPlayerContext::kPopup);
    EXPECT_EQ(fake->calls.back(), "SetDisplayMode 0");
}

// The directory's registry key and start, in a namespace of the test's own
// (the default pairs are joined on its loopback).
class PlayerDirectoryStartup : public qvtest::NetnsTest
{
};

TEST_F(PlayerDirectoryStartup, AMissingKeyGetsTheDefaultPairsAndTheDirectoryStarts)
{
    if (IsSkipped()) {
        GTEST_SKIP() << "needs network namespaces";
    }
    for (const std::string& ini : {std::string(), std::string("ViewOutsideUnicasts=TRUE\n")}) {
        qvtest::SettingsEnv env;
        WriteFile(env.Root() / "windows" / "QvCtl.ini", "[QV]\n" + ini);
        auto model = MakeModel();
        model->RunStartup();
        EXPECT_TRUE(model->Directory().IsStarted()) << ini;
        QvPropertyList key;
        ASSERT_EQ(key.ReadRegistry(QvSapDb::registryKey, QvPropertyList::HKEY::LocalMachine), 1);
        const std::string expected =
            std::string(ini.empty() ? "" : "VIEWOUTSIDEUNICASTS=TRUE ") +
            "SAPADDRESS0=224.2.127.254 SAPPORT0=9875 SAPADDRESS1=226.0.0.0 SAPPORT1=6318 ";
        EXPECT_EQ(std::string(key.GetPropertyString().chars()), expected);
        // A second start-up leaves the running directory alone.
        model->RunStartup();
        EXPECT_TRUE(model->Directory().IsStarted());
        model->StopDirectory();
        EXPECT_FALSE(model->Directory().IsStarted());
    }
}

} // namespace
