#include "ctlhost/ctlsession.h"

#include "platform/com/creation.h"
#include "platform/com/text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

namespace ctlhost {

using namespace qvplat;

namespace {

// How often a verb that waits for the windows looks again.
constexpr std::chrono::milliseconds kPollPeriod{100};

constexpr VerbSpec kUserVerbs[] = {
    {"set", "aa", "set <property> <value>", "sets a property of the control"},
    {"get", "a", "get <property>", "prints a property of the control"},
    {"call", "a*", "call <method> [<argument>...]", "calls a method and prints its result"},
    {"wait-event", "aat", "wait-event <event> <first argument> <ms>",
     "waits for an event with that first argument (\"\" for none), also one that came earlier"},
    {"sleep", "t", "sleep <ms>", "waits that long"},
    {"about", "", "about", "opens the control's About box"},
    {"pages", "", "pages", "shows the control's property pages and prints their titles"},
    {"command", "i", "command <id>",
     "clicks the shown and enabled button with that id in the program's windows (a toolbar "
     "button, a dialog's button)"},
    {"quit", "", "quit", "ends the program with status 0"},
};

std::string Describe(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<std::uint32_t>(hr));
    return std::string(text) + " " + HResultName(hr);
}

bool ParseNumber(std::string_view text, std::uint32_t max, std::uint32_t& number)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() &&
           number <= max;
}

// The words of one line; false for an unterminated quote.
bool SplitWords(std::string_view line, std::vector<std::string>& words)
{
    std::size_t at = 0;
    while (true) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) {
            ++at;
        }
        if (at == line.size()) {
            return true;
        }
        std::string word;
        if (line[at] == '"') {
            for (++at;; ++at) {
                if (at == line.size()) {
                    return false;
                }
                if (line[at] == '"') {
                    ++at;
                    break;
                }
                if (line[at] == '\\' && at + 1 < line.size() && line[at + 1] == 'n') {
                    ++at;
                    word += '\n';
                    continue;
                }
                if (line[at] == '\\' && at + 1 < line.size() &&
                    (line[at + 1] == '"' || line[at + 1] == '\\')) {
                    ++at;
                }
                word += line[at];
            }
        } else {
            while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') {
                word += line[at++];
            }
        }
        words.push_back(std::move(word));
    }
}

} // namespace

std::span<const VerbSpec> UserVerbs()
{
    return kUserVerbs;
}

std::string Usage(const std::string& program, std::span<const VerbSpec> verbs)
{
    std::string text = "usage: " + program +
                       " [--param name=value]... [--script file] [--size WIDTHxHEIGHT] "
                       "<ProgID | {class id}>\n"
                       "Hosts one control in a frame, prints its events and runs the script:\n"
                       "one command a line, '#' starts a comment, \"...\" quotes a word; a\n"
                       "failing command ends the program with status 1.\n"
                       "Script commands:";
    std::size_t width = 0;
    for (const VerbSpec& verb : verbs) {
        width = std::max(width, std::string_view(verb.synopsis).size());
    }
    for (const VerbSpec& verb : verbs) {
        text += "\n  " + std::string(verb.synopsis) +
                std::string(width + 2 - std::string_view(verb.synopsis).size(), ' ') +
                verb.description;
    }
    return text;
}

bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& message,
                      const std::string& usage)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        const auto takeValue = [&](const std::string& option) {
            if (arg.rfind(option + "=", 0) == 0) {
                value = arg.substr(option.size() + 1);
                return true;
            }
            if (arg == option && i + 1 < args.size()) {
                value = args[++i];
                return true;
            }
            return false;
        };
        if (arg == "--help" || arg == "-h") {
            message = usage;
            return false;
        } else if (takeValue("--param")) {
            if (!options.params.AddParam(value)) {
                message = "--param \"" + value + "\": expected name=value";
                return false;
            }
        } else if (takeValue("--script")) {
            options.script = value;
        } else if (takeValue("--size")) {
            const std::size_t x = value.find('x');
            std::uint32_t width = 0;
            std::uint32_t height = 0;
            if (x == std::string::npos ||
                !ParseNumber(std::string_view(value).substr(0, x), 10000, width) ||
                !ParseNumber(std::string_view(value).substr(x + 1), 10000, height) || width == 0 ||
                height == 0) {
                message = "--size \"" + value + "\": expected WIDTHxHEIGHT";
                return false;
            }
            options.width = static_cast<int>(width);
            options.height = static_cast<int>(height);
        } else if (arg.rfind("-", 0) == 0) {
            message = "unknown option " + arg + "\n" + usage;
            return false;
        } else if (options.control.empty()) {
            options.control = arg;
        } else {
            message = "one control only\n" + usage;
            return false;
        }
    }
    if (options.control.empty()) {
        message = usage;
        return false;
    }
    return true;
}

