#include "platform/ini.h"

#include "settings_env.h"

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::string>;

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The "k=v\0...\0\0" block for a list of entries.
std::string Block(const Entries& entries)
{
    std::string block;
    for (const std::string& entry : entries) {
        block += entry;
        block += '\0';
    }
    block += '\0';
    return block;
}

// The entries in a buffer filled by GetPrivateProfileSection.
Entries Unblock(const char* buffer)
{
    Entries entries;
    for (const char* p = buffer; *p != '\0'; p += std::strlen(p) + 1) {
        entries.emplace_back(p);
    }
    return entries;
}

TEST(Ini, ProfileSectionRoundTripInTheWindowsDirectory)
{
    qvtest::SettingsEnv env;
    const std::string block = Block({"PORT=2010", "ADDRESS=225.1.1.1", "DEBUG"});
    ASSERT_TRUE(qvplat::WritePrivateProfileSection("QV", block.c_str(), "QvCtl.ini"));
    EXPECT_TRUE(fs::exists(env.Root() / "windows" / "QvCtl.ini"));

    std::array<char, 4096> buffer{};
    const auto copied =
        qvplat::GetPrivateProfileSection("QV", buffer.data(), buffer.size(), "QvCtl.ini");
    EXPECT_EQ(copied, block.size() - 1); // everything but the final NUL
    EXPECT_EQ(Unblock(buffer.data()), (Entries{"PORT=2010", "ADDRESS=225.1.1.1", "DEBUG"}));
    EXPECT_EQ(ReadText(env.Root() / "windows" / "QvCtl.ini"),
              "[QV]\nPORT=2010\nADDRESS=225.1.1.1\nDEBUG\n");
}

TEST(Ini, MissingFileOrSectionGivesZeroAndAnEmptyBlock)
{
    qvtest::SettingsEnv env;
    std::array<char, 16> buffer;
    buffer.fill('x');
    EXPECT_EQ(qvplat::GetPrivateProfileSection("QV", buffer.data(), buffer.size(), "none.ini"), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '\0');
    EXPECT_FALSE(qvplat::ReadIniSection("none.ini", "QV"));

    ASSERT_TRUE(qvplat::WriteIniSection("some.ini", "Other", {"A=1"}));
    EXPECT_EQ(qvplat::GetPrivateProfileSection("QV", buffer.data(), buffer.size(), "some.ini"), 0u);
    EXPECT_FALSE(qvplat::ReadIniSection("some.ini", "QV"));
    ASSERT_TRUE(qvplat::WriteIniSection("some.ini", "Empty", {}));
    EXPECT_EQ(qvplat::ReadIniSection("some.ini", "Empty"), Entries{});
}

TEST(Ini, OversizedSectionReturnsSizeMinusTwoWithoutOverrun)
{
    qvtest::SettingsEnv env;
    Entries entries;
    for (int i = 0; i < 300; ++i) {
        entries.push_back("KEY" + std::to_string(i) + "=value-" + std::to_string(i));
    }
    ASSERT_TRUE(qvplat::WriteIniSection("big.ini", "QV", entries));

    std::vector<char> buffer(4096 + 64, '#');
    const auto copied = qvplat::GetPrivateProfileSection("QV", buffer.data(), 4096, "big.ini");
    EXPECT_EQ(copied, 4094u);
    EXPECT_EQ(buffer[4094], '\0');
    EXPECT_EQ(buffer[4095], '\0');
    for (size_t i = 4096; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], '#') << "written beyond the buffer at " << i;
    }
    // Only whole entries, in order.
    const Entries got = Unblock(buffer.data());
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got, Entries(entries.begin(), entries.begin() + static_cast<long>(got.size())));
}

