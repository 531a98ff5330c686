#include "core/settings/qvproplist.h"

#include "platform/ini.h"
#include "platform/registry.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The list's items as (name, value) pairs, in order.
Entries ItemsOf(const QvPropertyList& list)
{
    Entries items;
    for (const QvPropertyItem* item : *list.GetListPtr()) {
        items.emplace_back(item->GetName().chars(), item->GetValue().chars());
    }
    return items;
}

QvPropertyList ListOf(const Entries& entries)
{
    QvPropertyList list;
    for (const auto& [name, value] : entries) {
        list.AddProperty(name.c_str(), value.c_str());
    }
    return list;
}

QvPropertyList Parsed(const char* text)
{
    QvPropertyList list;
    list.AddProperties(text);
    return list;
}

int IntOf(const char* value)
{
    QvPropertyList list;
    list.AddProperty("N", value);
    return list.GetIntProperty("n");
}

bool BoolOf(const char* value)
{
    QvPropertyList list;
    list.AddProperty("B", value);
    return list.GetBoolProperty("b");
}

// ---- In-memory behaviour -------------------------------------------------------------

TEST(PropertyList, NamesAreOneIgnoringCaseAndKeepTheirPosition)
{
    QvPropertyList list;
    list.AddProperty("first", "a");
    list.AddProperty("port", "1");
    list.AddProperty("last", "z");
    list.AddProperty("PORT", "2");
    list.SetProperty("Last", "Mixed Case");

    EXPECT_EQ(ItemsOf(list), (Entries{{"FIRST", "a"}, {"PORT", "2"}, {"LAST", "Mixed Case"}}));
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetProperty("Port"), "2");
    EXPECT_STREQ(list.GetCharProperty("last"), "Mixed Case");
}

TEST(PropertyList, AbsentAndEmptyValues)
{
    QvPropertyList list;
    list.AddProperty("Empty", "");

    EXPECT_TRUE(list.PropertyDefined("empty"));
    EXPECT_TRUE(list.Defined("EMPTY"));
    EXPECT_FALSE(list.Defined("missing"));
    EXPECT_EQ(list.GetProperty("missing"), "");
    EXPECT_STREQ(list.GetCharProperty("missing"), "");
    EXPECT_EQ(list.GetIntProperty("missing"), 0);
    EXPECT_FALSE(list.GetBoolProperty("missing"));
}

TEST(PropertyList, IntegerFormsWriteDecimalOrHex)
{
    QvPropertyList list;
    list.AddProperty("Hex", 255, QvPropertyList::Hex);
    list.AddProperty("Neg", -1, QvPropertyList::Decimal);
    list.SetProperty("NegHex", -1, QvPropertyList::Hex);
    list.AddProperty("Other", 5, static_cast<QvPropertyList::ValueType>(7));

    EXPECT_EQ(list.GetProperty("hex"), "0xff");
    EXPECT_EQ(list.GetProperty("neg"), "-1");
    EXPECT_EQ(list.GetProperty("neghex"), "0xffffffff");
    EXPECT_TRUE(list.Defined("other"));
    EXPECT_EQ(list.GetProperty("other"), "");
    EXPECT_EQ(list.GetIntProperty("neghex"), -1);
}

TEST(PropertyList, IntegerValues)
{
    const std::vector<std::pair<const char*, int>> cases = {
        {"0x10", 16},         {"10H", 16},       {"10", 10},       {"4K", 4096},
        {"1M", 1048576},      {"abc", 0},        {"", 0},          {"0x1F", 31},
        {"1fh", 31},          {"64k", 65536},    {"2m", 2097152},  {"7", 7},
        {"K", 0},             {"H", 0},          {"-5", -5},       {"-2K", -2048},
        {"0xFFFFFFFF", -1},   {"4096M", 0},      {"4294967297", 1}, {"12abc", 12},
        {"0x10K", 16},        {" 42", 42},       {"0x", 0},        {"0X0X20", 32},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(IntOf(value), expected) << "value \"" << value << "\"";
    }
}

TEST(PropertyList, BooleanValues)
{
    for (const char* value : {"true", "Yes", "1", "TRUE", "yes"}) {
        EXPECT_TRUE(BoolOf(value)) << value;
    }
    for (const char* value : {"TRUE ", "on", "0", "", "2", "y", "truex"}) {
        EXPECT_FALSE(BoolOf(value)) << value;
    }
}