bool ParseScript(const std::string& text, std::span<const VerbSpec> verbs,
                 std::vector<ScriptCommand>& commands, std::string& error)
{
    int number = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = std::string_view(text).substr(start, end - start);
        start = end + 1;
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        std::vector<std::string> words;
        if (!SplitWords(line, words)) {
            error = where + "unterminated quote";
            return false;
        }
        if (words.empty() || words[0].front() == '#') {
            continue;
        }
        const auto verb = std::find_if(verbs.begin(), verbs.end(),
                                       [&](const VerbSpec& spec) { return words[0] == spec.name; });
        if (verb == verbs.end()) {
            error = where + "unknown command \"" + words[0] + "\"";
            return false;
        }
        ScriptCommand command{number, words[0], {words.begin() + 1, words.end()}};
        std::string_view kinds = verb->args;
        const bool more = kinds.ends_with('*');
        if (more) {
            kinds.remove_suffix(1);
        }
        if (command.args.size() < kinds.size() || (!more && command.args.size() > kinds.size())) {
            error = where + command.verb + ": wrong number of arguments";
            return false;
        }
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            const std::string& arg = command.args[i];
            std::uint32_t value = 0;
            const char* fault = nullptr;
            switch (kinds[i]) {
            case 't':
                fault = ParseNumber(arg, 24u * 3600 * 1000, value) ? nullptr : "a time in ms";
                break;
            case 'r':
            case 'c':
            case 'i':
                fault = ParseNumber(arg, std::numeric_limits<std::int32_t>::max(), value) ? nullptr
                        : kinds[i] == 'r'                                                 ? "a row"
                        : kinds[i] == 'c' ? "a count"
                                          : "an id";
                break;
            default:
                break;
            }
            if (fault != nullptr) {
                error = where + command.verb + ": \"" + arg + "\" is not " + fault;
                return false;
            }
        }
        commands.push_back(std::move(command));
    }
    return true;
}

// ---- Session ---------------------------------------------------------------------------

class CtlSession::Sink final : public ComObject<IDispatch>
{
public:
    Sink(IUnknown* outer, CtlSession& session) : ComObject(outer), m_session(&session) {}
    void Detach() { m_session = nullptr; }

    HRESULT GetIDsOfNames(std::span<const std::string>, std::span<DISPID>) override
    {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID id, std::uint16_t, std::span<const Variant> args, Variant*,
                   std::uint32_t*) override
    {
        if (m_session != nullptr) {
            m_session->OnEvent(id, args);
        }
        return S_OK;
    }

private:
    CtlSession* m_session;
};

class HostSite final : public ComObject<IQvControlSite>
{
public:
    HostSite(IUnknown* outer, std::shared_ptr<UiDispatcher> ui)
        : ComObject(outer), m_ui(std::move(ui))
    {
    }
    std::shared_ptr<UiDispatcher> GetUiDispatcher() override { return m_ui; }

private:
    std::shared_ptr<UiDispatcher> m_ui;
};

CtlSession::CtlSession(std::shared_ptr<UiDispatcher> ui, OutputFn output,
                       std::function<void()> eventArrived)
    : m_ui(std::move(ui)), m_output(std::move(output)), m_eventArrived(std::move(eventArrived))
{
}

CtlSession::~CtlSession()
{
    Close();
}

