#include "platform/registry.h"

#include "settings_env.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace qvplat {

// Readable failure output.
void PrintTo(const RegValue& value, std::ostream* out)
{
    *out << '"' << value.name << "\" type " << value.type << " data";
    for (const std::uint8_t byte : value.data) {
        *out << ' ' << static_cast<int>(byte);
    }
}

void PrintTo(RegResult result, std::ostream* out)
{
    *out << RegResultName(result) << " (" << static_cast<long>(result) << ")";
}

} // namespace qvplat

namespace {

namespace fs = std::filesystem;
using qvplat::RegKey;
using qvplat::RegResult;
using qvplat::RegRoot;
using qvplat::RegValue;

constexpr RegRoot kLM = RegRoot::LocalMachine;
constexpr const char* kSapKey = "SOFTWARE\\Talvex\\SAPDatabase";

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

RegValue Binary(std::string name, std::vector<std::uint8_t> bytes)
{
    return RegValue{std::move(name), qvplat::REG_BINARY, std::move(bytes)};
}

TEST(Registry, OpenFailsForAbsentKeyAndCreateMakesParents)
{
    qvtest::SettingsEnv env;
    RegKey key;
    EXPECT_EQ(key.Open(kLM, kSapKey), RegResult::NotFound);
    EXPECT_FALSE(key.IsOpen());

    bool created = false;
    ASSERT_EQ(key.Create(kLM, kSapKey, &created), RegResult::Success);
    EXPECT_TRUE(created);
    EXPECT_TRUE(key.IsOpen());
    EXPECT_EQ(key.Path(), kSapKey);
    ASSERT_EQ(key.Create(kLM, "software\\talvex\\sapdatabase", &created), RegResult::Success);
    EXPECT_FALSE(created);
    EXPECT_EQ(key.Path(), kSapKey); // names as first stored

    RegKey parent;
    EXPECT_EQ(parent.Open(kLM, "SOFTWARE\\Talvex\\"), RegResult::Success);
    RegKey child;
    EXPECT_EQ(child.Open(parent, "sapDATABASE"), RegResult::Success);
    EXPECT_EQ(child.Path(), kSapKey);

    // The roots are separate stores.
    EXPECT_EQ(key.Open(RegRoot::CurrentUser, "SOFTWARE\\Talvex"), RegResult::NotFound);
    EXPECT_EQ(key.Open(RegRoot::ClassesRoot, "SOFTWARE"), RegResult::NotFound);
}

TEST(Registry, BadPathsAndClosedHandlesAreRefused)
{
    qvtest::SettingsEnv env;
    RegKey key;
    EXPECT_EQ(key.Create(kLM, "A\\\\B"), RegResult::InvalidParameter);
    EXPECT_EQ(key.Create(kLM, "\\A"), RegResult::InvalidParameter);
    EXPECT_EQ(key.Create(kLM, std::string(256, 'k')), RegResult::InvalidParameter);
    EXPECT_EQ(key.SetValue(qvplat::MakeStringValue("x", "y")), RegResult::InvalidHandle);
    RegValue value;
    EXPECT_EQ(key.QueryValue("x", value), RegResult::InvalidHandle);
    RegKey child;
    EXPECT_EQ(child.Open(key, "x"), RegResult::InvalidHandle);
}

TEST(Registry, ValuesKeepTypeBytesAndOrderAcrossHandles)
{
    qvtest::SettingsEnv env;
    std::vector<std::uint8_t> allBytes;
    for (int i = 0; i < 256; ++i) {
        allBytes.push_back(static_cast<std::uint8_t>(i));
    }
    const std::string multi("one\0two\0\0", 9);
    const std::vector<RegValue> values{
        qvplat::MakeStringValue("SAPAddress0", "224.2.127.254"),
        qvplat::MakeDwordValue("TypesSupported", 7),
        Binary("Blob", allBytes),
        RegValue{"EventMessageFile", qvplat::REG_EXPAND_SZ, {'%', 'x', '%', '\\', 'a', '"', 0}},
        RegValue{"List", qvplat::REG_MULTI_SZ, {multi.begin(), multi.end()}},
        RegValue{"Odd", 1234, {1, 2, 3}},
        RegValue{"Empty", qvplat::REG_BINARY, {}},
        qvplat::MakeStringValue("", "default value"),
        qvplat::MakeStringValue("quote\"and\nnewline\\name", "tab\there"),
        RegValue{"NoNul", qvplat::REG_SZ, {'a', 'b'}},
    };
    {
        RegKey key;
        ASSERT_EQ(key.Create(kLM, "SOFTWARE\\Test"), RegResult::Success);
        for (const RegValue& value : values) {
            ASSERT_EQ(key.SetValue(value), RegResult::Success) << value.name;
        }
    }
    RegKey key;
    ASSERT_EQ(key.Open(kLM, "software\\test"), RegResult::Success);
    std::vector<RegValue> read;
    ASSERT_EQ(key.GetValues(read), RegResult::Success);
    EXPECT_EQ(read, values);

    const std::string text = ReadText(env.Root() / "registry" / "HKEY_LOCAL_MACHINE.reg");
    EXPECT_NE(text.find("\"SAPAddress0\" = REG_SZ \"224.2.127.254\\0\""), std::string::npos);
    EXPECT_NE(text.find("\"TypesSupported\" = REG_DWORD dword:00000007"), std::string::npos);
    EXPECT_NE(text.find("\"Odd\" = type:1234 hex:010203"), std::string::npos);
}

TEST(Registry, SetReplacesInPlaceAndNamesIgnoreCase)
{
    qvtest::SettingsEnv env;
    RegKey key;
    ASSERT_EQ(key.Create(kLM, "K"), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Port", "1")), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Address", "a")), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeDwordValue("PORT", 2)), RegResult::Success);

    RegValue first;
    ASSERT_EQ(key.EnumValue(0, first), RegResult::Success);
    EXPECT_EQ(first, qvplat::MakeDwordValue("Port", 2)); // position and first spelling kept
    RegValue queried;
    ASSERT_EQ(key.QueryValue("pOrT", queried), RegResult::Success);
    EXPECT_EQ(queried.type, qvplat::REG_DWORD);

    EXPECT_EQ(key.DeleteValue("ADDRESS"), RegResult::Success);
    EXPECT_EQ(key.DeleteValue("Address"), RegResult::NotFound);
    EXPECT_EQ(key.QueryValue("Address", queried), RegResult::NotFound);
    RegValue none;
    EXPECT_EQ(key.EnumValue(1, none), RegResult::NoMoreItems);
}

