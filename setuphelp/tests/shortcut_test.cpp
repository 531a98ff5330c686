// CreateShortcut: desktop launchers that desktop-file-validate accepts.
#include "platform/tests/settings_env.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/tempfiles.h"
#include "setuphelp/setuphelp.h"

namespace {

std::string ReadText(const std::filesystem::path& path)
{
    const qvtest::Bytes bytes = qvtest::ReadAll(path.string());
    return std::string(bytes.begin(), bytes.end());
}

TEST(CreateShortcutTest, WritesALauncherInPlaceOfTheLink)
{
    qvtest::SettingsEnv env;
    const std::filesystem::path menu = env.Root() / "drive_c" / "Menu";
    std::filesystem::create_directories(menu);
    const std::string head = "[Desktop Entry]\nType=Application\n";
    struct Case
    {
        std::string target, shortcut;
        const char* description;
        std::filesystem::path launcher;
        std::string text;
    };
    const Case cases[] = {
        {"/opt/Cast Net/player$1 100%.bin", (menu / "Cast Player.lnk").string(),
         "Plays\tstreams \\ live", menu / "Cast Player.desktop",
         head + "Name=Cast Player\nComment=Plays\\tstreams \\\\ live\n"
                "Exec=\"/opt/Cast Net/player\\\\$1 100%%.bin\"\n"},
        {"C:\\Program Files\\Castnet\\player.exe", "C:\\Menu\\Castnet.LNK", "",
         menu / "Castnet.desktop",
         head + "Name=Castnet\nExec=\"" + (env.Root() / "drive_c").string() +
             "/Program Files/Castnet/player.exe\"\n"},
        // A Latin-1 description, as from an installer's code page.
        {"/usr/bin/castnet-player", (menu / "Plain").string(), "Caf\xe9", menu / "Plain.desktop",
         head + "Name=Plain\nComment=Caf\xc3\xa9\nExec=/usr/bin/castnet-player\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shortcut);
        EXPECT_EQ(CreateShortcut(c.target.c_str(), c.shortcut.c_str(), c.description), 0);
        EXPECT_EQ(ReadText(c.launcher), c.text);
        const auto check = qvtest::RunCommand({"desktop-file-validate", c.launcher.string()});
        EXPECT_TRUE(check.Succeeded()) << check.output;
    }

    // A second call replaces the launcher and leaves nothing else behind.
    EXPECT_EQ(CreateShortcut("/usr/bin/other", (menu / "Plain.lnk").c_str(), nullptr), 0);
    EXPECT_EQ(ReadText(menu / "Plain.desktop"), head + "Name=Plain\nExec=/usr/bin/other\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(menu), {}), 3);
    // Failures stay quiet.
    EXPECT_EQ(CreateShortcut("/usr/bin/x", (menu / "missing" / "x.lnk").c_str(), "x"), 0);
}

} // namespace
