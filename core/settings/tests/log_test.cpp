#include "core/settings/qvexception.h"
#include "core/settings/qvlog.h"

#include "platform/msgbox.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ShownBox
{
    std::string text;
    std::string caption;
    unsigned flags;
};

// Records every message box instead of showing it.
class BoxRecorder
{
public:
    BoxRecorder()
    {
        m_previous = qvplat::SetMessageBoxHandler(
            [this](const char* text, const char* caption, unsigned flags) {
                std::lock_guard lock(m_mutex);
                m_boxes.push_back({text, caption, flags});
                return qvplat::IDOK;
            });
    }
    ~BoxRecorder() { qvplat::SetMessageBoxHandler(m_previous); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<ShownBox> Boxes()
    {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }

private:
    std::mutex m_mutex;
    std::vector<ShownBox> m_boxes;
    qvplat::MessageBoxFn m_previous;
};

std::tm FixedClock()
{
    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    return t;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// True when some descriptor of this process is open on the file.
bool ProcessHasOpen(const fs::path& file)
{
    const fs::path target = fs::canonical(file);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path link = fs::read_symlink(entry.path(), error);
        if (!error && link == target) {
            return true;
        }
    }
    return false;
}

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
        QvCloseLogFiles();
        QvSetLogClock(&FixedClock);
    }

    void TearDown() override
    {
        QvCloseLogFiles();
        QvSetLogClock(nullptr);
    }

    std::string PathOf(const char* name) const { return (m_dir / name).string(); }

    // Opens both files in the temporary directory and returns their paths.
    void OpenBoth()
    {
        QvSetDebugFile(PathOf("debug.log").c_str());
        QvSetLogFile(PathOf("log.log").c_str());
    }
    std::string DebugText() const { return ReadFile(m_dir / "debug.log"); }
    std::string LogText() const { return ReadFile(m_dir / "log.log"); }

    qvtest::TempDir m_temp{"qvlog"};
    fs::path m_dir;
    BoxRecorder m_boxes;
};

TEST_F(LogTest, TimedLinesCarryTheLocalTimeAndGoToTheirFiles)
{
    OpenBoth();
    QvLog("Start");
    QvDebugMsgTime("only %s", "debug");
    EXPECT_EQ(DebugText(), "09:05:03  Start\n09:05:03  only debug\n");
    EXPECT_EQ(LogText(), "09:05:03  Start\n");
}

TEST_F(LogTest, SystemClockStampHasEightCharacters)
{
    QvSetLogClock(nullptr);
    OpenBoth();
    QvLog("now");
    const std::string line = LogText();
    ASSERT_EQ(line.size(), 14u);
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[5], ':');
    EXPECT_EQ(line.substr(8), "  now\n");
}

TEST_F(LogTest, WritersWriteOnlyToTheFilesThatAreOpen)
{
    // Nothing open: nothing is written, nothing fails, no box appears.
    QvDebugOut("a");
    QvDebugMsg("b");
    QvDebugMsgTime("c");
    QvLog("d");
    QvErrorMsg(false, "e");
    EXPECT_TRUE(m_boxes.Boxes().empty());

    QvSetLogFile(PathOf("log.log").c_str());
    QvDebugOut("debug only");
    QvDebugMsg("debug only");
    QvDebugMsgTime("debug only");
    QvLog("to log");
    QvErrorMsg(false, "error %d", 1);
    EXPECT_EQ(LogText(), "09:05:03  to log\nerror 1\n");

    QvCloseLogFiles();
    QvSetDebugFile(PathOf("debug.log").c_str());
    QvLog("to debug");
    QvErrorMsg(false, "error %d", 2);
    EXPECT_EQ(DebugText(), "09:05:03  to debug\nerror 2\n");
    EXPECT_EQ(LogText(), "09:05:03  to log\nerror 1\n");
}

TEST_F(LogTest, LogFileIsAppendedToNotTruncated)
{
    std::ofstream(PathOf("log.log")) << "earlier\n";
    QvSetLogFile(PathOf("log.log").c_str());
    QvLog("later");
    EXPECT_EQ(LogText(), "earlier\n09:05:03  later\n");
}

TEST_F(LogTest, DebugOutAddsNoNewlineAndDebugMsgDoes)
{
    OpenBoth();
    QvDebugOut("abc");
    QvDebugOut("def%d", 1);
    QvDebugMsg(" end");
    EXPECT_EQ(DebugText(), "abcdef1 end\n");
    EXPECT_EQ(LogText(), "");
}

TEST_F(LogTest, PercentSignsInTheMessageReachTheFileUnchanged)
{
    OpenBoth();
    const char* tricky = "100% done %s %n %d %%";
    QvDebugMsg("%s", tricky);
    QvLog("%s", tricky);
    QvErrorMsg(false, "%s", tricky);
    QvDebugOut("%s", tricky);
    const std::string expected =
        std::string(tricky) + "\n09:05:03  " + tricky + "\n" + tricky + "\n" + tricky;
    EXPECT_EQ(DebugText(), expected);
}

