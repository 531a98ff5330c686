// The server's registration through qvregsvr into a private registry
// store: the keys written, the class keys gone again after unregistering
// (the category marks stay), and the failure code when the store cannot be
// written.
#include "platform/com/comreg.h"
#include "platform/registry.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr const char* kControl = "CLSID\\{7487BBEC-8D92-4103-A143-9931EDF6041F}";
constexpr const char* kPage = "CLSID\\{9C0DD5BD-45DD-4EC2-8FAF-7DE539719552}";
constexpr const char* kTypeLib = "TypeLib\\{CDB3C83B-7385-437A-AF53-CF2D80F57BF2}";

qvtest::ProgramResult Regsvr(const qvtest::SettingsEnv& env, bool unregister)
{
    std::vector<std::string> args{PLAYERCTL_LIBRARY};
    if (unregister) {
        args.insert(args.begin(), "/u");
    }
    return qvtest::RunProgram(QVREGSVR_BINARY, args, {}, env.Root().string(),
                              std::chrono::seconds(60));
}

std::string Text(const std::string& key, const std::string& name = "")
{
    std::string text;
    return qvplat::comreg::ReadText(key, name, text) ? text : "(none)";
}

bool Exists(const std::string& key)
{
    qvplat::RegKey open;
    return open.Open(qvplat::RegRoot::ClassesRoot, key) == qvplat::RegResult::Success;
}

TEST(PlayerRegistration, WritesTheClassesAndTakesThemBack)
{
    qvtest::SettingsEnv env;
    const auto registered = Regsvr(env, false);
    ASSERT_EQ(registered.exitCode, 0) << registered.output;

    const std::string control = kControl;
    const std::string page = kPage;
    const std::pair<std::string, std::string> values[] = {
        {control, "Veltora Wavelane Player, Ver 2.0"},
        {control + "\\ProgID", "PLAYERCTL.PlayerCtlCtrl.1"},
        {control + "\\MiscStatus\\1", "197009"},
        {control + "\\TypeLib", "{CDB3C83B-7385-437A-AF53-CF2D80F57BF2}"},
        {control + "\\Version", "1.0"},
        {control + "\\InprocServer32", fs::canonical(PLAYERCTL_LIBRARY).string()},
        {"PLAYERCTL.PlayerCtlCtrl.1\\CLSID", "{7487BBEC-8D92-4103-A143-9931EDF6041F}"},
        {page, "Source"},
        {"PLAYERCTL.PlayerCtlPropPage.1\\CLSID", "{9C0DD5BD-45DD-4EC2-8FAF-7DE539719552}"},
        {std::string(kTypeLib) + "\\1.0", "PLAYERCTLLib"},
        {"Interface\\{C47EED04-0719-4918-85E0-561909CC2982}", "_DPlayerCtl"},
        {"Interface\\{352AB826-CD9B-4A33-BB71-47129880BFEF}", "_DPlayerCtlEvents"},
    };
    for (const auto& [key, value] : values) {
        EXPECT_EQ(Text(key), value) << key;
    }
    const std::string marks = control + "\\Implemented Categories\\";
    for (const char* category :
         {"{7DD95801-9882-11CF-9FA9-00AA006C42C4}", "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"}) {
        EXPECT_TRUE(Exists(marks + category)) << category;
        EXPECT_NE(Text(std::string("Component Categories\\") + category, "409"), "(none)");
    }
    EXPECT_TRUE(Exists(control + "\\Control") && Exists(control + "\\Insertable"));

    const auto unregistered = Regsvr(env, true);
    ASSERT_EQ(unregistered.exitCode, 0) << unregistered.output;
    for (const std::string& gone : {control + "\\ProgID", control + "\\InprocServer32",
                                   std::string("PLAYERCTL.PlayerCtlCtrl.1"), page,
                                   std::string("PLAYERCTL.PlayerCtlPropPage.1"),
                                   std::string(kTypeLib)}) {
        EXPECT_FALSE(Exists(gone)) << gone;
    }
    EXPECT_TRUE(Exists(marks + "{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(Exists(marks + "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));

    // A store that cannot be written: both entry points fail with the
    // type-library step's code.
    ASSERT_EQ(Regsvr(env, false).exitCode, 0);
    std::ofstream(env.Root() / "registry" / "HKEY_CLASSES_ROOT.reg", std::ios::app)
        << "not a line of the store\n";
    for (const bool unregister : {false, true}) {
        const auto failed = Regsvr(env, unregister);
        EXPECT_EQ(failed.exitCode, 1) << failed.output;
        EXPECT_NE(failed.output.find("0x80040200"), std::string::npos) << failed.output;
    }
}

} // namespace