TEST(Registry, EnumerationWithSmallBuffersAnswersMoreData)
{
    qvtest::SettingsEnv env;
    RegKey key;
    ASSERT_EQ(key.Create(kLM, kSapKey), RegResult::Success);
    const std::string longName(100, 'N'); // needs 101 characters with its NUL
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Short", "ok")), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue(longName, "x")), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Big", std::string(1024, 'd'))),
              RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Last", "end")), RegResult::Success);

    std::vector<std::string> added;
    std::vector<RegResult> results;
    for (std::uint32_t index = 0;; ++index) {
        char name[100];
        std::uint8_t data[1024];
        std::uint32_t nameSize = sizeof name;
        std::uint32_t dataSize = sizeof data;
        std::uint32_t type = 0;
        const RegResult result = key.EnumValue(index, name, &nameSize, &type, data, &dataSize);
        if (result == RegResult::NoMoreItems) {
            break;
        }
        results.push_back(result);
        if (result == RegResult::Success) {
            EXPECT_EQ(nameSize, std::strlen(name));
            added.emplace_back(name);
        } else if (index == 1) {
            EXPECT_EQ(nameSize, 100u);
        } else if (index == 2) {
            EXPECT_EQ(std::string(name), "Big");
            EXPECT_EQ(type, qvplat::REG_SZ);
            EXPECT_EQ(dataSize, 1025u);
        }
        ASSERT_LT(index, 10u);
    }
    EXPECT_EQ(results, (std::vector<RegResult>{RegResult::Success, RegResult::MoreData,
                                               RegResult::MoreData, RegResult::Success}));
    EXPECT_EQ(added, (std::vector<std::string>{"Short", "Last"}));

    // Without a data buffer the size alone is reported.
    std::uint32_t size = 0;
    ASSERT_EQ(key.QueryValue("big", nullptr, nullptr, &size), RegResult::Success);
    EXPECT_EQ(size, 1025u);
    std::uint8_t small[4];
    size = sizeof small;
    EXPECT_EQ(key.QueryValue("Short", nullptr, small, &size), RegResult::Success);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(small)), "ok");
}