TEST(PropertyList, FindPropertyStoresInEveryCase)
{
    QvPropertyList list;
    list.AddProperties("Port=0x20 Name=\"a b\" Flag");

    int number = 99;
    UtCString text = "old";
    bool flag = false;
    EXPECT_TRUE(list.FindProperty("port", number));
    EXPECT_EQ(number, 32);
    EXPECT_TRUE(list.FindProperty("name", text));
    EXPECT_EQ(text, "a b");
    EXPECT_TRUE(list.FindProperty("flag", flag));
    EXPECT_TRUE(flag);

    EXPECT_FALSE(list.FindProperty("absent", number));
    EXPECT_EQ(number, 0);
    EXPECT_FALSE(list.FindProperty("absent", text));
    EXPECT_EQ(text, "");
    flag = true;
    EXPECT_FALSE(list.FindProperty("absent", flag));
    EXPECT_FALSE(flag);
}

TEST(PropertyList, ClearingItems)
{
    QvPropertyList list = ListOf({{"A", "1"}, {"B", "2"}, {"C", "3"}});

    EXPECT_FALSE(list.ClearProperty("missing"));
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_TRUE(list.ClearProperty("b"));
    EXPECT_EQ(ItemsOf(list), (Entries{{"A", "1"}, {"C", "3"}}));
    EXPECT_FALSE(list.ClearProperty("B"));

    list.ClearProperties();
    EXPECT_EQ(list.GetCount(), 0);
    list.AddProperty("D", "4");
    EXPECT_EQ(ItemsOf(list), (Entries{{"D", "4"}}));
}

TEST(PropertyList, CopiesShareNoItems)
{
    QvPropertyList original = ListOf({{"A", "1"}, {"B", "2"}});
    QvPropertyList copy(original);
    QvPropertyList assigned = ListOf({{"Z", "9"}});
    assigned = original;

    original.AddProperty("A", "changed");
    EXPECT_EQ(ItemsOf(copy), (Entries{{"A", "1"}, {"B", "2"}}));
    EXPECT_EQ(ItemsOf(assigned), (Entries{{"A", "1"}, {"B", "2"}}));
}

TEST(PropertyList, SelfAssignmentKeepsTheItems)
{
    QvPropertyList list = ListOf({{"A", "1"}, {"B", "2"}});
    QvPropertyList& alias = list;
    QvPropertyList& result = (list = alias);

    EXPECT_EQ(&result, &list);
    EXPECT_EQ(ItemsOf(list), (Entries{{"A", "1"}, {"B", "2"}}));
}

TEST(PropertyList, MergeReplacesAndAppendsInTheOtherOrder)
{
    QvPropertyList list = ListOf({{"A", "1"}, {"B", "2"}});
    QvPropertyList other = ListOf({{"c", "3"}, {"b", "new"}});

    list.MergeProperties(other);
    EXPECT_EQ(ItemsOf(list), (Entries{{"A", "1"}, {"B", "new"}, {"C", "3"}}));
    EXPECT_EQ(ItemsOf(other), (Entries{{"C", "3"}, {"B", "new"}}));

    list.MergeProperties(list);
    EXPECT_EQ(list.GetCount(), 3);
}

// ---- One-line text form ------------------------------------------------------------

TEST(PropertyListText, ParsesEntriesInOrder)
{
    EXPECT_EQ(ItemsOf(Parsed("A B=1 C=\"x y\" D=")),
              (Entries{{"A", "TRUE"}, {"B", "1"}, {"C", "x y"}, {"D", ""}}));
}