TEST(Ini, BufferSizeBoundary)
{
    qvtest::SettingsEnv env;
    ASSERT_TRUE(qvplat::WriteIniSection("b.ini", "QV", {"A=1", "B=2"})); // needs 9 chars
    std::array<char, 9> exact{};
    EXPECT_EQ(qvplat::GetPrivateProfileSection("QV", exact.data(), 9, "b.ini"), 8u);
    EXPECT_EQ(Unblock(exact.data()), (Entries{"A=1", "B=2"}));
    std::array<char, 8> small{};
    EXPECT_EQ(qvplat::GetPrivateProfileSection("QV", small.data(), 8, "b.ini"), 6u);
    EXPECT_EQ(Unblock(small.data()), (Entries{"A=1"}));
    std::array<char, 1> tiny{'x'};
    EXPECT_EQ(qvplat::GetPrivateProfileSection("QV", tiny.data(), 1, "b.ini"), 0u);
    EXPECT_EQ(tiny[0], '\0');
}

TEST(Ini, WriteKeepsOtherSectionsTheirOrderAndComments)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "multi.ini";
    WriteText(file, "; top comment\n"
                    "[First]\n"
                    "x=1\n"
                    "\n"
                    "[QV]\n"
                    "; about QV\n"
                    "OLD=1\n"
                    "STALE=2\n"
                    "\n"
                    "[Last]\n"
                    "y=2\n");
    ASSERT_TRUE(qvplat::WriteIniSection(file.string(), "qv", {"NEW=3"}));
    EXPECT_EQ(ReadText(file), "; top comment\n"
                              "[First]\n"
                              "x=1\n"
                              "\n"
                              "[QV]\n"
                              "; about QV\n"
                              "NEW=3\n"
                              "\n"
                              "[Last]\n"
                              "y=2\n");

    ASSERT_TRUE(qvplat::WriteIniSection(file.string(), "Added", {"z=9"}));
    EXPECT_EQ(qvplat::ReadIniSection(file.string(), "First"), Entries{"x=1"});
    EXPECT_EQ(qvplat::ReadIniSection(file.string(), "Last"), Entries{"y=2"});
    EXPECT_TRUE(ReadText(file).ends_with("y=2\n\n[Added]\nz=9\n"));
}

TEST(Ini, HandWrittenCrlfFileWithCommentsAndBlanks)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "hand.ini";
    WriteText(file, "\xEF\xBB\xBF[Other]\r\n"
                    "a=b\r\n"
                    "\r\n"
                    "  [ qv ]  \r\n"
                    "; a comment\r\n"
                    "   \r\n"
                    "Port = 2010\r\n"
                    "\tAddress=225.1.1.1  \r\n"
                    "Flag\r\n"
                    "Text=two words\r\n"
                    "[Tail]\r\n"
                    "t=1"); // no final line end
    EXPECT_EQ(qvplat::ReadIniSection(file.string(), "QV"),
              (Entries{"Port=2010", "Address=225.1.1.1", "Flag", "Text=two words"}));
    EXPECT_EQ(qvplat::ReadIniSection(file.string(), "other"), Entries{"a=b"});
    EXPECT_EQ(qvplat::ReadIniSection(file.string(), "TAIL"), Entries{"t=1"});

    ASSERT_TRUE(qvplat::WriteIniSection(file.string(), "Tail", {"t=2"}));
    EXPECT_EQ(ReadText(file), "\xEF\xBB\xBF[Other]\r\n"
                              "a=b\r\n"
                              "\r\n"
                              "  [ qv ]  \r\n"
                              "; a comment\r\n"
                              "   \r\n"
                              "Port = 2010\r\n"
                              "\tAddress=225.1.1.1  \r\n"
                              "Flag\r\n"
                              "Text=two words\r\n"
                              "[Tail]\r\n"
                              "t=2\r\n");
}

TEST(Ini, LaterSectionOfTheSameNameIsDroppedOnWrite)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "dup.ini";
    WriteText(file, "[QV]\nA=1\n[X]\nx=1\n[qv]\nB=2\n");
    EXPECT_EQ(qvplat::ReadIniSection(file.string(), "QV"), Entries{"A=1"});
    ASSERT_TRUE(qvplat::WriteIniSection(file.string(), "QV", {"C=3"}));
    EXPECT_EQ(ReadText(file), "[QV]\nC=3\n[X]\nx=1\n");
}