bool CtlSession::Open(const std::string& control, const PropertyBag& params, std::string& error)
{
    CLSID clsid;
    HRESULT hr = control.starts_with("{") ? CLSIDFromString(control, &clsid)
                                          : CLSIDFromProgID(control, &clsid);
    if (Failed(hr)) {
        error = "unknown control \"" + control + "\": " + Describe(hr);
        return false;
    }
    if (Failed(hr = CoCreateInstance(clsid, m_control))) {
        error = "cannot create " + control + ": " + Describe(hr);
        return false;
    }
    if (ComPtr<IQvControl> site = m_control.As<IQvControl>()) {
        m_site = ComPtr<IQvControlSite>(new HostSite(nullptr, m_ui));
        site->SetClientSite(m_site.Get());
        site->GetTypeInfo(nullptr, &m_events);
    }
    if (ComPtr<IPersistPropertyBag> persist = m_control.As<IPersistPropertyBag>()) {
        if (Failed(hr = persist->Load(params))) {
            m_output("warning: not every --param was taken: " + Describe(hr));
        }
    } else if (!params.Items().empty()) {
        m_output("warning: the control takes no parameters");
    }
    if (ComPtr<IQvEventSource> source = m_control.As<IQvEventSource>()) {
        m_sink = ComPtr<IDispatch>(new Sink(nullptr, *this));
        if (Failed(hr = source->Advise(m_sink.Get(), &m_cookie))) {
            m_output("warning: no events: " + Describe(hr));
        }
    }
    return true;
}

void CtlSession::Close()
{
    if (m_sink) {
        static_cast<Sink*>(m_sink.Get())->Detach();
    }
    if (m_control) {
        if (ComPtr<IQvEventSource> source = m_control.As<IQvEventSource>();
            source && m_cookie != 0) {
            source->Unadvise(m_cookie);
        }
        if (ComPtr<IQvControl> control = m_control.As<IQvControl>()) {
            control->Close();
        }
    }
    m_cookie = 0;
    m_events = nullptr;
    m_control.Reset();
    m_sink.Reset();
    m_site.Reset();
}

bool CtlSession::Invoke(const std::string& name, std::uint16_t flags,
                        const std::vector<std::string>& args, Variant* result, std::string& error)
{
    if (!m_control) {
        error = "no control";
        return false;
    }
    DISPID id = DISPID_UNKNOWN;
    const std::string names[] = {name};
    HRESULT hr = m_control->GetIDsOfNames(names, {&id, 1});
    if (Succeeded(hr)) {
        const std::vector<Variant> values(args.begin(), args.end());
        std::uint32_t argError = 0;
        hr = m_control->Invoke(id, flags, values, result, &argError);
        if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {
            error = name + ": argument " + std::to_string(argError + 1) + ": " + Describe(hr);
            return false;
        }
    }
    if (Failed(hr)) {
        error = name + ": " + Describe(hr);
        return false;
    }
    return true;
}

bool CtlSession::Set(const std::string& name, const std::string& value, std::string& error)
{
    return Invoke(name, DISPATCH_PROPERTYPUT, {value}, nullptr, error);
}

bool CtlSession::Get(const std::string& name, std::string& value, std::string& error)
{
    Variant result;
    if (!Invoke(name, DISPATCH_PROPERTYGET, {}, &result, error)) {
        return false;
    }
    value = VariantToText(result);
    return true;
}

bool CtlSession::Call(const std::string& name, const std::vector<std::string>& args,
                      std::string& result, std::string& error)
{
    Variant value;
    if (!Invoke(name, DISPATCH_METHOD, args, &value, error)) {
        return false;
    }
    result = value.Type() == VT_EMPTY ? "" : VariantToText(value);
    return true;
}

bool CtlSession::AboutBox(std::string& error)
{
    const DispatchInterfaceInfo* info = nullptr;
    if (ComPtr<IQvControl> control = m_control.As<IQvControl>()) {
        control->GetTypeInfo(&info, nullptr);
    }
    if (!m_control || (info != nullptr && info->Find(DISPID_ABOUTBOX) == nullptr)) {
        error = "the control has no about box";
        return false;
    }
    const bool queued = m_ui->Post([control = m_control] {
        control->Invoke(DISPID_ABOUTBOX, DISPATCH_METHOD, {}, nullptr, nullptr);
    });
    if (!queued) {
        error = "the user interface has closed";
    }
    return queued;
}

void CtlSession::OnEvent(DISPID id, std::span<const Variant> args)
{
    const DispatchMemberInfo* member = m_events != nullptr ? m_events->Find(id) : nullptr;
    std::string name = member != nullptr ? member->name : "event" + std::to_string(id);
    std::string line = "event " + name + "(";
    for (std::size_t i = 0; i < args.size(); ++i) {
        line += (i > 0 ? ", " : "") + VariantToText(args[i]);
    }
    m_output(line + ")");
    m_pending.emplace_back(std::move(name), std::vector<Variant>(args.begin(), args.end()));
    if (m_eventArrived) {
        m_eventArrived();
    }
}