TEST(PropertyListText, ParserEdgeCases)
{
    const std::vector<std::pair<const char*, Entries>> cases = {
        {"", {}},
        {"   ", {}},
        {"A=b=c", {{"A", "b"}}},
        {"A=\"b=c\"", {{"A", "b"}}},
        {"=x", {{"X", ""}}},
        {"Name=\"\"", {{"NAME", ""}}},
        {"A=\"two  blanks\"", {{"A", "two  blanks"}}},
        {"a=1\tb=2\nc=3", {{"A", "1"}, {"B", "2"}, {"C", "3"}}},
        {"  a=1    b  ", {{"A", "1"}, {"B", "TRUE"}}},
        {"A=1 a=2", {{"A", "2"}}},
        {"A=\"x\ty\"", {{"A", "x"}, {"Y\"", "TRUE"}}},
        {"Url=http://h/p?q", {{"URL", "http://h/p?q"}}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ItemsOf(Parsed(text)), expected) << "text \"" << text << "\"";
    }
}

TEST(PropertyListText, AddsToWhatIsThere)
{
    QvPropertyList list = ListOf({{"Keep", "k"}, {"A", "old"}});
    list.SetProperties("a=new b");
    EXPECT_EQ(ItemsOf(list), (Entries{{"KEEP", "k"}, {"A", "new"}, {"B", "TRUE"}}));
}

TEST(PropertyListText, WritesOneLine)
{
    EXPECT_EQ(QvPropertyList().GetPropertyString(), "");
    EXPECT_EQ(ListOf({{"A", "1"}, {"B", "x y"}}).GetPropertyString(), "A=1 B=\"x y\" ");
    EXPECT_EQ(ListOf({{"a", ""}, {"n", "l1\nl2"}, {"t", "a\tb"}}).GetPropertyString(),
              "A= N=\"l1\nl2\" T=a\tb ");
}

TEST(PropertyListText, WrittenTextParsesBack)
{
    const QvPropertyList list =
        ListOf({{"Address", "225.1.1.1"}, {"Title", "Evening news"}, {"Empty", ""}, {"Flag", "TRUE"}});
    EXPECT_EQ(ItemsOf(Parsed(list.GetPropertyString().chars())), ItemsOf(list));
}

// ---- Files and registry keys --------------------------------------------------------

// A private temporary directory with the Windows directory and the registry
// store inside it; the environment is restored afterwards.
class PropertyStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
        fs::create_directories(WindowsDir());
        fs::create_directories(m_dir / "registry");
        SaveAndSet("QV_WINDOWS_DIR", WindowsDir().string());
        SaveAndSet("QV_REGISTRY_DIR", (m_dir / "registry").string());
    }

    void TearDown() override
    {
        for (const auto& [name, value] : m_savedEnv) {
            if (value.has_value()) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

    fs::path WindowsDir() const { return m_dir / "windows"; }
    std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }

    static void WriteFile(const std::string& path, const std::string& text)
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }

    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    qvtest::TempDir m_temp{"proplist"};
    fs::path m_dir;

private:
    void SaveAndSet(const std::string& name, const std::string& value)
    {
        const char* old = std::getenv(name.c_str());
        m_savedEnv.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> m_savedEnv;
};

// A list whose section block is exactly `size` bytes (entries, their NULs and
// the closing NUL).
QvPropertyList ListWithBlockSize(std::size_t size)
{
    // Each "Kn=" + 90 characters + NUL is 94 bytes for n below 10, 95 after.
    QvPropertyList list;
    std::size_t used = 1;
    int n = 0;
    while (size - used > 200) {
        const std::string name = "K" + std::to_string(n++);
        const std::string value(90, 'v');
        list.AddProperty(name.c_str(), value.c_str());
        used += name.size() + 1 + value.size() + 1;
    }
    const std::string name = "LAST";
    list.AddProperty(name.c_str(), std::string(size - used - name.size() - 2, 'x').c_str());
    return list;
}

using PropertyIni = PropertyStoreTest;

TEST_F(PropertyIni, RoundTripKeepsOtherSections)
{
    const std::string file = PathOf("settings.ini");
    WriteFile(file, "[Before]\nx=1\n[QV]\nOLD=gone\n[After]\ny=2\n");

    QvPropertyList list = ListOf({{"Address", "225.1.1.1"}, {"Title", "two words"}, {"Empty", ""}});
    ASSERT_EQ(list.WriteProperties(file.c_str(), "QV"), 1);

    QvPropertyList read;
    ASSERT_EQ(read.ReadProperties(file.c_str(), "qv"), 1);
    EXPECT_EQ(ItemsOf(read), ItemsOf(list));

    QvPropertyList before;
    QvPropertyList after;
    EXPECT_EQ(before.ReadProperties(file.c_str(), "Before"), 1);
    EXPECT_EQ(after.ReadProperties(file.c_str(), "After"), 1);
    EXPECT_EQ(ItemsOf(before), (Entries{{"X", "1"}}));
    EXPECT_EQ(ItemsOf(after), (Entries{{"Y", "2"}}));
}