TEST(Registry, SubkeysEnumerateInAlphabeticalOrder)
{
    qvtest::SettingsEnv env;
    RegKey root;
    ASSERT_EQ(root.Create(kLM, "Parent"), RegResult::Success);
    for (const char* name : {"beta", "Alpha", "gamma-long-name"}) {
        RegKey child;
        ASSERT_EQ(child.Create(root, name), RegResult::Success);
    }
    std::string name;
    std::vector<std::string> names;
    for (std::uint32_t i = 0; root.EnumKey(i, name) == RegResult::Success; ++i) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma-long-name"}));
    char buffer[6];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(root.EnumKey(0, buffer, &size), RegResult::Success);
    EXPECT_EQ(std::string(buffer), "Alpha");
    size = sizeof buffer;
    EXPECT_EQ(root.EnumKey(2, buffer, &size), RegResult::MoreData);
    EXPECT_EQ(size, 15u);
    EXPECT_EQ(root.EnumKey(3, name), RegResult::NoMoreItems);
}

TEST(Registry, DeleteRefusesKeysWithSubkeys)
{
    qvtest::SettingsEnv env;
    RegKey leaf;
    ASSERT_EQ(leaf.Create(kLM, "A\\B\\C"), RegResult::Success);
    EXPECT_EQ(qvplat::DeleteRegKey(kLM, "A\\B"), RegResult::AccessDenied);
    EXPECT_EQ(qvplat::DeleteRegKey(kLM, ""), RegResult::AccessDenied);
    EXPECT_EQ(qvplat::DeleteRegKey(kLM, "A\\X"), RegResult::NotFound);

    RegKey parent;
    ASSERT_EQ(parent.Open(kLM, "a\\b"), RegResult::Success);
    EXPECT_EQ(parent.DeleteSubKey("c"), RegResult::Success);
    EXPECT_EQ(leaf.SetValue(qvplat::MakeStringValue("x", "y")), RegResult::KeyDeleted);
    RegKey below;
    EXPECT_EQ(below.Create(leaf, "D"), RegResult::KeyDeleted);
    EXPECT_EQ(qvplat::DeleteRegKey(kLM, "A\\B"), RegResult::Success);
    std::string name;
    EXPECT_EQ(parent.EnumKey(0, name), RegResult::KeyDeleted);
    RegKey check;
    EXPECT_EQ(check.Open(kLM, "A"), RegResult::Success);
}

