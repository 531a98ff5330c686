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
using Texts = std::vector<std::string>;

Texts Column(const FileListModel& model, Column column)
{
    Texts texts;
    for (std::size_t i = 0; i < model.NumRows(); ++i) {
        texts.push_back(model.Row(i).texts[column]);
    }
    return texts;
}

TEST(FileListPattern, PathAndFilterJoinOnce)
{
    EXPECT_EQ(MakePattern("c:\\mpeg", "*.mpg"), "c:\\mpeg\\*.mpg");
    EXPECT_EQ(MakePattern("c:\\mpeg\\", "*.mpg"), "c:\\mpeg\\*.mpg");
    EXPECT_EQ(MakePattern("/srv/clips/", "*.ts"), "/srv/clips/*.ts");
}

class FileListModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Valid());
        fs::copy_file(qvtest::SamplePath("m1s_testsrc.mpg"), m_dir.Path() / "a.mpg");
        fs::copy_file(qvtest::SamplePath("m2p_testsrc.mpg"), m_dir.Path() / "X.MPG");
        fs::copy_file(qvtest::SamplePath("m2t_testsrc2.ts"), m_dir.Path() / "t.mpg");
        m_dir.Write("junk.mpg", qvtest::Bytes(100000, 'Z'));
        m_dir.Write("notes.txt", {1});
        ASSERT_EQ(::mkfifo(m_dir.File("pipe.mpg").c_str(), 0600), 0);
        fs::create_directory(m_dir.Path() / "folder.mpg");
    }
    void Start(FileListModel& model) const
    {
        model.SetProp("Path", m_dir.Path().string());
        ASSERT_TRUE(model.Start());
    }

    qvtest::SettingsEnv m_env;
    qvtest::TempDir m_dir{"cliplist"};
};

TEST_F(FileListModelTest, ListsMatchingFilesWithTypeRateAndDate)
{
    FileListModel model(true);
    Start(model);
    EXPECT_EQ(model.Settings().GetProperty("Filter"), "*.mpg");
    ASSERT_TRUE(model.Rescan());
    // Sorted by name in any case; a FIFO and a folder are listed, not read.
    EXPECT_EQ(Column(model, kName), (Texts{"a", "folder", "junk", "pipe", "t", "X"}));
    EXPECT_EQ(Column(model, kMux), (Texts{"m1s", "", "", "", "m2t", "m2p"}));
    // The samples' bytes over their clock (ffprobe: 1.3, 0.7 and 0.5 Mbps).
    EXPECT_EQ(Column(model, kMbps), (Texts{"1.1", "", "", "", "0.7", "0.5"}));
    EXPECT_EQ(Column(model, kSize), (Texts{"0.3M", "0.0M", "0.1M", "0.0M", "0.3M", "0.3M"}));
    EXPECT_TRUE(
        std::regex_match(model.Row(0).texts[kDate], std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d)")));
    EXPECT_EQ(model.Row(5).item.path, m_dir.File("X.MPG"));
    EXPECT_FALSE(model.Rescan()) << "nothing changed";
}

TEST_F(FileListModelTest, RescansSeeWritesAndDeletionsButNotReads)
{
    FileListModel model(true);
    Start(model);
    ASSERT_TRUE(model.Rescan());
    const std::string file = m_dir.File("a.mpg");
    struct stat before
    {
    };
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    // Other contents of the same length under the old last-write time, and
    // a new access time: not read again.
    std::ofstream(file, std::ios::in | std::ios::binary) << std::string(fs::file_size(file), 'z');
    const timespec readOnly[2] = {{1000, 0}, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), readOnly, 0), 0);
    EXPECT_FALSE(model.Rescan());
    EXPECT_EQ(model.Row(0).texts[kMux], "m1s");

    // A new last-write time: probed again, once.
    const timespec written[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), written, 0), 0);
    EXPECT_TRUE(model.Rescan());
    EXPECT_EQ(model.Row(0).texts[kMux], "");
    EXPECT_FALSE(model.Rescan());

    fs::remove(file);
    EXPECT_TRUE(model.Rescan());
    EXPECT_EQ(model.NumRows(), 5u);
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
    model.Rescan();
    EXPECT_EQ(model.NumRows(), 0u) << "the filter counts from the next start";

    model.Stop();
    ASSERT_TRUE(model.Start());
    model.Rescan();
    // In the order found: a new file comes last whatever its name.
    m_dir.Write("0first.mpg", {0});
    EXPECT_TRUE(model.Rescan());
    EXPECT_EQ(Column(model, kName), (Texts{"a", "folder", "junk", "pipe", "t", "X", "0first"}));
}

} // namespace
