#include "platform/paths.h"

#include "settings_env.h"

#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(Paths, DirectoriesComeFromTheEnvironmentAndAreCreated)
{
    qvtest::SettingsEnv env;
    EXPECT_FALSE(fs::exists(env.Root() / "windows"));
    EXPECT_EQ(qvplat::WindowsDirectory(), (env.Root() / "windows").string());
    EXPECT_TRUE(fs::is_directory(env.Root() / "windows"));
    EXPECT_EQ(qvplat::DriveDirectory('c'), (env.Root() / "drive_c").string());
    EXPECT_EQ(qvplat::DriveDirectory('C'), (env.Root() / "drive_c").string());
    EXPECT_EQ(qvplat::RegistryDirectory(), (env.Root() / "registry").string());
    EXPECT_TRUE(fs::is_directory(env.Root() / "registry"));
}

TEST(Paths, DefaultsLieUnderTheXdgConfigDirectory)
{
    qvtest::SettingsEnv env;
    env.Set("QV_WINDOWS_DIR", std::nullopt);
    env.Set("QV_DRIVE_C_DIR", std::nullopt);
    env.Set("QV_DRIVE_D_DIR", std::nullopt);
    env.Set("QV_REGISTRY_DIR", std::nullopt);
    const fs::path config = env.Root() / "config" / "castnet";
    EXPECT_EQ(qvplat::ConfigHome(), (env.Root() / "config").string());
    EXPECT_EQ(qvplat::WindowsDirectory(), (config / "windows").string());
    EXPECT_EQ(qvplat::DriveDirectory('C'), (config / "drive_c").string());
    EXPECT_EQ(qvplat::DriveDirectory('d'), (config / "drive_d").string());
    EXPECT_EQ(qvplat::RegistryDirectory(), (config / "registry").string());
    EXPECT_TRUE(fs::is_directory(config / "drive_d"));
}

TEST(Paths, RelativeXdgValueFallsBackToHome)
{
    qvtest::SettingsEnv env;
    env.Set("XDG_CONFIG_HOME", fs::path("relative/config"));
    EXPECT_EQ(qvplat::ConfigHome(), (env.Root() / "home" / ".config").string());
    env.Set("QV_WINDOWS_DIR", std::nullopt);
    EXPECT_EQ(qvplat::WindowsDirectory(),
              (env.Root() / "home" / ".config" / "castnet" / "windows").string());
}

TEST(Paths, UnavailableDirectoryGivesEmptyResult)
{
    qvtest::SettingsEnv env;
    const fs::path blocker = env.Root() / "plain-file";
    std::ofstream(blocker) << "x";
    env.Set("QV_WINDOWS_DIR", blocker / "windows");
    EXPECT_EQ(qvplat::WindowsDirectory(), "");
    EXPECT_EQ(qvplat::MapPath("QvCtl.ini", qvplat::PathBase::WindowsDirectory), "");
    EXPECT_EQ(qvplat::DriveDirectory('1'), "");
}

TEST(Paths, DriveLettersMapToDriveDirectories)
{
    qvtest::SettingsEnv env;
    const std::string driveC = (env.Root() / "drive_c").string();
    EXPECT_EQ(qvplat::MapPath("c:\\QvDebug.log"), driveC + "/QvDebug.log");
    EXPECT_EQ(qvplat::MapPath("C:/mpeg/test.mpg"), driveC + "/mpeg/test.mpg");
    EXPECT_EQ(qvplat::MapPath("c:\\mpeg\\\\sub\\.\\a.mpg"), driveC + "/mpeg/sub/a.mpg");
    EXPECT_EQ(qvplat::MapPath("c:"), driveC);
    EXPECT_EQ(qvplat::MapPath("c:\\"), driveC);
    EXPECT_EQ(qvplat::MapPath("c:name.txt"), driveC + "/name.txt");

    env.Set("QV_DRIVE_D_DIR", env.Root() / "d");
    EXPECT_EQ(qvplat::MapPath("d:\\clips\\x.mpg"), (env.Root() / "d" / "clips" / "x.mpg").string());
}

TEST(Paths, DotDotNeverClimbsAboveTheDriveRoot)
{
    qvtest::SettingsEnv env;
    const std::string driveC = (env.Root() / "drive_c").string();
    EXPECT_EQ(qvplat::MapPath("c:\\..\\..\\etc\\passwd"), driveC + "/etc/passwd");
    EXPECT_EQ(qvplat::MapPath("c:\\a\\..\\..\\b"), driveC + "/b");
    EXPECT_EQ(qvplat::MapPath("\\..\\x"), driveC + "/x");
}

TEST(Paths, RootedAndNetworkNamesLieOnDriveC)
{
    qvtest::SettingsEnv env;
    const std::string driveC = (env.Root() / "drive_c").string();
    EXPECT_EQ(qvplat::MapPath("\\temp\\x.log"), driveC + "/temp/x.log");
    EXPECT_EQ(qvplat::MapPath("\\\\server\\share\\x"), driveC + "/server/share/x");
}

TEST(Paths, RelativeAndHostNames)
{
    qvtest::SettingsEnv env;
    using qvplat::PathBase;
    const std::string windows = (env.Root() / "windows").string();
    EXPECT_EQ(qvplat::MapPath(".\\grabtool.ini", PathBase::WindowsDirectory), "./grabtool.ini");
    EXPECT_EQ(qvplat::MapPath("logs\\a.log", PathBase::WindowsDirectory), "logs/a.log");
    EXPECT_EQ(qvplat::MapPath("QvCtl.ini", PathBase::WindowsDirectory), windows + "/QvCtl.ini");
    EXPECT_EQ(qvplat::MapPath("QvDebugFlowmill.log"), "QvDebugFlowmill.log");
    EXPECT_EQ(qvplat::MapPath("/tmp/x\\y.ini"), "/tmp/x/y.ini");
    // The pattern "%s\\%s" of the Windows directory and a name.
    EXPECT_EQ(qvplat::MapPath(qvplat::WindowsDirectory() + "\\qv1nrb.dat"),
              windows + "/qv1nrb.dat");
    EXPECT_EQ(qvplat::MapPath(""), "");
}

} // namespace
