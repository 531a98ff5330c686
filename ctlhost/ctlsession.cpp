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

// Idle moments to let pass before a screenshot: the first lets newly shown
// windows be mapped, the second lets them be drawn.
constexpr int kIdleRoundsBeforeScreenshot = 2;
// How often wait-row and wait-colours look again.
constexpr std::chrono::milliseconds kPollPeriod{100};

constexpr const char* kUsage =
    "usage: ctlhost [--param name=value]... [--script file] [--size WIDTHxHEIGHT] "
    "<ProgID | {class id}>";

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

bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& message)
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
            message = kUsage;
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
            message = "unknown option " + arg + "\n" + kUsage;
            return false;
        } else if (options.control.empty()) {
            options.control = arg;
        } else {
            message = "one control only\n" + std::string(kUsage);
            return false;
        }
    }
    if (options.control.empty()) {
        message = kUsage;
        return false;
    }
    return true;
}

bool ParseScript(const std::string& text, std::vector<ScriptCommand>& commands, std::string& error)
{
    struct Verb
    {
        const char* name;
        std::size_t minArgs;
        std::size_t maxArgs;
    };
    static constexpr Verb kVerbs[] = {
        {"set", 2, 2},          {"get", 1, 1},
        {"call", 1, SIZE_MAX},  {"wait-event", 3, 3},
        {"sleep", 1, 1},        {"about", 0, 0},
        {"pages", 0, 0},        {"screenshot", 1, 1},
        {"quit", 0, 0},         {"double-click-row", 1, 1},
        {"select-row", 1, 1},   {"command", 1, 1},
        {"double-click", 0, 0}, {"wait-row", 2, 2},
        {"wait-colours", 2, 2},
    };
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
        const Verb* verb = nullptr;
        for (const Verb& candidate : kVerbs) {
            if (words[0] == candidate.name) {
                verb = &candidate;
            }
        }
        if (verb == nullptr) {
            error = where + "unknown command \"" + words[0] + "\"";
            return false;
        }
        ScriptCommand command{number, words[0], {words.begin() + 1, words.end()}};
        if (command.args.size() < verb->minArgs || command.args.size() > verb->maxArgs) {
            error = where + command.verb + ": wrong number of arguments";
            return false;
        }
        std::uint32_t ms = 0;
        const bool timed = command.verb == "sleep" || command.verb == "wait-event" ||
                           command.verb == "wait-row" || command.verb == "wait-colours";
        if (timed && !ParseNumber(command.args.back(), 24u * 3600 * 1000, ms)) {
            error = where + command.verb + ": \"" + command.args.back() + "\" is not a time in ms";
            return false;
        }
        if ((command.verb == "double-click-row" || command.verb == "select-row") &&
            !ParseNumber(command.args[0], std::numeric_limits<std::int32_t>::max(), ms)) {
            error = where + command.verb + ": \"" + command.args[0] + "\" is not a row";
            return false;
        }
        if (command.verb == "wait-colours" &&
            !ParseNumber(command.args[0], std::numeric_limits<std::int32_t>::max(), ms)) {
            error = where + command.verb + ": \"" + command.args[0] + "\" is not a count";
            return false;
        }
        if (command.verb == "command" &&
            !ParseNumber(command.args[0], std::numeric_limits<std::int32_t>::max(), ms)) {
            error = where + command.verb + ": \"" + command.args[0] + "\" is not an id";
            return false;
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
                           std::vector<ScriptCommand> commands)
    : m_session(session), m_host(host), m_output(std::move(output)), m_commands(std::move(commands))
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
    for (; !m_ended && m_next < m_commands.size(); ++m_next) {
        const ScriptCommand& command = m_commands[m_next];
        const std::vector<std::string>& args = command.args;
        std::string error;
        if (command.verb == "sleep" || command.verb == "wait-event") {
            const auto now = Clock::now();
            if (!m_deadline) {
                m_deadline = now + std::chrono::milliseconds(std::stoul(args.back()));
            }
            if (command.verb == "wait-event" && m_session.TakeEvent(args[0], args[1])) {
                m_output("wait-event " + args[0] + " " + args[1] + ": ok");
            } else if (now < *m_deadline) {
                return std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - now);
            } else if (command.verb == "wait-event") {
                Fail(command,
                     "wait-event " + args[0] + " " + args[1] + ": none within " + args[2] + " ms");
                break;
            }
            m_deadline.reset();
        } else if (command.verb == "wait-row") {
            const auto now = Clock::now();
            if (!m_deadline) {
                m_deadline = now + std::chrono::milliseconds(std::stoul(args[1]));
            }
            std::vector<std::string> rows;
            if (!m_host.ListRows(rows, error)) {
                rows.clear();
            }
            const auto found = std::find_if(rows.begin(), rows.end(), [&](const std::string& row) {
                return row.find(args[0]) != std::string::npos;
            });
            if (found == rows.end() && now < *m_deadline) {
                return std::min(kPollPeriod,
                                std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - now));
            }
            m_deadline.reset();
            if (found == rows.end()) {
                Fail(command, "wait-row " + args[0] + ": none within " + args[1] + " ms" +
                                  (error.empty() ? "" : " (" + error + ")"));
                break;
            }
            m_output("wait-row " + args[0] + ": row " + std::to_string(found - rows.begin()) +
                     " \"" + *found + "\"");
        } else if (command.verb == "wait-colours") {
            const auto now = Clock::now();
            if (!m_deadline) {
                m_deadline = now + std::chrono::milliseconds(std::stoul(args[1]));
            }
            std::size_t colours = 0;
            if (!m_host.CountColours(colours, error)) {
                Fail(command, error);
                break;
            }
            const bool enough = colours >= std::stoul(args[0]);
            if (!enough && now < *m_deadline) {
                return std::min(kPollPeriod,
                                std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - now));
            }
            m_deadline.reset();
            if (!enough) {
                Fail(command, "wait-colours " + args[0] + ": " + std::to_string(colours) +
                                  " after " + args[1] + " ms");
                break;
            }
            m_output("wait-colours " + args[0] + ": " + std::to_string(colours));
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
        } else if (command.verb == "screenshot") {
            if (m_idleRounds++ < kIdleRoundsBeforeScreenshot) {
                return std::chrono::milliseconds(0);
            }
            m_idleRounds = 0;
            std::size_t colours = 0;
            if (!m_host.Screenshot(args[0], colours, error)) {
                Fail(command, error);
                break;
            }
            m_output("screenshot " + args[0] + ": " + std::to_string(colours) + " colours");
        } else if (command.verb == "double-click-row") {
            if (!m_host.DoubleClickRow(std::stol(args[0]), error)) {
                Fail(command, error);
                break;
            }
            m_output("double-click-row " + args[0]);
        } else if (command.verb == "select-row") {
            if (!m_host.SelectRow(std::stol(args[0]), error)) {
                Fail(command, error);
                break;
            }
            m_output("select-row " + args[0]);
        } else if (command.verb == "command") {
            if (!m_host.Command(std::stoi(args[0]), error)) {
                Fail(command, error);
                break;
            }
            m_output("command " + args[0]);
        } else if (command.verb == "double-click") {
            if (!m_host.DoubleClick(error)) {
                Fail(command, error);
                break;
            }
            m_output("double-click");
        } else if (command.verb == "quit") {
            m_output("quit");
            m_ended = true;
            m_host.Quit(0);
        }
    }
    m_ended = true;
    return std::nullopt;
}

} // namespace ctlhost