TEST_F(PropertyIni, MissingFileOrSectionLeavesTheListAlone)
{
    const std::string file = PathOf("some.ini");
    WriteFile(file, "[Other]\na=1\n[Empty]\n");
    QvPropertyList list = ListOf({{"Keep", "1"}});

    EXPECT_EQ(list.ReadProperties(PathOf("missing.ini").c_str(), "QV"), 0);
    EXPECT_EQ(list.ReadProperties(file.c_str(), "QV"), 0);
    EXPECT_EQ(list.ReadProperties(file.c_str(), "Empty"), 0);
    EXPECT_EQ(ItemsOf(list), (Entries{{"KEEP", "1"}}));
}

TEST_F(PropertyIni, ReadsAHandWrittenFile)
{
    const std::string file = PathOf("hand.ini");
    WriteFile(file, "; settings\r\n[Other]\r\nPort=1\r\n\r\n[qv]\r\n; a comment\r\n"
                    "  Port = 2010 \r\n\r\nFlag\r\nName=a=b\r\nLower=Value\r\n");
    QvPropertyList list = ListOf({{"Keep", "k"}, {"lower", "old"}});

    ASSERT_EQ(list.ReadProperties(file.c_str(), "QV"), 1);
    EXPECT_EQ(ItemsOf(list), (Entries{{"KEEP", "k"},
                                      {"LOWER", "Value"},
                                      {"PORT", "2010"},
                                      {"FLAG", "Flag"},
                                      {"NAME", "a=b"}}));
    EXPECT_EQ(list.GetIntProperty("port"), 2010);
}

TEST_F(PropertyIni, SectionLargerThanTheBufferIsNotRead)
{
    const std::string file = PathOf("big.ini");
    std::string text = "[QV]\n";
    for (int i = 0; i < 60; ++i) {
        text += "Key" + std::to_string(i) + "=" + std::string(80, 'v') + "\n";
    }
    WriteFile(file, text);

    QvPropertyList list = ListOf({{"Keep", "1"}});
    EXPECT_EQ(list.ReadProperties(file.c_str(), "QV"), 0);
    EXPECT_EQ(ItemsOf(list), (Entries{{"KEEP", "1"}}));
}

TEST_F(PropertyIni, OversizedListIsRefusedBeforeWriting)
{
    const std::string file = PathOf("limits.ini");
    const QvPropertyList fits = ListWithBlockSize(4096);
    ASSERT_EQ(fits.GetCount() > 1, true);
    ASSERT_EQ(QvPropertyList(fits).WriteProperties(file.c_str(), "QV"), 1);

    QvPropertyList read;
    ASSERT_EQ(read.ReadProperties(file.c_str(), "QV"), 1);
    EXPECT_EQ(ItemsOf(read), ItemsOf(fits));

    const std::string before = ReadFile(file);
    QvPropertyList tooBig = ListWithBlockSize(4097);
    EXPECT_EQ(tooBig.WriteProperties(file.c_str(), "QV"), 0);
    EXPECT_EQ(ReadFile(file), before);
}

TEST_F(PropertyIni, LineBreaksInValuesBecomeBlanks)
{
    const std::string file = PathOf("breaks.ini");
    QvPropertyList list = ListOf({{"Text", "one\r\ntwo\nthree"}, {"Next", "n"}});
    ASSERT_EQ(list.WriteProperties(file.c_str(), "QV"), 1);

    QvPropertyList read;
    ASSERT_EQ(read.ReadProperties(file.c_str(), "QV"), 1);
    EXPECT_EQ(ItemsOf(read), (Entries{{"TEXT", "one  two three"}, {"NEXT", "n"}}));
}

