#pragma once
// ctlhost without its windows: the command line, the script language and a
// session with one hosted control (creation, site, property bag, events,
// and the script's set/get/call/wait-event). The window side supplies the
// user-interface dispatcher and the commands that need a display.
//
// Script: one command per line; blank lines and lines starting with '#'
// are skipped; words are separated by blanks and a word in double quotes
// may hold blanks (\" and \\ inside, and \n for a line break). The verbs
// are those of UserVerbs() (`ctlhost --help` lists them); a program that
// hosts a control for tests adds its own through ExtraVerbs.
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
#include <span>
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

// One script verb: its name, its arguments (one letter each: 'a' any
// text, 't' a time in ms, 'r' a row, 'c' a count, 'i' an id; a trailing '*'
// allows any number of further text arguments), how the help shows them and
// what it does, in one line.
struct VerbSpec
{
    const char* name;
    const char* args;
    const char* synopsis;
    const char* description;
};

// The verbs of the shipped ctlhost.
std::span<const VerbSpec> UserVerbs();

// The usage text: the command line, then every verb with its description.
std::string Usage(const std::string& program, std::span<const VerbSpec> verbs);

// false with a message for a bad command line; "--help" gives the usage as
// the message.
bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& message,
                      const std::string& usage = Usage("ctlhost", UserVerbs()));

struct ScriptCommand
{
    int line = 0;
    std::string verb;
    std::vector<std::string> args;
};

// Checks every command's verb and arguments against verbs; false with
// "line N: ..." at the first fault.
bool ParseScript(const std::string& text, std::span<const VerbSpec> verbs,
                 std::vector<ScriptCommand>& commands, std::string& error);
inline bool ParseScript(const std::string& text, std::vector<ScriptCommand>& commands,
                        std::string& error)
{
    return ParseScript(text, UserVerbs(), commands, error);
}

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
    // Clicks the shown and enabled button with that id.
    virtual bool Command(int id, std::string& error) = 0;
    virtual void Quit(int status) = 0;
};

// Verbs beyond the user's, run by the program that added them.
class ExtraVerbs
{
public:
    enum class Result {
        Done,          // line (when not empty) is printed; the script goes on
        Again,         // called again shortly, or when an event arrives
        AgainWhenIdle, // called again once the user interface is idle
        Failed,        // error is printed and the script quits with status 1
    };
    virtual ~ExtraVerbs() = default;
    // elapsed: since this command's first call; round: its earlier calls.
    virtual Result Run(const ScriptCommand& command, std::chrono::milliseconds elapsed, int round,
                       std::string& line, std::string& error) = 0;
};

class ScriptRunner
{
public:
    // extra runs the commands whose verbs are not the user's.
    ScriptRunner(CtlSession& session, ScriptHost& host, OutputFn output,
                 std::vector<ScriptCommand> commands, ExtraVerbs* extra = nullptr);

    // Runs commands until one has to wait. Returns how long to wait at most
    // before the next Step (an event arriving is also a reason to step); 0
    // asks for the next Step once the user interface is idle. Nothing once
    // the script
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
    ExtraVerbs* m_extra;
    std::size_t m_next = 0;
    std::optional<Clock::time_point> m_started; // of the command at m_next
    int m_rounds = 0;                           // of the command at m_next
    bool m_ended = false;
};

} // namespace ctlhost
