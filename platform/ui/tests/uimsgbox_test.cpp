#include "platform/msgbox.h"
#include "platform/ui/uidispatch.h"
#include "platform/ui/uimsgbox.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using qvplat::PumpedUiDispatcher;
using qvplat::UiMessageBoxes;

constexpr std::uint32_t kPatienceMs = 30000; // a bound for a hung test, not a speed check

struct ShownBox
{
    std::string text;
    bool onUiThread;
};

// A screen that records each box and answers No.
class FakeScreen
{
public:
    explicit FakeScreen(const std::thread::id ui) : m_ui(ui) {}
    qvplat::MessageBoxFn Fn()
    {
        return [this](const char* text, const char*, unsigned) {
            shown.push_back({text, std::this_thread::get_id() == m_ui});
            return qvplat::IDNO;
        };
    }
    std::vector<ShownBox> shown;

private:
    std::thread::id m_ui;
};

TEST(UiMessageBoxesTest, AWorkersBoxIsShownOnTheUiThreadAndTheWorkerGetsTheAnswer)
{
    auto ui = std::make_shared<PumpedUiDispatcher>();
    FakeScreen screen(std::this_thread::get_id());
    UiMessageBoxes boxes(screen.Fn());
    boxes.SetDispatcher(ui);

    auto answer = std::async(std::launch::async, [&] {
        return boxes.Show("from a worker", "", qvplat::MB_YESNO);
    });
    ASSERT_TRUE(ui->PumpUntil([&] { return !screen.shown.empty(); }, kPatienceMs));
    EXPECT_EQ(answer.get(), qvplat::IDNO);
    ASSERT_EQ(screen.shown.size(), 1U);
    EXPECT_EQ(screen.shown[0].text, "from a worker");
    EXPECT_TRUE(screen.shown[0].onUiThread);

    // On the user-interface thread itself the box is shown at once.
    EXPECT_EQ(boxes.Show("from the ui", "", qvplat::MB_YESNO), qvplat::IDNO);
    EXPECT_EQ(screen.shown.size(), 2U);
}

TEST(UiMessageBoxesTest, WithoutARunningLoopAWorkerNeverWaitsForNobody)
{
    FakeScreen screen(std::this_thread::get_id());
    UiMessageBoxes boxes(screen.Fn());
    auto previous = qvplat::SetMessageBoxHandler({});

    // No dispatcher yet: the worker's box goes to the default handler, which
    // answers with the default button; the screen is never touched off its thread.
    auto early = std::async(std::launch::async, [&] {
        return boxes.Show("early", "", qvplat::MB_YESNO | qvplat::MB_DEFBUTTON2);
    });
    EXPECT_EQ(early.get(), qvplat::IDNO);
    EXPECT_TRUE(screen.shown.empty());

    // A loop that ends while a worker waits releases the worker.
    auto ui = std::make_shared<PumpedUiDispatcher>();
    boxes.SetDispatcher(ui);
    std::promise<void> asked;
    auto late = std::async(std::launch::async, [&] {
        asked.set_value();
        return boxes.Show("late", "", qvplat::MB_OKCANCEL);
    });
    asked.get_future().wait();
    ui->Close();
    EXPECT_EQ(late.get(), qvplat::IDOK);
    EXPECT_TRUE(screen.shown.empty());
    qvplat::SetMessageBoxHandler(std::move(previous));
}

} // namespace
