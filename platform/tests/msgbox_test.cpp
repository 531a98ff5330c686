#include "platform/msgbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Shown
{
    std::string text;
    std::string caption;
    unsigned flags;
};

// Installs a capturing handler for one test and restores the previous one.
class CapturedBoxes
{
public:
    explicit CapturedBoxes(int answer = qvplat::IDOK)
    {
        previous_ = qvplat::SetMessageBoxHandler(
            [this, answer](const char* text, const char* caption, unsigned flags) {
                shown.push_back({text, caption, flags});
                return answer;
            });
    }
    ~CapturedBoxes() { qvplat::SetMessageBoxHandler(previous_); }
    CapturedBoxes(const CapturedBoxes&) = delete;
    CapturedBoxes& operator=(const CapturedBoxes&) = delete;

    std::vector<Shown> shown;

private:
    qvplat::MessageBoxFn previous_;
};

TEST(MessageBox, InstalledHandlerReceivesTextCaptionAndFlags)
{
    CapturedBoxes boxes(qvplat::IDNO);
    const unsigned flags = qvplat::MB_YESNO | qvplat::MB_ICONQUESTION;
    EXPECT_EQ(qvplat::MessageBox("Replace it?", "Castnet", flags), qvplat::IDNO);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Replace it?");
    EXPECT_EQ(boxes.shown[0].caption, "Castnet");
    EXPECT_EQ(boxes.shown[0].flags, flags);
}

TEST(MessageBox, NullTextsReachTheHandlerAsEmpty)
{
    CapturedBoxes boxes;
    qvplat::MessageBox(nullptr, nullptr, qvplat::MB_OK);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "");
    EXPECT_EQ(boxes.shown[0].caption, "");
}

TEST(MessageBox, SetHandlerReturnsPreviousAndEmptyRestoresDefault)
{
    CapturedBoxes outer(qvplat::IDCANCEL);
    auto previous = qvplat::SetMessageBoxHandler({});
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous("x", "y", 0), qvplat::IDCANCEL);
    EXPECT_EQ(outer.shown.size(), 1u);

    testing::internal::CaptureStderr();
    EXPECT_EQ(
        qvplat::MessageBox("disk full", "Fatal Error", qvplat::MB_TASKMODAL | qvplat::MB_ICONERROR),
        qvplat::IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Fatal Error: disk full\n");
    qvplat::SetMessageBoxHandler(previous);
}

TEST(MessageBox, DefaultWritesBareTextWithoutCaption)
{
    auto previous = qvplat::SetMessageBoxHandler({});
    testing::internal::CaptureStderr();
    qvplat::MessageBox("oops", "", qvplat::MB_ICONINFORMATION);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "oops\n");
    qvplat::SetMessageBoxHandler(previous);
}

TEST(MessageBox, DefaultAnswerFollowsTheDefaultButton)
{
    using namespace qvplat;
    EXPECT_EQ(DefaultAnswer(MB_OK | MB_ICONERROR | MB_TASKMODAL), IDOK);
    EXPECT_EQ(DefaultAnswer(MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(DefaultAnswer(MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(DefaultAnswer(MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_EQ(DefaultAnswer(MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
}

TEST(MessageBox, HandlerMayShowAnotherBox)
{
    CapturedBoxes outer;
    std::vector<std::string> seen;
    auto previous = qvplat::SetMessageBoxHandler([&seen](const char* text, const char*, unsigned) {
        seen.emplace_back(text);
        if (std::string(text) == "outer") {
            // Showing a box from inside a handler must not deadlock.
            return qvplat::MessageBox("inner", "", 0) == qvplat::IDNO ? qvplat::IDYES
                                                                      : qvplat::IDOK;
        }
        return qvplat::IDNO;
    });
    EXPECT_EQ(qvplat::MessageBox("outer", "", 0), qvplat::IDYES);
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
    qvplat::SetMessageBoxHandler(previous);
    EXPECT_TRUE(outer.shown.empty());
}

} // namespace
