#pragma once
// The verbs that ctlhost_uitest adds to ctlhost's for tests: screenshots,
// waiting for a picture or a moving one, and driving lists and the control's
// window. Window-free: the windows are behind DriverWindows.
//
//   screenshot <png file>      saves the screen; prints how many colours the
//                              control's window shows
//   wait-colours <count> <ms>  waits until the control's window shows at
//                              least that many colours (a picture rather
//                              than a plain background)
//   wait-moving <count> <ms>   waits until the control's window shows such a
//                              picture that differs from what it showed a
//                              second before; prints when the picture came
//                              and when it was seen moving
//   wait-row <text> <ms>       waits until a row of the list holds the text
//   double-click-row <row>     double-clicks a row of the list
//   select-row <row>           selects a row of the list without activating it
//   double-click               a left double click on the control's window
// The list is the first list view in the control's window, else the first
// list box shown in any window of the program.

#include "ctlhost/ctlsession.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace ctlhost {

class DriverWindows
{
public:
    virtual ~DriverWindows() = default;
    // colours: how many the control's window shows on the screen.
    virtual bool Screenshot(const std::string& path, std::size_t& colours, std::string& error) = 0;
    // What the control's window shows now: its colours and a digest of its
    // pixels.
    virtual bool LookAtControl(std::size_t& colours, std::uint64_t& digest, std::string& error) = 0;
    virtual bool ListRows(std::vector<std::string>& rows, std::string& error) = 0;
    virtual bool DoubleClickRow(long row, std::string& error) = 0;
    virtual bool SelectRow(long row, std::string& error) = 0;
    virtual bool DoubleClick(std::string& error) = 0;
};

// ctlhost's verbs and these.
std::span<const VerbSpec> DriverVerbSpecs();

class DriverVerbs final : public ExtraVerbs
{
public:
    explicit DriverVerbs(DriverWindows& windows) : m_windows(windows) {}

    Result Run(const ScriptCommand& command, std::chrono::milliseconds elapsed, int round,
               std::string& line, std::string& error) override;

private:
    Result WaitMoving(const ScriptCommand& command, std::chrono::milliseconds elapsed, int round,
                      std::string& line, std::string& error);

    struct Look
    {
        std::chrono::milliseconds at;
        std::uint64_t digest;
        bool picture;
    };
    DriverWindows& m_windows;
    std::deque<Look> m_looks;                           // of the wait-moving under way
    std::optional<std::chrono::milliseconds> m_picture; // when its picture came
};

} // namespace ctlhost