TEST(Registry, ReplaceAllValuesDropsStaleOnesAndKeepsSubkeys)
{
    qvtest::SettingsEnv env;
    RegKey key;
    ASSERT_EQ(key.Create(kLM, kSapKey), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Stale", "old")), RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("SAPPort0", "1")), RegResult::Success);
    RegKey sub;
    ASSERT_EQ(sub.Create(key, "Sub"), RegResult::Success);
    ASSERT_EQ(sub.SetValue(qvplat::MakeStringValue("Inner", "kept")), RegResult::Success);

    const std::vector<RegValue> wanted{qvplat::MakeStringValue("SAPAddress0", "224.2.127.254"),
                                       qvplat::MakeStringValue("SAPPort0", "9875")};
    ASSERT_EQ(qvplat::ReplaceRegKeyValues(kLM, "software\\talvex\\sapdatabase",
                                          {wanted[0], qvplat::MakeStringValue("SAPPort0", "x"),
                                           qvplat::MakeStringValue("sapport0", "9875")}),
              RegResult::Success);
    std::vector<RegValue> values;
    ASSERT_EQ(key.GetValues(values), RegResult::Success);
    EXPECT_EQ(values, wanted);
    RegValue inner;
    EXPECT_EQ(sub.QueryValue("Inner", inner), RegResult::Success);

    ASSERT_EQ(key.ReplaceValues({}), RegResult::Success);
    ASSERT_EQ(key.GetValues(values), RegResult::Success);
    EXPECT_TRUE(values.empty());

    // It creates a missing key.
    ASSERT_EQ(
        qvplat::ReplaceRegKeyValues(RegRoot::CurrentUser, "Software\\Talvex\\castdeck", wanted),
        RegResult::Success);
    RegKey user;
    ASSERT_EQ(user.Open(RegRoot::CurrentUser, "SOFTWARE\\TALVEX\\CASTDECK"), RegResult::Success);
    ASSERT_EQ(user.GetValues(values), RegResult::Success);
    EXPECT_EQ(values, wanted);
}

TEST(Registry, KeyNamesWithSpecialCharactersSurviveTheFile)
{
    qvtest::SettingsEnv env;
    const std::string odd = "Media Type]%[x\ty";
    RegKey key;
    ASSERT_EQ(key.Create(RegRoot::ClassesRoot, "Extensions\\" + odd + "\\.qsl"),
              RegResult::Success);
    ASSERT_EQ(key.SetValue("Source Filter", qvplat::REG_SZ, "{EFD7}", 6), RegResult::Success);
    RegKey again;
    ASSERT_EQ(again.Open(RegRoot::ClassesRoot, "EXTENSIONS\\" + odd + "\\.QSL"),
              RegResult::Success);
    EXPECT_EQ(again.Path(), "Extensions\\" + odd + "\\.qsl");
    RegValue value;
    ASSERT_EQ(again.QueryValue("source filter", value), RegResult::Success);
    EXPECT_EQ(value.data, (std::vector<std::uint8_t>{'{', 'E', 'F', 'D', '7', '}'}));
}

TEST(Registry, CorruptStoreIsAClearErrorAndIsLeftAlone)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "registry" / "HKEY_LOCAL_MACHINE.reg";
    const std::vector<std::string> corrupt{
        "not a registry file\n",
        "castnet-registry 9\n",
        "castnet-registry 1\n\"x\" = REG_SZ \"a\"\n",
        "castnet-registry 1\n[K]\n\"x\" = REG_SZ \"unterminated\n",
        "castnet-registry 1\n[K]\n\"x\" = REG_BOGUS hex:00\n",
        "castnet-registry 1\n[K]\n\"x\" = REG_BINARY hex:0\n",
        "castnet-registry 1\n[K]\n\"x\" = REG_DWORD dword:123\n",
        "castnet-registry 1\n[K]\n\"x\" = REG_SZ \"bad \\q escape\"\n",
        "castnet-registry 1\n[K\\\\L]\n",
        "castnet-registry 1\n[K%zz]\n",
        "castnet-registry 1\n[K]\ngarbage\n",
    };
    for (const std::string& text : corrupt) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        RegKey key;
        EXPECT_EQ(key.Open(kLM, "K"), RegResult::CorruptStore) << text;
        EXPECT_NE(qvplat::RegLastErrorText().find("HKEY_LOCAL_MACHINE.reg:"), std::string::npos);
        EXPECT_EQ(key.Create(kLM, "New"), RegResult::CorruptStore);
        EXPECT_EQ(qvplat::ReplaceRegKeyValues(kLM, "K", {}), RegResult::CorruptStore);
        EXPECT_EQ(ReadText(file), text);
    }
    std::ofstream(file, std::ios::binary) << "castnet-registry 1\n[K]\nbad line\n";
    RegKey key;
    ASSERT_EQ(key.Open(kLM, "K"), RegResult::CorruptStore);
    EXPECT_NE(qvplat::RegLastErrorText().find(".reg:3: unrecognised line"), std::string::npos)
        << qvplat::RegLastErrorText();
}

TEST(Registry, HandWrittenStoreIsRead)
{
    qvtest::SettingsEnv env;
    const fs::path file = env.Root() / "registry" / "HKEY_LOCAL_MACHINE.reg";
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << "; my settings\r\n"
                                             "castnet-registry 1\r\n"
                                             "\r\n"
                                             "[SOFTWARE\\Talvex\\RecordCtl]\r\n"
                                             "  \"Debug\"=REG_SZ \"1\\0\"   \r\n"
                                             "\"Count\" = REG_DWORD dword:0000010A\r\n";
    RegKey parent;
    ASSERT_EQ(parent.Open(kLM, "SOFTWARE\\Talvex"), RegResult::Success);
    RegKey key;
    ASSERT_EQ(key.Open(parent, "RecordCtl"), RegResult::Success);
    std::vector<RegValue> values;
    ASSERT_EQ(key.GetValues(values), RegResult::Success);
    EXPECT_EQ(values, (std::vector<RegValue>{qvplat::MakeStringValue("Debug", "1"),
                                             qvplat::MakeDwordValue("Count", 266)}));
}