TEST_F(PropertyIni, EmptyListEmptiesTheSection)
{
    const std::string file = PathOf("empty.ini");
    WriteFile(file, "[QV]\na=1\n[Other]\nb=2\n");
    ASSERT_EQ(QvPropertyList().WriteProperties(file.c_str(), "QV"), 1);

    QvPropertyList list;
    EXPECT_EQ(list.ReadProperties(file.c_str(), "QV"), 0);
    EXPECT_EQ(list.ReadProperties(file.c_str(), "Other"), 1);
    EXPECT_EQ(ItemsOf(list), (Entries{{"B", "2"}}));
}

TEST_F(PropertyIni, BareNamesAndDefaultsUseTheWindowsDirectory)
{
    WriteFile((WindowsDir() / "QvCtl.ini").string(), "[QV]\nPort=2001\n");
    WriteFile((WindowsDir() / "QvFileList.ini").string(), "[QV]\nPort=3000\nDir=c:\\clips\n");

    QvPropertyList list;
    ASSERT_EQ(list.ReadDefaults("QvCtl.ini", "QV"), 1);
    EXPECT_EQ(list.GetIntProperty("Port"), 2001);
    ASSERT_EQ(list.ReadProperties("QvFileList.ini", "QV"), 1);
    EXPECT_EQ(ItemsOf(list), (Entries{{"PORT", "3000"}, {"DIR", "c:\\clips"}}));

    EXPECT_EQ(QvPropertyList().ReadDefaults("Missing.ini", "QV"), 0);
    ASSERT_EQ(list.WriteProperties("Written.ini", "QV"), 1);
    EXPECT_TRUE(fs::exists(WindowsDir() / "Written.ini"));
}

TEST_F(PropertyIni, FileOnlyFormsUseSectionQv)
{
    const fs::path previous = fs::current_path();
    fs::current_path(m_dir);
    QvPropertyList list = ListOf({{"Filename", "c:\\capture.mpg"}, {"Port", "2010"}});
    const int written = list.WriteProperties(".\\grabtool.ini");
    QvPropertyList read;
    const int readResult = read.ReadProperties(".\\grabtool.ini");
    fs::current_path(previous);

    EXPECT_EQ(written, 1);
    EXPECT_EQ(readResult, 1);
    EXPECT_EQ(ItemsOf(read), ItemsOf(list));
    EXPECT_EQ(ReadFile(PathOf("grabtool.ini")), "[QV]\nFILENAME=c:\\capture.mpg\nPORT=2010\n");
}

// Runs body in a child process; its result is the child's exit status.
template <class Body>
pid_t Spawn(Body body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body() ? 0 : 1);
    }
    return pid;
}

