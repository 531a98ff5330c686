#include "ctlhost/tests/uitest/driververbs.h"

#include <algorithm>
#include <vector>

namespace ctlhost {

namespace {

// Idle rounds to let pass before a screenshot: the first lets newly shown
// windows be mapped, the second lets them be drawn.
constexpr int kIdleRoundsBeforeScreenshot = 2;
// How far apart the two looks of wait-moving are.
constexpr std::chrono::milliseconds kMotionSpan{1000};

std::vector<VerbSpec> MakeSpecs()
{
    std::vector<VerbSpec> specs(UserVerbs().begin(), UserVerbs().end());
    specs.insert(
        specs.end(),
        {
            {"screenshot", "a", "screenshot <png file>",
             "saves the screen and prints how many colours the control's window shows"},
            {"wait-colours", "ct", "wait-colours <count> <ms>",
             "waits until the control's window shows at least that many colours"},
            {"wait-moving", "ct", "wait-moving <count> <ms>",
             "waits until the control's window shows such a picture, changed from a second "
             "before"},
            {"wait-row", "at", "wait-row <text> <ms>",
             "waits until a row of the list holds the text; prints its number"},
            {"double-click-row", "r", "double-click-row <row>", "double-clicks a row of the list"},
            {"select-row", "r", "select-row <row>", "selects a row of the list"},
            {"double-click", "", "double-click", "a left double click on the control's window"},
        });
    return specs;
}

std::string Ms(std::chrono::milliseconds time)
{
    return std::to_string(time.count()) + " ms";
}

} // namespace

std::span<const VerbSpec> DriverVerbSpecs()
{
    static const std::vector<VerbSpec> specs = MakeSpecs();
    return specs;
}

ExtraVerbs::Result DriverVerbs::Run(const ScriptCommand& command, std::chrono::milliseconds elapsed,
                                    int round, std::string& line, std::string& error)
{
    const std::vector<std::string>& args = command.args;
    // For the verbs whose last argument is a time.
    const auto timedOut = [&] {
        return elapsed >= std::chrono::milliseconds(std::stoul(args.back()));
    };
    if (command.verb == "screenshot") {
        if (round < kIdleRoundsBeforeScreenshot) {
            return Result::AgainWhenIdle;
        }
        std::size_t colours = 0;
        if (!m_windows.Screenshot(args[0], colours, error)) {
            return Result::Failed;
        }
        line = "screenshot " + args[0] + ": " + std::to_string(colours) + " colours";
    } else if (command.verb == "wait-colours") {
        std::size_t colours = 0;
        std::uint64_t digest = 0;
        if (!m_windows.LookAtControl(colours, digest, error)) {
            return Result::Failed;
        }
        if (colours < std::stoul(args[0])) {
            if (!timedOut()) {
                return Result::Again;
            }
            error = "wait-colours " + args[0] + ": " + std::to_string(colours) + " after " +
                    args[1] + " ms";
            return Result::Failed;
        }
        line = "wait-colours " + args[0] + ": " + std::to_string(colours);
    } else if (command.verb == "wait-moving") {
        return WaitMoving(command, elapsed, round, line, error);
    } else if (command.verb == "wait-row") {
        std::vector<std::string> rows;
        if (!m_windows.ListRows(rows, error)) {
            rows.clear();
        }
        const auto found = std::find_if(rows.begin(), rows.end(), [&](const std::string& row) {
            return row.find(args[0]) != std::string::npos;
        });
        if (found == rows.end()) {
            if (!timedOut()) {
                return Result::Again;
            }
            error = "wait-row " + args[0] + ": none within " + args[1] + " ms" +
                    (error.empty() ? "" : " (" + error + ")");
            return Result::Failed;
        }
        line = "wait-row " + args[0] + ": row " + std::to_string(found - rows.begin()) + " \"" +
               *found + "\"";
    } else if (command.verb == "double-click-row" || command.verb == "select-row") {
        const long row = std::stol(args[0]);
        if (!(command.verb == "select-row" ? m_windows.SelectRow(row, error)
                                           : m_windows.DoubleClickRow(row, error))) {
            return Result::Failed;
        }
        line = command.verb + " " + args[0];
    } else if (command.verb == "double-click") {
        if (!m_windows.DoubleClick(error)) {
            return Result::Failed;
        }
        line = "double-click";
    } else {
        error = "unknown command \"" + command.verb + "\"";
        return Result::Failed;
    }
    return Result::Done;
}

ExtraVerbs::Result DriverVerbs::WaitMoving(const ScriptCommand& command,
                                           std::chrono::milliseconds elapsed, int round,
                                           std::string& line, std::string& error)
{
    if (round == 0) {
        m_looks.clear();
        m_picture.reset();
    }
    std::size_t colours = 0;
    std::uint64_t digest = 0;
    if (!m_windows.LookAtControl(colours, digest, error)) {
        return Result::Failed;
    }
    const bool picture = colours >= std::stoul(command.args[0]);
    if (picture && !m_picture) {
        m_picture = elapsed;
    }
    // The latest look at least a second old: when it and this one are both
    // pictures and differ, the picture moves.
    while (m_looks.size() > 1 && elapsed - m_looks[1].at >= kMotionSpan) {
        m_looks.pop_front();
    }
    const bool moving = picture && !m_looks.empty() &&
                        elapsed - m_looks.front().at >= kMotionSpan && m_looks.front().picture &&
                        m_looks.front().digest != digest;
    if (moving) {
        line = "wait-moving " + command.args[0] + ": picture after " + Ms(*m_picture) +
               ", moving after " + Ms(elapsed);
        return Result::Done;
    }
    m_looks.push_back({elapsed, digest, picture});
    if (elapsed < std::chrono::milliseconds(std::stoul(command.args[1]))) {
        return Result::Again;
    }
    error = "wait-moving " + command.args[0] + ": " +
            (m_picture ? "the picture did not move"
                       : "no picture (" + std::to_string(colours) + " colours)") +
            " within " + command.args[1] + " ms";
    return Result::Failed;
}

} // namespace ctlhost