bool CtlSession::TakeEvent(const std::string& name, const std::string& value)
{
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        const std::string first = it->second.empty() ? "" : VariantToText(it->second.front());
        if (EqualNoCase(it->first, name) && first == value) {
            m_pending.erase(it);
            return true;
        }
    }
    return false;
}

// ---- Script ----------------------------------------------------------------------------

ScriptRunner::ScriptRunner(CtlSession& session, ScriptHost& host, OutputFn output,
                           std::vector<ScriptCommand> commands, ExtraVerbs* extra)
    : m_session(session), m_host(host), m_output(std::move(output)),
      m_commands(std::move(commands)), m_extra(extra)
{
}

bool ScriptRunner::Fail(const ScriptCommand& command, const std::string& error)
{
    m_output("error: line " + std::to_string(command.line) + ": " + error);
    m_ended = true;
    m_host.Quit(1);
    return false;
}

std::optional<std::chrono::milliseconds> ScriptRunner::Step()
{
    for (; !m_ended && m_next < m_commands.size(); ++m_next, m_started.reset(), m_rounds = 0) {
        const ScriptCommand& command = m_commands[m_next];
        const std::vector<std::string>& args = command.args;
        const auto now = Clock::now();
        if (!m_started) {
            m_started = now;
        }
        std::string error;
        if (command.verb == "sleep" || command.verb == "wait-event") {
            const auto deadline = *m_started + std::chrono::milliseconds(std::stoul(args.back()));
            if (command.verb == "wait-event" && m_session.TakeEvent(args[0], args[1])) {
                m_output("wait-event " + args[0] + " " + args[1] + ": ok");
            } else if (now < deadline) {
                return std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            } else if (command.verb == "wait-event") {
                Fail(command,
                     "wait-event " + args[0] + " " + args[1] + ": none within " + args[2] + " ms");
                break;
            }
        } else if (command.verb == "set") {
            if (!m_session.Set(args[0], args[1], error)) {
                Fail(command, error);
                break;
            }
            m_output("set " + args[0] + " = " + args[1]);
        } else if (command.verb == "get") {
            std::string value;
            if (!m_session.Get(args[0], value, error)) {
                Fail(command, error);
                break;
            }
            m_output("get " + args[0] + " = " + value);
        } else if (command.verb == "call") {
            std::string result;
            const std::vector<std::string> callArgs(args.begin() + 1, args.end());
            if (!m_session.Call(args[0], callArgs, result, error)) {
                Fail(command, error);
                break;
            }
            std::string line = "call " + args[0] + "(";
            for (std::size_t i = 0; i < callArgs.size(); ++i) {
                line += (i > 0 ? ", " : "") + callArgs[i];
            }
            m_output(line + ")" + (result.empty() ? "" : " = " + result));
        } else if (command.verb == "about") {
            if (!m_session.AboutBox(error)) {
                Fail(command, error);
                break;
            }
            m_output("about");
        } else if (command.verb == "pages") {
            std::vector<std::string> titles;
            if (!m_host.ShowPages(titles, error)) {
                Fail(command, error);
                break;
            }
            for (const std::string& title : titles) {
                m_output("page " + title);
            }
        } else if (command.verb == "command") {
            if (!m_host.Command(std::stoi(args[0]), error)) {
                Fail(command, error);
                break;
            }
            m_output("command " + args[0]);
        } else if (command.verb == "quit") {
            m_output("quit");
            m_ended = true;
            m_host.Quit(0);
        } else {
            std::string line;
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_started);
            const ExtraVerbs::Result result =
                m_extra != nullptr ? m_extra->Run(command, elapsed, m_rounds++, line, error)
                                   : (error = "no such command here", ExtraVerbs::Result::Failed);
            if (result == ExtraVerbs::Result::Again) {
                return kPollPeriod;
            }
            if (result == ExtraVerbs::Result::AgainWhenIdle) {
                return std::chrono::milliseconds(0);
            }
            if (result == ExtraVerbs::Result::Failed) {
                Fail(command, error);
                break;
            }
            if (!line.empty()) {
                m_output(line);
            }
        }
    }
    m_ended = true;
    return std::nullopt;
}

} // namespace ctlhost