bool ExitedCleanly(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(PropertyIni, TwoProcessesWritingOneFileKeepBothSections)
{
    const std::string file = PathOf("shared.ini");
    constexpr int rounds = 40;
    auto writer = [&file](const char* section) {
        return [&file, section] {
            for (int i = 0; i < rounds; ++i) {
                QvPropertyList list;
                list.AddProperty("Round", i, QvPropertyList::Decimal);
                list.AddProperty("Writer", section);
                if (list.WriteProperties(file.c_str(), section) != 1) {
                    return false;
                }
                QvPropertyList read;
                if (read.ReadProperties(file.c_str(), section) != 1 ||
                    read.GetIntProperty("Round") != i) {
                    return false;
                }
            }
            return true;
        };
    };
    const pid_t first = Spawn(writer("One"));
    const pid_t second = Spawn(writer("Two"));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_TRUE(ExitedCleanly(first));
    EXPECT_TRUE(ExitedCleanly(second));

    for (const char* section : {"One", "Two"}) {
        QvPropertyList list;
        ASSERT_EQ(list.ReadProperties(file.c_str(), section), 1) << section;
        EXPECT_EQ(ItemsOf(list), (Entries{{"ROUND", std::to_string(rounds - 1)}, {"WRITER", section}}));
    }
}

using PropertyRegistry = PropertyStoreTest;

constexpr const char* testKey = "SOFTWARE\\Talvex\\SAPDatabase";
const qvplat::RegRoot machine = qvplat::RegRoot::LocalMachine;

std::vector<qvplat::RegValue> ValuesOf(qvplat::RegRoot root, const char* subkey)
{
    std::vector<qvplat::RegValue> values;
    qvplat::RegKey key;
    if (key.Open(root, subkey) == qvplat::RegResult::Success) {
        key.GetValues(values);
    }
    return values;
}

TEST_F(PropertyRegistry, RoundTripStoresTerminatedStrings)
{
    QvPropertyList list = ListOf({{"SAPAddress0", "224.2.127.254"}, {"SAPPort0", "9875"}, {"Empty", ""}});
    ASSERT_EQ(list.WriteRegistry(testKey, machine), 1);

    EXPECT_EQ(ValuesOf(machine, testKey),
              (std::vector<qvplat::RegValue>{qvplat::MakeStringValue("SAPADDRESS0", "224.2.127.254"),
                                             qvplat::MakeStringValue("SAPPORT0", "9875"),
                                             qvplat::MakeStringValue("EMPTY", "")}));

    QvPropertyList read = ListOf({{"Keep", "k"}, {"sapport0", "old"}});
    ASSERT_EQ(read.ReadRegistry(testKey, machine), 1);
    EXPECT_EQ(ItemsOf(read), (Entries{{"KEEP", "k"},
                                      {"SAPPORT0", "9875"},
                                      {"SAPADDRESS0", "224.2.127.254"},
                                      {"EMPTY", ""}}));

    QvPropertyList user;
    EXPECT_EQ(user.ReadRegistry(testKey, qvplat::RegRoot::CurrentUser), 0);
}

TEST_F(PropertyRegistry, MissingKeyLeavesTheListAlone)
{
    QvPropertyList list = ListOf({{"Keep", "1"}});
    EXPECT_EQ(list.ReadRegistry("SOFTWARE\\Talvex\\Missing", machine), 0);
    EXPECT_EQ(ItemsOf(list), (Entries{{"KEEP", "1"}}));
}

TEST_F(PropertyRegistry, ReadsOnlyStringsThatFitTheBuffers)
{
    qvplat::RegKey key;
    ASSERT_EQ(key.Create(machine, testKey), qvplat::RegResult::Success);
    const std::string name99(99, 'n');
    const std::string name100(100, 'm');
    const std::string data1024(1024, 'd'); // no terminator: exactly fills the buffer
    const std::string data1024z(1023, 'e');
    const std::string data1025(1025, 'f');
    const std::vector<qvplat::RegValue> values = {
        qvplat::MakeStringValue("Plain", "text"),
        qvplat::MakeDwordValue("Number", 7),
        {"Expand", qvplat::REG_EXPAND_SZ, {'%', 'x', '%', 0}},
        {"Binary", qvplat::REG_BINARY, {1, 2, 3}},
        qvplat::MakeStringValue(name99, "long name"),
        qvplat::MakeStringValue(name100, "too long name"),
        {"Full", qvplat::REG_SZ, std::vector<std::uint8_t>(data1024.begin(), data1024.end())},
        qvplat::MakeStringValue("FullTerminated", data1024z),
        {"TooBig", qvplat::REG_SZ, std::vector<std::uint8_t>(data1025.begin(), data1025.end())},
        {"Unterminated", qvplat::REG_SZ, {'a', 'b', 'c'}},
        {"Inner", qvplat::REG_SZ, {'x', 0, 'y', 0}},
        qvplat::MakeStringValue("After", "last"),
    };
    ASSERT_EQ(key.ReplaceValues(values), qvplat::RegResult::Success);

    QvPropertyList list;
    ASSERT_EQ(list.ReadRegistry(testKey, machine), 1);
    std::string upper99(99, 'N');
    EXPECT_EQ(ItemsOf(list), (Entries{{"PLAIN", "text"},
                                      {upper99, "long name"},
                                      {"FULL", data1024},
                                      {"FULLTERMINATED", data1024z},
                                      {"UNTERMINATED", "abc"},
                                      {"INNER", "x"},
                                      {"AFTER", "last"}}));
}

TEST_F(PropertyRegistry, WritingReplacesValuesAndKeepsSubkeys)
{
    qvplat::RegKey key;
    ASSERT_EQ(key.Create(machine, testKey), qvplat::RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("Stale", "old")), qvplat::RegResult::Success);
    ASSERT_EQ(key.SetValue(qvplat::MakeDwordValue("StaleNumber", 1)), qvplat::RegResult::Success);
    qvplat::RegKey sub;
    ASSERT_EQ(sub.Create(machine, std::string(testKey) + "\\Child"), qvplat::RegResult::Success);
    ASSERT_EQ(sub.SetValue(qvplat::MakeStringValue("Inner", "kept")), qvplat::RegResult::Success);

    QvPropertyList list = ListOf({{"SAPPort0", "9875"}});
    ASSERT_EQ(list.WriteRegistry(testKey, machine), 1);

    EXPECT_EQ(ValuesOf(machine, testKey),
              (std::vector<qvplat::RegValue>{qvplat::MakeStringValue("SAPPORT0", "9875")}));
    const std::string child = std::string(testKey) + "\\Child";
    EXPECT_EQ(ValuesOf(machine, child.c_str()),
              (std::vector<qvplat::RegValue>{qvplat::MakeStringValue("Inner", "kept")}));
}