TEST_F(LogTest, OverlongMessagesAreCutToFitTheLine)
{
    const std::string big(1000, 'x');
    OpenBoth();

    QvDebugOut("%s", big.c_str());
    EXPECT_EQ(DebugText(), std::string(255, 'x'));
    QvCloseLogFiles();
    fs::remove(m_dir / "debug.log");

    OpenBoth();
    QvDebugMsg("%s", big.c_str());
    QvLog("%s%s", big.c_str(), big.c_str());
    QvErrorMsg(false, "%s", big.c_str());
    const std::vector<std::string> lines = SplitLines(DebugText());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(254, 'x'));
    EXPECT_EQ(lines[1], "09:05:03  " + std::string(244, 'x'));
    EXPECT_EQ(lines[2], std::string(254, 'x'));
    EXPECT_EQ(LogText(), lines[1] + "\n" + lines[2] + "\n");
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines)
{
    OpenBoth();
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    const std::string payload(180, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &payload] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2 == 0) {
                    QvLog("T%d L%d %s", t, i, payload.c_str());
                } else {
                    QvErrorMsg(false, "T%d L%d %s", t, i, payload.c_str());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    for (const std::string& text : {DebugText(), LogText()}) {
        ASSERT_FALSE(text.empty());
        ASSERT_EQ(text.back(), '\n');
        const std::vector<std::string> lines = SplitLines(text);
        ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
        std::set<std::string> seen;
        for (const std::string& line : lines) {
            std::string body = line;
            if (body.rfind("09:05:03  ", 0) == 0) {
                body = body.substr(10);
            }
            int t = -1;
            int i = -1;
            char rest[256] = {};
            ASSERT_EQ(std::sscanf(body.c_str(), "T%d L%d %255s", &t, &i, rest), 3) << line;
            EXPECT_EQ(body, "T" + std::to_string(t) + " L" + std::to_string(i) + " " + payload);
            EXPECT_EQ(line.size() != body.size(), i % 2 == 0) << line;
            seen.insert(body.substr(0, body.find(' ', 3)));
        }
        EXPECT_EQ(seen.size(), lines.size());
    }
}

TEST_F(LogTest, SettingAFileAgainClosesTheFirstAndMovesLaterLines)
{
    QvSetDebugFile(PathOf("first.log").c_str());
    QvDebugMsg("one");
    QvSetDebugFile(PathOf("second.log").c_str());
    QvDebugMsg("two");
    EXPECT_EQ(ReadFile(m_dir / "first.log"), "one\n");
    EXPECT_EQ(ReadFile(m_dir / "second.log"), "two\n");
    EXPECT_FALSE(ProcessHasOpen(m_dir / "first.log"));
    EXPECT_TRUE(ProcessHasOpen(m_dir / "second.log"));

    QvSetLogFile(PathOf("log1.log").c_str());
    QvSetLogFile(PathOf("log2.log").c_str());
    QvLog("three");
    EXPECT_EQ(ReadFile(m_dir / "log1.log"), "");
    EXPECT_EQ(ReadFile(m_dir / "log2.log"), "09:05:03  three\n");
    EXPECT_FALSE(ProcessHasOpen(m_dir / "log1.log"));
}

TEST_F(LogTest, FailureToOpenShowsABoxAndKeepsThePreviousSetting)
{
    const std::string bad = PathOf("no-such-dir/debug.log");
    QvSetDebugFile(bad.c_str());
    QvSetLogFile(bad.c_str());
    std::vector<ShownBox> boxes = m_boxes.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Failed to open debug log file: " + bad);
    EXPECT_EQ(boxes[1].text, "Failed to open log file: " + bad);
    EXPECT_EQ(boxes[0].caption, "");
    EXPECT_EQ(boxes[0].flags & qvplat::MB_ICONMASK, qvplat::MB_ICONINFORMATION);
    QvLog("goes nowhere");
    EXPECT_FALSE(fs::exists(bad));

    QvSetDebugFile(PathOf("debug.log").c_str());
    QvSetDebugFile(bad.c_str());
    QvDebugMsg("still here");
    EXPECT_EQ(DebugText(), "still here\n");
    EXPECT_EQ(m_boxes.Boxes().size(), 3u);
}

TEST_F(LogTest, WindowsStyleNamesAreMappedToTheDriveDirectory)
{
    const fs::path drive = m_dir / "drive_c";
    fs::create_directory(drive);
    const char* old = std::getenv("QV_DRIVE_C_DIR");
    const std::string saved = old != nullptr ? old : "";
    setenv("QV_DRIVE_C_DIR", drive.c_str(), 1);
    QvSetDebugFile("c:\\QvDebug.log");
    QvDebugMsg("mapped");
    QvCloseLogFiles();
    if (old != nullptr) {
        setenv("QV_DRIVE_C_DIR", saved.c_str(), 1);
    } else {
        unsetenv("QV_DRIVE_C_DIR");
    }
    EXPECT_TRUE(m_boxes.Boxes().empty());
    EXPECT_EQ(ReadFile(drive / "QvDebug.log"), "mapped\n");
}