// Runs body in a child process and returns its exit code.
template <class Body> pid_t Spawn(Body body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

int WaitExit(pid_t pid)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(Registry, TwoProcessesSettingValuesInOneKeyLoseNothing)
{
    qvtest::SettingsEnv env;
    RegKey key;
    ASSERT_EQ(key.Create(kLM, kSapKey), RegResult::Success);
    constexpr int kRounds = 150;
    auto writer = [](const std::string& prefix) {
        RegKey mine;
        if (mine.Open(kLM, kSapKey) != RegResult::Success) {
            return 1;
        }
        for (int i = 0; i < kRounds; ++i) {
            const std::string name = prefix + std::to_string(i);
            if (mine.SetValue(qvplat::MakeStringValue(name, name)) != RegResult::Success) {
                return 2;
            }
        }
        return 0;
    };
    const pid_t a = Spawn([&] { return writer("A"); });
    const pid_t b = Spawn([&] { return writer("B"); });
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(WaitExit(a), 0);
    EXPECT_EQ(WaitExit(b), 0);

    std::vector<RegValue> values;
    ASSERT_EQ(key.GetValues(values), RegResult::Success);
    EXPECT_EQ(values.size(), 2u * kRounds);
    for (const char* prefix : {"A", "B"}) {
        for (int i = 0; i < kRounds; ++i) {
            RegValue value;
            EXPECT_EQ(key.QueryValue(prefix + std::to_string(i), value), RegResult::Success);
        }
    }
}

// One process replaces the key's values again and again while another reads
// them: the reader must always find the key, with a complete set of values.
TEST(Registry, ReplaceIsSeenWholeByAnotherProcess)
{
    qvtest::SettingsEnv env;
    RegKey key;
    ASSERT_EQ(key.Create(kLM, std::string(kSapKey) + "\\Child"), RegResult::Success);
    ASSERT_EQ(qvplat::ReplaceRegKeyValues(
                  kLM, kSapKey,
                  {qvplat::MakeStringValue("Gen", "0"), qvplat::MakeStringValue("Fixed", "f")}),
              RegResult::Success);
    constexpr int kRounds = 200;
    const pid_t writer = Spawn([] {
        for (int i = 1; i <= kRounds; ++i) {
            const std::vector<RegValue> values{
                qvplat::MakeStringValue("Gen", std::to_string(i)),
                qvplat::MakeStringValue("Fixed", "f"),
                qvplat::MakeStringValue("Round" + std::to_string(i % 7), "x")};
            if (qvplat::ReplaceRegKeyValues(kLM, kSapKey, values) != RegResult::Success) {
                return 1;
            }
        }
        return 0;
    });
    const pid_t reader = Spawn([] {
        for (int i = 0; i < kRounds; ++i) {
            RegKey open;
            if (open.Open(kLM, kSapKey) != RegResult::Success) {
                return 1;
            }
            std::vector<RegValue> values;
            if (open.GetValues(values) != RegResult::Success) {
                return 2;
            }
            // Either the first set (two values) or a later one (three).
            const bool first =
                values.size() == 2 && values[0] == qvplat::MakeStringValue("Gen", "0");
            if ((!first && values.size() != 3) ||
                values[1] != qvplat::MakeStringValue("Fixed", "f")) {
                return 3;
            }
        }
        return 0;
    });
    ASSERT_GT(writer, 0);
    ASSERT_GT(reader, 0);
    EXPECT_EQ(WaitExit(writer), 0);
    EXPECT_EQ(WaitExit(reader), 0);
    RegKey child;
    EXPECT_EQ(child.Open(kLM, std::string(kSapKey) + "\\child"), RegResult::Success);
}

} // namespace
