// The engine's command handler and the capture's target checks, without a
// network: commands are handed to HandleCommand directly, as the channel's
// listener would.
#include "engine_testing.h"

#include "platform/tests/settings_env.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace enginetest;
namespace fs = std::filesystem;

class EngineTest : public ::testing::Test
{
protected:
    int Command(int code, const std::vector<std::uint8_t>& data = CommandData())
    {
        return m_engine.HandleCommand(code, data);
    }

    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime();
    RecordingHost m_host;
    QvCaptureEngine m_engine{m_host};
};

TEST_F(EngineTest, CommandsNeedingAStatusBlockDoNothingWithoutOne)
{
    ASSERT_TRUE(m_engine.StartServing());
    ASSERT_TRUE(m_engine.IsEngineValid());
    const struct
    {
        int code;
        int result;
    } cases[] = {{kQvCmdStart, kQvNotInitialised},
                 {kQvCmdStop, 0},
                 {kQvCmdSetDuration, 0},
                 {kQvCmdSetStopThreshold, 0},
                 {99, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(Command(c.code), c.result) << c.code;
    }
    EXPECT_TRUE(m_host.Posted().empty());
}

TEST_F(EngineTest, InitializeNamesTheSessionsStatusBlockAsTheControlDoes)
{
    const struct
    {
        std::string data; // command 1's data block
        const char* name;
    } cases[] = {
        {"v=0\no=- 4711 1 IN IP4 10.0.0.1\ns=x\nc=IN IP4 225.1.1.1/127\nm=video 2010 RTP/AVP 33\n",
         "x_QvST225.1.1.120104711"},
        // An id from the network cannot reach another object's name.
        {"v=0\no=- a/b~| 1 IN IP4 10.0.0.1\ns=x\nc=IN IP4 225.1.1.1/127\nm=video 2010 RTP/AVP 33\n",
         "x_QvST225.1.1.12010a%2Fb%7E%7C"},
        // Without a session text the address and port follow it.
        {QvInitializeData("", "225.9.9.9", "2044"), "x_QvST225.9.9.92044"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Command(kQvCmdInitialize, CommandData(c.data)), 0) << c.name;
        QvSharedBlock block(c.name, sizeof(QvStatusBlock));
        auto* status = static_cast<QvStatusBlock*>(block.GetView());
        ASSERT_NE(status, nullptr) << c.name;
        EXPECT_FALSE(block.IsNew()) << c.name;
        EXPECT_EQ(QvLoad(status->attached), 1) << c.name;
        EXPECT_EQ(QvLoad(status->duration), kQvDefaultDuration) << c.name;
        EXPECT_EQ(QvLoad(status->stopThreshold), kQvDefaultStopThreshold) << c.name;
    }

    // Duration and stop threshold reach the block that is open now.
    QvStatusBlock* status = m_engine.GetCapture().GetStatus();
    EXPECT_EQ(Command(kQvCmdSetDuration, ValueData<std::int32_t>(17)), 0);
    EXPECT_EQ(Command(kQvCmdSetStopThreshold, ValueData(1.5e9)), 0);
    EXPECT_EQ(QvLoad(status->duration), 17);
    EXPECT_EQ(QvLoad(status->stopThreshold), 1.5e9);
    EXPECT_TRUE(m_host.Posted().empty());
}

TEST_F(EngineTest, StartWithoutAFreeSlotAnswersMinus6AndChangesNothing)
{
    ASSERT_EQ(Command(kQvCmdInitialize, CommandData(QvInitializeData("", "225.9.9.9", "2044"))), 0);
    QvStore(m_engine.GetPresence()->freeSlots, 0);
    const fs::path handOver = m_env.Root() / "windows" / QvCaptureEngine::kHandOverFile;
    fs::create_directories(handOver.parent_path());
    std::ofstream(handOver) << "[QV]\nFilename=x.mpg\n";

    EXPECT_EQ(Command(kQvCmdStart), kQvNoFreeSlot);
    EXPECT_TRUE(m_host.Posted().empty());
    EXPECT_TRUE(fs::exists(handOver));
    EXPECT_FALSE(m_engine.GetProperties().PropertyDefined("Filename"));
    EXPECT_EQ(QvLoad(m_engine.GetCapture().GetStatus()->stopReason), kQvReasonNone);
    EXPECT_EQ(QvLoad(m_engine.GetPresence()->freeSlots), 0);
}

TEST(StreamCaptureTargetTest, NameJoinsFilenameAndPath)
{
    const struct
    {
        const char* filename;
        const char* path;
        const char* target;
    } cases[] = {
        {"x.mpg", "d:\\caps", "d:\\caps\\x.mpg"},
        {"x.mpg", "d:\\caps\\", "d:\\caps\\x.mpg"},
        {"e:\\y.mpg", "d:\\caps", "e:\\y.mpg"},
        {"x.mpg", "/srv/caps", "/srv/caps\\x.mpg"},
        {"sub/y.mpg", "d:\\caps", "sub/y.mpg"},
        {"x.mpg", "", "x.mpg"},
        {"", "d:\\caps", ""},
    };
    for (const auto& c : cases) {
        QvPropertyList settings;
        settings.SetProperty("Filename", c.filename);
        settings.SetProperty("Path", c.path);
        EXPECT_STREQ(QvStreamCapture::TargetName(settings).chars(), c.target)
            << c.filename << " in " << c.path;
    }
}

TEST(StreamCaptureTargetTest, OnlyARegularFileOrANewOneIsWritten)
{
    qvtest::SettingsEnv env;
    env.UsePrivateRuntime();
    const qvtest::TempDir dir("capture-target");
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string kept = dir.Write("kept", {1, 2, 3});
    const std::string link = dir.File("link");
    ASSERT_EQ(::symlink(kept.c_str(), link.c_str()), 0);

    QvStreamCapture capture;
    EXPECT_EQ(capture.Start(), QvStreamCapture::kNoStatus);
    ASSERT_TRUE(capture.OpenStatus("x_QvSTtarget"));
    const struct
    {
        std::string filename;
        int result;
    } cases[] = {{"", QvStreamCapture::kNoFileName},
                 {fifo, QvStreamCapture::kFileNotCreated}, // would wait for a reader
                 {link, QvStreamCapture::kFileNotCreated},
                 {dir.File("missing/x.mpg"), QvStreamCapture::kFileNotCreated}};
    for (const auto& c : cases) {
        capture.GetPropertyList().SetProperty("Filename", c.filename.c_str());
        EXPECT_EQ(capture.Start(), c.result) << c.filename;
        EXPECT_FALSE(capture.IsStarted());
    }
    EXPECT_EQ(qvtest::ReadAll(kept), (qvtest::Bytes{1, 2, 3}));
}

} // namespace