TEST_F(LogTest, ErrorReportersWithATrueConditionDoNothing)
{
    OpenBoth();
    QvErrorMsg(true, "not %s", "written");
    QvErrorExit(true, "not %s", "written");
    EXPECT_EQ(DebugText(), "");
    EXPECT_EQ(LogText(), "");
    EXPECT_TRUE(m_boxes.Boxes().empty());
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, ErrorExitWritesBothFilesShowsTheBoxAndExitsWithOne)
{
    const std::string boxFile = PathOf("box.txt");
    EXPECT_EXIT(
        {
            OpenBoth();
            QvLog("before");
            // The child's memory is lost when it exits: record the box in a file.
            qvplat::SetMessageBoxHandler([&boxFile](const char* text, const char*, unsigned flags) {
                std::ofstream(boxFile) << flags << "|" << text;
                return qvplat::IDOK;
            });
            QvErrorExit(false, "Failed to create %s at 50%%.", "packet");
        },
        ::testing::ExitedWithCode(1), "");

    const std::string exitText = "Failed to create packet at 50%.\n\nExiting...";
    EXPECT_EQ(DebugText(), "09:05:03  before\n" + exitText);
    EXPECT_EQ(LogText(), "09:05:03  before\n" + exitText);
    EXPECT_EQ(ReadFile(boxFile), std::to_string(qvplat::MB_ICONINFORMATION) + "|" + exitText);
}

TEST_F(LogDeathTest, ErrorExitBoxShownByAThreadThatLogsDoesNotDeadlock)
{
    EXPECT_EXIT(
        {
            OpenBoth();
            // As in a window program: the box is shown by another thread,
            // which logs while the box is up; the exit waits for it.
            qvplat::SetMessageBoxHandler([](const char*, const char*, unsigned) {
                std::thread([] { QvLog("while the box is up"); }).join();
                return qvplat::IDOK;
            });
            QvErrorExit(false, "fatal");
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(LogText(), "fatal\n\nExiting...");
}

TEST_F(LogDeathTest, ErrorExitWithoutFilesStillShowsTheBoxAndExits)
{
    const std::string big(600, 'y');
    EXPECT_EXIT(
        {
            qvplat::SetMessageBoxHandler({}); // the default box writes to stderr
            QvErrorExit(false, "fatal %s", big.c_str());
        },
        ::testing::ExitedWithCode(1), "fatal y+\n\nExiting\\.\\.\\.");
}

TEST(QvExceptionTest, BuildsItsTextsFromCopiesOfTheCallersTexts)
{
    std::string file = "qvsocket.cpp";
    std::string message = "Failed to create socket";
    const QvException error(file.c_str(), 42, message.c_str(), 10047);
    file.assign("overwritten");
    message.assign("overwritten");

    EXPECT_EQ(error.GetCode(), 10047);
    EXPECT_EQ(error.GetLine(), 42);
    EXPECT_STREQ(error.GetFileName(), "qvsocket.cpp");
    EXPECT_STREQ(error.GetMessage(), "Failed to create socket");
    EXPECT_STREQ(error.GetShortText(), "Failed to create socket (10047)");
    EXPECT_STREQ(error.GetLongText(),
                 "File: qvsocket.cpp, Line: 42\n\nFailed to create socket (10047)");

    const QvException empty(nullptr, 0, nullptr, -1);
    EXPECT_STREQ(empty.GetShortText(), " (-1)");
    EXPECT_STREQ(empty.GetLongText(), "File: , Line: 0\n\n (-1)");
}

TEST(QvExceptionTest, CopiesOwnTheirTextsAndOutliveTheOriginal)
{
    auto original = std::make_unique<QvException>("a.cpp", 1, "first", 1);
    const QvException copy(*original);
    QvException assigned("b.cpp", 2, "second", 2);
    assigned = *original;
    original.reset();
    EXPECT_STREQ(copy.GetLongText(), "File: a.cpp, Line: 1\n\nfirst (1)");
    EXPECT_STREQ(assigned.GetShortText(), "first (1)");

    QvException& self = assigned;
    assigned = self;
    EXPECT_STREQ(assigned.GetLongText(), "File: a.cpp, Line: 1\n\nfirst (1)");

    try {
        throw QvException("c.cpp", 3, "thrown", 3);
    } catch (const QvException& caught) {
        EXPECT_STREQ(caught.GetShortText(), "thrown (3)");
    }
}

TEST(QvExceptionTest, ShowErrorShowsTheShortTextWithAnEmptyCaption)
{
    BoxRecorder boxes;
    QvException("d.cpp", 4, "shown", 4).ShowError();
    const std::vector<ShownBox> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "shown (4)");
    EXPECT_EQ(shown[0].caption, "");
    EXPECT_EQ(shown[0].flags, qvplat::MB_ICONINFORMATION);
}

} // namespace