TEST(Ini, EntriesThatWouldBreakTheFileAreRefused)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "safe.ini";
    ASSERT_TRUE(qvplat::WriteIniSection(file.string(), "QV", {"A=1"}));
    const std::string before = ReadText(file);
    EXPECT_FALSE(qvplat::WriteIniSection(file.string(), "QV", {"A=1\n[Other]"}));
    EXPECT_FALSE(qvplat::WriteIniSection(file.string(), "QV", {"A=1\rB=2"}));
    EXPECT_FALSE(qvplat::WriteIniSection(file.string(), "QV", {" [Other]=1"}));
    EXPECT_FALSE(qvplat::WriteIniSection(file.string(), "Q]V", {"A=1"}));
    EXPECT_FALSE(qvplat::WriteIniSection(file.string(), "  ", {"A=1"}));
    EXPECT_FALSE(qvplat::WritePrivateProfileSection("QV", nullptr, file.c_str()));
    EXPECT_EQ(ReadText(file), before);
    EXPECT_FALSE(qvplat::WriteIniSection((env.Root() / "no-dir" / "x.ini").string(), "QV", {}));
}

TEST(Ini, WorkingDirectoryNamesAndWindowsDirectoryNamesDiffer)
{
    qvtest::SettingsEnv env;
    const fs::path previous = fs::current_path();
    fs::create_directories(env.Root() / "work");
    fs::current_path(env.Root() / "work");
    const bool wroteLocal = qvplat::WriteIniSection(".\\grabtool.ini", "QV", {"A=local"});
    const bool wroteWindows = qvplat::WriteIniSection("grabtool.ini", "QV", {"A=windows"});
    fs::current_path(previous);
    ASSERT_TRUE(wroteLocal);
    ASSERT_TRUE(wroteWindows);
    EXPECT_EQ(ReadText(env.Root() / "work" / "grabtool.ini"), "[QV]\nA=local\n");
    EXPECT_EQ(ReadText(env.Root() / "windows" / "grabtool.ini"), "[QV]\nA=windows\n");
}

TEST(Ini, ReplacedFileKeepsItsPermissions)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "perm.ini";
    WriteText(file, "[QV]\nA=1\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(qvplat::WriteIniSection(file.string(), "QV", {"A=2"}));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// Each child rewrites its own section many times; every write must survive
// the other's, and the other section must never be missing.
TEST(Ini, TwoProcessesWritingOneFileLoseNothing)
{
    qvtest::SettingsEnv env;
    const std::string file = (env.Root() / "shared.ini").string();
    ASSERT_TRUE(qvplat::WriteIniSection(file, "A", {"N=start"}));
    ASSERT_TRUE(qvplat::WriteIniSection(file, "B", {"N=start"}));
    constexpr int kRounds = 150;

    auto writer = [&file](const char* mine, const char* other) {
        for (int i = 0; i < kRounds; ++i) {
            const Entries entries{"N=" + std::to_string(i), std::string("OWNER=") + mine};
            if (!qvplat::WriteIniSection(file, mine, entries)) {
                return 1;
            }
            if (qvplat::ReadIniSection(file, mine) != entries) {
                return 2;
            }
            if (!qvplat::ReadIniSection(file, other)) {
                return 3;
            }
        }
        return 0;
    };
    std::vector<pid_t> children;
    for (const auto& [mine, other] : {std::pair{"A", "B"}, std::pair{"B", "A"}}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::_exit(writer(mine, other));
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const std::string last = "N=" + std::to_string(kRounds - 1);
    EXPECT_EQ(qvplat::ReadIniSection(file, "A"), (Entries{last, "OWNER=A"}));
    EXPECT_EQ(qvplat::ReadIniSection(file, "B"), (Entries{last, "OWNER=B"}));
    // No temporary files are left behind.
    for (const auto& entry : fs::directory_iterator(env.Root())) {
        EXPECT_FALSE(entry.path().string().ends_with(".tmp")) << entry.path();
    }
}

} // namespace