TEST_F(PropertyRegistry, ConcurrentWritersNeverLeaveTheKeyMissingOrMixed)
{
    constexpr int rounds = 30;
    const Entries listA = {{"SAPADDRESS0", "224.2.127.254"}, {"SAPPORT0", "9875"}};
    const Entries listB = {{"SAPADDRESS1", "226.0.0.0"}, {"SAPPORT1", "6318"}, {"EXTRA", "b"}};
    auto writer = [](const Entries& entries) {
        return [&entries] {
            const QvPropertyList list = ListOf(entries);
            for (int i = 0; i < rounds; ++i) {
                if (QvPropertyList(list).WriteRegistry(testKey, machine) != 1) {
                    return false;
                }
            }
            return true;
        };
    };
    ASSERT_EQ(ListOf(listA).WriteRegistry(testKey, machine), 1);
    const pid_t first = Spawn(writer(listA));
    const pid_t second = Spawn(writer(listB));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);

    // Read for as long as either writer runs.
    int badReads = 0;
    std::vector<pid_t> running = {first, second};
    std::vector<pid_t> failed;
    while (!running.empty()) {
        QvPropertyList read;
        if (read.ReadRegistry(testKey, machine) != 1 ||
            (ItemsOf(read) != listA && ItemsOf(read) != listB)) {
            ++badReads;
        }
        std::erase_if(running, [&failed](pid_t pid) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) != pid) {
                return false;
            }
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                failed.push_back(pid);
            }
            return true;
        });
    }
    EXPECT_TRUE(failed.empty());
    EXPECT_EQ(badReads, 0);

    QvPropertyList last;
    ASSERT_EQ(last.ReadRegistry(testKey, machine), 1);
    EXPECT_TRUE(ItemsOf(last) == listA || ItemsOf(last) == listB);
}

TEST_F(PropertyRegistry, ConcurrentWritersOfAKeyAndItsSubkeyKeepBoth)
{
    constexpr int rounds = 30;
    const std::string child = std::string(testKey) + "\\Child";
    auto writer = [](std::string subkey, const char* name) {
        return [subkey, name] {
            for (int i = 0; i < rounds; ++i) {
                QvPropertyList list;
                list.AddProperty(name, i, QvPropertyList::Decimal);
                if (list.WriteRegistry(subkey.c_str(), machine) != 1) {
                    return false;
                }
            }
            return true;
        };
    };
    const pid_t parentWriter = Spawn(writer(testKey, "Parent"));
    const pid_t childWriter = Spawn(writer(child, "Child"));
    ASSERT_GT(parentWriter, 0);
    ASSERT_GT(childWriter, 0);
    EXPECT_TRUE(ExitedCleanly(parentWriter));
    EXPECT_TRUE(ExitedCleanly(childWriter));

    QvPropertyList parentList;
    QvPropertyList childList;
    ASSERT_EQ(parentList.ReadRegistry(testKey, machine), 1);
    ASSERT_EQ(childList.ReadRegistry(child.c_str(), machine), 1);
    EXPECT_EQ(ItemsOf(parentList), (Entries{{"PARENT", std::to_string(rounds - 1)}}));
    EXPECT_EQ(ItemsOf(childList), (Entries{{"CHILD", std::to_string(rounds - 1)}}));
}

} // namespace
