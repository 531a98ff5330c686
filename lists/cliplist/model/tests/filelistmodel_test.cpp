#include "lists/cliplist/model/filelistmodel.h"

#include "platform/tests/settings_env.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace {

namespace fs = std::filesystem;
using namespace cliplist;

std::vector<std::string> Column(const FileListModel& model, Column column)
{
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < model.NumRows(); ++i) {
        texts.push_back(model.Row(i).texts[column]);
    }
    return texts;
}

// Sets a file's access or last-write time (the other stays).
void SetTime(const std::string& path, bool lastWrite, std::int64_t seconds)
{
    timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    times[lastWrite ? 1 : 0] = {static_cast<time_t>(seconds), 0};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST(FileListPattern, PathAndFilterJoinOnce)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"c:\\mpeg", "*.mpg", "c:\\mpeg\\*.mpg"},
        {"c:\\mpeg\\", "*.mpg", "c:\\mpeg\\*.mpg"},
        {"/srv/clips", "*.ts", "/srv/clips\\*.ts"},
        {"/srv/clips/", "*.ts", "/srv/clips/*.ts"},
    };
    for (const auto& [path, filter, pattern] : cases) {
        EXPECT_EQ(MakePattern(path, filter), pattern) << path;
    }
}

class FileListModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Valid());
        for (const auto& [sample, name] :
             {std::pair{"m1s_testsrc.mpg", "a.mpg"}, std::pair{"m2p_testsrc.mpg", "X.MPG"},
              std::pair{"m2t_testsrc2.ts", "t.mpg"}}) {
            fs::copy_file(qvtest::SamplePath(sample), m_dir.Path() / name);
        }
        m_dir.Write("junk.mpg", qvtest::Bytes(100000, 0x5A));
        m_dir.Write("notes.txt", {1, 2, 3});
        ASSERT_EQ(::mkfifo(m_dir.File("pipe.mpg").c_str(), 0600), 0);
        fs::create_directory(m_dir.Path() / "folder.mpg");
    }
    void StartOn(FileListModel& model, const std::string& path) const
    {
        model.SetProp("Path", path);
        ASSERT_TRUE(model.Start());
    }

    qvtest::SettingsEnv m_env;
    qvtest::TempDir m_dir{"cliplist"};
};

TEST_F(FileListModelTest, ListsMatchingFilesWithTypeRateAndDate)
{
    FileListModel model(true);
    StartOn(model, m_dir.Path().string()); // without a trailing separator
    EXPECT_EQ(model.Settings().GetProperty("Filter"), "*.mpg");
    ASSERT_TRUE(model.Rescan());
    // Sorted by name in any case; a FIFO and a folder are listed, not read.
    EXPECT_EQ(Column(model, kName),
              (std::vector<std::string>{"a", "folder", "junk", "pipe", "t", "X"}));
    EXPECT_EQ(Column(model, kMux), (std::vector<std::string>{"m1s", "", "", "", "m2t", "m2p"}));
    EXPECT_EQ(Column(model, kMbps), (std::vector<std::string>{"1.4", "", "", "", "0.7", "0.7"}));
    EXPECT_EQ(Column(model, kSize),
              (std::vector<std::string>{"0.3M", "0.0M", "0.1M", "0.0M", "0.3M", "0.3M"}));
    for (const std::string& date : Column(model, kDate)) {
        EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d)"))) << date;
    }
    EXPECT_EQ(model.Row(5).item.path, m_dir.File("X.MPG"));
    EXPECT_FALSE(model.Rescan()) << "nothing changed";

    // The same directory with a trailing separator finds the same files.
    FileListModel again(true);
    StartOn(again, m_dir.Path().string() + "\\");
    again.Rescan();
    EXPECT_EQ(Column(again, kName), Column(model, kName));
}

TEST_F(FileListModelTest, RescansSeeWritesAndDeletionsButNotReads)
{
    FileListModel model(true);
    StartOn(model, m_dir.Path().string());
    ASSERT_TRUE(model.Rescan());
    const std::string file = m_dir.File("a.mpg");
    const std::int64_t written = fs::last_write_time(file).time_since_epoch().count();

    // New contents of the same length under the old time: not read again.
    {
        std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
        out << std::string(fs::file_size(file), 'z');
    }
    fs::last_write_time(file, fs::file_time_type(fs::file_time_type::duration(written)));
    SetTime(file, false, 1000); // read only
    EXPECT_FALSE(model.Rescan());
    EXPECT_EQ(model.Row(0).texts[kMux], "m1s");

    // A new last-write time: probed again, once.
    SetTime(file, true, 2000000000);
    EXPECT_TRUE(model.Rescan());
    EXPECT_EQ(model.Row(0).texts[kMux], "");
    EXPECT_FALSE(model.Rescan());

    fs::remove(file);
    EXPECT_TRUE(model.Rescan());
    EXPECT_EQ(model.NumRows(), 5u);
    EXPECT_EQ(model.FindRow(file), -1);
}

TEST_F(FileListModelTest, SettingsFilesThenPropertiesAtTheNextStart)
{
    const fs::path windows = m_env.Root() / "windows";
    fs::create_directories(windows);
    std::ofstream(windows / "QvCtl.ini") << "[QV]\nPath=c:\\elsewhere\nFilter=*.ts\n";
    std::ofstream(windows / "QvFileList.ini") << "[QV]\nPath=" << m_dir.Path().string() << "\n";
    FileListModel model(false);
    model.ReadSettings();
    ASSERT_TRUE(model.Start());
    EXPECT_FALSE(model.Start()) << "started already";
    EXPECT_EQ(model.Pattern(), m_dir.Path().string() + "\\*.ts");
    model.SetProp("filter", "*.MPG");
    EXPECT_EQ(model.Pattern(), m_dir.Path().string() + "\\*.ts");
    model.Rescan();
    EXPECT_EQ(model.NumRows(), 0u);

    model.Stop();
    ASSERT_TRUE(model.Start());
    model.Rescan();
    // In the order found: a new file comes last whatever its name.
    m_dir.Write("0first.mpg", {0});
    EXPECT_TRUE(model.Rescan());
    EXPECT_EQ(model.NumRows(), 7u);
    EXPECT_EQ(model.Row(0).texts[kName], "a");
    EXPECT_EQ(model.Row(6).texts[kName], "0first");
}

} // namespace
