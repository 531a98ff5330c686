#pragma once
// ctlhost without its windows: the command line, the script language and a
// session with one hosted control (creation, site, property bag, events,
// and the script's set/get/call/wait-event). The window side supplies the
// user-interface dispatcher and the commands that need a display.
//
// Script: one command per line; blank lines and lines starting with '#'
// are skipped; words are separated by blanks and a word in double quotes
// may hold blanks (\" and \\ inside, and \n for a line break).
//   set <property> <value>          get <property>
//   call <method> [<argument>...]   wait-event <event> <first argument> <ms>
//   sleep <ms>   about   pages   quit
//   screenshot <png file>    (saves the screen; prints how many colours the
//                            control's window shows)
//   double-click-row <row>   (the double click on a row of the first list
//                            view in the control's window, else of the
//                            first list box in any window of the program,
//                            as the list reports it to its handler)
//   select-row <row>         (selects that row of the same list, as a click
//                            would, without activating it)
//   command <id>             (clicks the shown and enabled button with that
//                            id, or named by that number, in any window of
//                            the program: a toolbar button, a dialog's
//                            button)
//   double-click             (a left double click on the control's window)
//   wait-row <text> <ms>     (waits until a row of that list holds the text;
//                            prints the row's number and text)
//   wait-colours <count> <ms> (waits until the control's window shows at
//                            least that many colours on the screen: a
//                            picture rather than a plain background)
// Arguments and values are passed as text; the control converts them.
// wait-event takes the first event of that name and first argument that no
// earlier wait-event took, also one that arrived before the command; it
// fails when none comes within the time. Any failing command ends the
// program with status 1.

#include "platform/com/control.h"
#include "platform/com/propbag.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ctlhost {

struct Options
{
    std::string control; // ProgID or "{class id}"
    qvplat::PropertyBag params;
    std::string script; // file name; "" for none
    int width = 480;
    int height = 320;
};

// false with a message for a bad command line; "--help" gives the usage as
// the message.
bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& message);

struct ScriptCommand
{
    int line = 0;
    std::string verb;
    std::vector<std::string> args;
};

// Checks every command's verb and argument count; false with "line N: ..."
// at the first fault.
bool ParseScript(const std::string& text, std::vector<ScriptCommand>& commands, std::string& error);

using OutputFn = std::function<void(const std::string& line)>;

class CtlSession
{
public:
    // output receives every line the session prints ("event Name(args)"...);
    // eventArrived is called after each event, on the UI thread.
    CtlSession(std::shared_ptr<qvplat::UiDispatcher> ui, OutputFn output,
               std::function<void()> eventArrived = {});
    ~CtlSession();
    CtlSession(const CtlSession&) = delete;
    CtlSession& operator=(const CtlSession&) = delete;

    // Creates the control, sites it, loads the bag and listens to its events.
    bool Open(const std::string& control, const qvplat::PropertyBag& params, std::string& error);
    // Closes and releases the control.
    void Close();
    qvplat::IUnknown* Control() const { return m_control.Get(); }

    bool Set(const std::string& name, const std::string& value, std::string& error);
    bool Get(const std::string& name, std::string& value, std::string& error);
    bool Call(const std::string& name, const std::vector<std::string>& args, std::string& result,
              std::string& error);
    // Queues a call of the control's about box on the UI thread, so that the
    // script runs on while the (modal) box is up.
    bool AboutBox(std::string& error);
    // Takes the first event not taken yet that has this name (any case) and
    // whose first argument reads value ("" matches an event without any).
    bool TakeEvent(const std::string& name, const std::string& value);

private:
    class Sink;
    bool Invoke(const std::string& name, std::uint16_t flags, const std::vector<std::string>& args,
                qvplat::Variant* result, std::string& error);
    void OnEvent(qvplat::DISPID id, std::span<const qvplat::Variant> args);

    std::shared_ptr<qvplat::UiDispatcher> m_ui;
    OutputFn m_output;
    std::function<void()> m_eventArrived;
    qvplat::ComPtr<qvplat::IDispatch> m_control;
    qvplat::ComPtr<qvplat::IQvControlSite> m_site;
    qvplat::ComPtr<qvplat::IDispatch> m_sink;
    const qvplat::DispatchInterfaceInfo* m_events = nullptr;
    std::uint32_t m_cookie = 0;
    std::deque<std::pair<std::string, std::vector<qvplat::Variant>>> m_pending;
};

// What a script asks of the windows.
class ScriptHost
{
public:
    virtual ~ScriptHost() = default;
    virtual bool ShowPages(std::vector<std::string>& titles, std::string& error) = 0;
    // colours: how many the control's window shows on the screen.
    virtual bool Screenshot(const std::string& path, std::size_t& colours, std::string& error) = 0;
    // How many colours the control's window shows on the screen now.
    virtual bool CountColours(std::size_t& colours, std::string& error) = 0;
    // The rows of the list that the row commands act on.
    virtual bool ListRows(std::vector<std::string>& rows, std::string& error) = 0;
    virtual bool DoubleClickRow(long row, std::string& error) = 0;
    virtual bool SelectRow(long row, std::string& error) = 0;
    virtual bool Command(int id, std::string& error) = 0;
    virtual bool DoubleClick(std::string& error) = 0;
    virtual void Quit(int status) = 0;
};

class ScriptRunner
{
public:
    ScriptRunner(CtlSession& session, ScriptHost& host, OutputFn output,
                 std::vector<ScriptCommand> commands);

    // Runs commands until one has to wait. Returns how long to wait at most
    // before the next Step (an event arriving is also a reason to step); 0
    // asks for the next Step once the user interface is idle (windows shown
    // just before a screenshot are drawn by then). Nothing once the script
    // has ended. A failing command prints "error: line N: ..." and quits
    // with status 1.
    std::optional<std::chrono::milliseconds> Step();

private:
    using Clock = std::chrono::steady_clock;
    bool Fail(const ScriptCommand& command, const std::string& error);

    CtlSession& m_session;
    ScriptHost& m_host;
    OutputFn m_output;
    std::vector<ScriptCommand> m_commands;
    std::size_t m_next = 0;
    std::optional<Clock::time_point> m_deadline; // of the command at m_next
    int m_idleRounds = 0;                        // of the screenshot at m_next
    bool m_ended = false;
};

} // namespace ctlhost
