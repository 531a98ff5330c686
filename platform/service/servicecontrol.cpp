#include "platform/service/servicecontrol.h"

#include "platform/stopsignals.h"
#include "platform/thread.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace qvplat {
namespace {

struct DispatcherState
{
    std::mutex lock;
    bool active = false;
    std::string name;
    ServiceControlHandler handler;
    std::uint32_t handle = 0;
    std::uint32_t lastHandle = 0;
};

DispatcherState& Dispatcher()
{
    static DispatcherState state;
    return state;
}

class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

void DeliverStop()
{
    ServiceControlHandler handler;
    {
        const std::lock_guard guard(Dispatcher().lock);
        handler = Dispatcher().handler;
    }
    if (handler) {
        handler(ServiceControl::Stop);
    }
}

const char* StateName(std::uint32_t state)
{
    switch (state) {
    case ServiceState::Stopped:
        return "Stopped";
    case ServiceState::StartPending:
        return "Start pending";
    case ServiceState::StopPending:
        return "Stop pending";
    case ServiceState::Running:
        return "Running";
    case ServiceState::ContinuePending:
        return "Continue pending";
    case ServiceState::PausePending:
        return "Pause pending";
    case ServiceState::Paused:
        return "Paused";
    default:
        return "Unknown";
    }
}

void AppendJsonString(std::string& out, const std::string& text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

const char* EventTypeName(ServiceEventType type)
{
    switch (type) {
    case ServiceEventType::Error:
        return "error";
    case ServiceEventType::Warning:
        return "warning";
    default:
        return "information";
    }
}

} // namespace

bool RunServiceDispatcher(const std::string& serviceName, std::function<void()> serviceMain)
{
    if (!serviceMain) {
        return false;
    }
    {
        const std::lock_guard guard(Dispatcher().lock);
        if (Dispatcher().active) {
            return false;
        }
        Dispatcher().active = true;
        Dispatcher().name = serviceName;
        Dispatcher().handler = {};
        Dispatcher().handle = 0;
    }
    const auto finish = [] {
        const std::lock_guard guard(Dispatcher().lock);
        Dispatcher().active = false;
        Dispatcher().handler = {};
        Dispatcher().handle = 0;
    };

    // Blocked here, and so in the service's threads, for good: a stop
    // signal that comes after the service's end is dropped rather than
    // killing a process that is ending anyway.
    BlockStopSignals();
    StopSignalWait stops;
    if (!stops.IsOpen()) {
        finish();
        return false;
    }

    Thread service;
    const bool started = service.Start([&serviceMain, &stops] {
        struct EndWait
        {
            StopSignalWait& stops;
            ~EndWait() { stops.End(); }
        } endWait{stops};
        serviceMain();
    });
    if (!started) {
        finish();
        return false;
    }
    stops.Wait(DeliverStop);
    service.Join();
    stops.Drop();
    finish();
    return true;
}

std::uint32_t RegisterServiceControlHandler(const std::string& serviceName,
                                            ServiceControlHandler handler)
{
    const std::lock_guard guard(Dispatcher().lock);
    DispatcherState& state = Dispatcher();
    if (!state.active || state.name != serviceName || !handler) {
        return 0;
    }
    state.handler = std::move(handler);
    state.handle = ++state.lastHandle;
    if (state.handle == 0) {
        state.handle = ++state.lastHandle;
    }
    return state.handle;
}

std::string ServiceStatusMessage(const ServiceStatusRecord& status)
{
    std::string message;
    if (status.currentState == ServiceState::Running) {
        message += "READY=1\n";
    } else if (status.currentState == ServiceState::StopPending) {
        message += "STOPPING=1\n";
    }
    message += "STATUS=";
    message += StateName(status.currentState);
    if (status.currentState == ServiceState::Stopped && status.exitCode != 0) {
        message += " (exit code " + std::to_string(status.exitCode) + ")";
    }
    message += "\n";
    return message;
}

bool ReportServiceStatus(std::uint32_t statusHandle, const ServiceStatusRecord& status)
{
    {
        const std::lock_guard guard(Dispatcher().lock);
        if (statusHandle == 0 || statusHandle != Dispatcher().handle) {
            return false;
        }
    }
    return NotifyServiceManager(ServiceStatusMessage(status));
}

bool NotifyServiceManager(const std::string& message)
{
    const char* target = std::getenv("NOTIFY_SOCKET");
    if (target == nullptr || (target[0] != '/' && target[0] != '@')) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(target);
    if (length >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, target, length);
    if (target[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const Descriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        return false;
    }
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    ssize_t sent;
    do {
        sent = ::sendto(fd.Get(), message.data(), message.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), size);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(message.size());
}

bool ReportServiceEvent(const std::string& source, ServiceEventType type, std::uint32_t id,
                        const std::vector<std::string>& strings)
{
    const char* file = std::getenv("QV_SERVICE_EVENT_LOG");
    if (file == nullptr || file[0] == '\0') {
        std::string text;
        for (const std::string& s : strings) {
            text += text.empty() ? ": " : "; ";
            text += s;
        }
        const int priority = type == ServiceEventType::Error     ? LOG_ERR
                             : type == ServiceEventType::Warning ? LOG_WARNING
                                                                 : LOG_INFO;
        ::syslog(LOG_DAEMON | priority, "%s: event %u%s", source.c_str(), id, text.c_str());
        return true;
    }
    std::string line = "{\"source\":";
    AppendJsonString(line, source);
    line += ",\"type\":\"";
    line += EventTypeName(type);
    line += "\",\"id\":" + std::to_string(id) + ",\"category\":0,\"strings\":[";
    for (std::size_t i = 0; i < strings.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        AppendJsonString(line, strings[i]);
    }
    line += "]}\n";
    // One write of the whole line: appends from several processes stay whole.
    const Descriptor fd(::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        return false;
    }
    ssize_t written;
    do {
        written = ::write(fd.Get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(line.size());
}

} // namespace qvplat
