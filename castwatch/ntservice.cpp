#include "castwatch/ntservice.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"
#include "platform/registry.h"
#include "platform/service/serviceunit.h"
#include "platform/thread.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The full path of this program; "" when it cannot be read.
std::string ProgramPath()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

CNTService::CNTService(const char* serviceName)
{
    std::snprintf(m_name, sizeof m_name, "%s", serviceName != nullptr ? serviceName : "");
    m_status.serviceType = qvplat::kServiceOwnProcess;
    m_status.currentState = qvplat::ServiceState::Stopped;
    m_status.controlsAccepted = qvplat::kServiceAcceptStop;
}

CNTService::~CNTService()
{
    DebugMsg("CNTService::~CNTService()");
}

// ---- Standard arguments -------------------------------------------------------------

bool CNTService::ParseStandardArgs(const QvPropertyList& args)
{
    const bool ver = args.PropertyDefined("-ver");
    const bool install = args.PropertyDefined("-inst");
    const bool uninstall = args.PropertyDefined("-uninst");
    const bool start = args.PropertyDefined("-start");
    const bool stop = args.PropertyDefined("-stop");
    const bool show = args.PropertyDefined("-show");
    const bool autoStart = args.PropertyDefined("auto");

    if (ver) {
        std::printf("%s Version %d.%d\n", m_name, m_majorVersion, m_minorVersion);
        std::printf("The service is %s installed\n", IsInstalled() ? "currently" : "not");
    }
    if (stop) {
        if (!IsInstalled()) {
            std::printf("%s is not installed\n", m_name);
        } else if (StopSvc()) {
            std::printf("%s stopped.\n", m_name);
        } else {
            std::printf("Could not stop %s. Error %d\n", m_name, m_lastError);
        }
    }
    if (uninstall) {
        if (!IsInstalled()) {
            std::printf("%s is not installed\n", m_name);
        } else if (Uninstall()) {
            std::printf("%s removed.\n", m_name);
        } else {
            std::printf("Could not remove %s. Error %d\n", m_name, m_lastError);
        }
    }
    if (install) {
        if (IsInstalled()) {
            std::printf("%s is already installed\n", m_name);
        } else if (Install(autoStart, show)) {
            std::printf("%s installed\n", m_name);
        } else {
            std::printf("%s failed to install. Error %d\n", m_name, m_lastError);
        }
    }
    if (start) {
        if (!IsInstalled()) {
            std::printf("%s is not installed\n", m_name);
        } else if (StartSvc()) {
            std::printf("%s started.\n", m_name);
        } else {
            std::printf("Could not start %s. Error %d\n", m_name, m_lastError);
        }
    }
    std::fflush(stdout);
    return true;
}

// ---- Installation and the manager ---------------------------------------------------

bool CNTService::IsInstalled()
{
    return qvplat::ServiceUnitInstalled(m_name);
}

bool CNTService::Install(bool autoStart, bool /*interactive*/)
{
    const std::string program = ProgramPath();
    if (program.empty()) {
        m_lastError = errno != 0 ? errno : ENOENT;
        return false;
    }
    m_lastError = qvplat::InstallServiceUnit({m_name, program, {"StartService"}, autoStart});
    if (m_lastError != 0 && !IsInstalled()) {
        return false;
    }
    // The event-log source: this program is its message file.
    std::string messageFile = program;
    messageFile.push_back('\0');
    qvplat::RegKey key;
    qvplat::RegResult made =
        key.Create(qvplat::RegRoot::LocalMachine, std::string(kEventLogKey) + m_name);
    if (made == qvplat::RegResult::Success) {
        made = key.SetValue("EventMessageFile", qvplat::REG_EXPAND_SZ, messageFile.data(),
                            static_cast<std::uint32_t>(messageFile.size()));
    }
    if (made == qvplat::RegResult::Success) {
        made = key.SetValue(qvplat::MakeDwordValue("TypesSupported", 7));
    }
    if (made != qvplat::RegResult::Success && m_lastError == 0) {
        m_lastError = static_cast<int>(made);
    }
    return m_lastError == 0;
}

bool CNTService::Uninstall()
{
    m_lastError = qvplat::RemoveServiceUnit(m_name);
    if (m_lastError == 0) {
        LogEvent(kEventInformation, 101, m_name);
        return true;
    }
    LogEvent(kEventError, 102, m_name);
    return false;
}

bool CNTService::StartSvc()
{
    m_lastError = qvplat::StartServiceUnit(m_name);
    if (m_lastError != 0) {
        LogEvent(kEventError, 109, "Service not started.");
    }
    return m_lastError == 0;
}

bool CNTService::StopSvc()
{
    m_lastError = qvplat::StopServiceUnit(m_name);
    if (m_lastError != 0) {
        LogEvent(kEventError, 109, "Service not stopped.");
    }
    return m_lastError == 0;
}

void CNTService::LogEvent(std::uint16_t type, std::uint32_t id, const char* s1, const char* s2,
                          const char* s3)
{
    std::vector<std::string> strings;
    for (const char* s : {s1, s2, s3}) {
        if (s != nullptr) {
            strings.emplace_back(s);
        }
    }
    qvplat::ReportServiceEvent(m_name, static_cast<qvplat::ServiceEventType>(type), id, strings);
}

// ---- Running ------------------------------------------------------------------------

bool CNTService::StartDispatcher()
{
    DebugMsg("Calling StartServiceCtrlDispatcher()");
    const bool result = qvplat::RunServiceDispatcher(m_name, [this] { ServiceMain(); });
    DebugMsg("Returned from StartServiceCtrlDispatcher()");
    return result;
}

void CNTService::ServiceMain()
{
    DebugMsg("Entering CNTService::ServiceMain()");
    {
        const std::lock_guard guard(m_lock);
        m_status.currentState = qvplat::ServiceState::StartPending;
    }
    const std::uint32_t handle = qvplat::RegisterServiceControlHandler(
        m_name, [this](std::uint32_t control) { Handler(control); });
    if (handle == 0) {
        LogEvent(kEventError, 103);
        return;
    }
    {
        const std::lock_guard guard(m_lock);
        m_statusHandle = handle;
    }
    if (Initialize()) {
        Run();
    }
    SetStatus(qvplat::ServiceState::Stopped);
    DebugMsg("Leaving CNTService::ServiceMain()");
}

bool CNTService::Initialize()
{
    DebugMsg("Entering CNTService::Initialize()");
    SetStatus(qvplat::ServiceState::StartPending);
    const bool ready = OnInit();
    bool stopRequested;
    {
        const std::lock_guard guard(m_lock);
        stopRequested = m_stopRequested;
        m_status.exitCode = ready ? 0 : kInitFailedExitCode;
        m_status.checkPoint = 0;
        m_status.waitHint = 0;
        // Running before it is reported, so a stop that follows the report
        // at once is not lost; a stop that came earlier keeps it false.
        m_running = ready && !m_stopRequested;
    }
    m_runningChanged.notify_all();
    if (!ready) {
        LogEvent(kEventError, 104);
        SetStatus(qvplat::ServiceState::Stopped);
        return false;
    }
    LogEvent(kEventInformation, 105);
    if (!stopRequested) {
        SetStatus(qvplat::ServiceState::Running);
    }
    DebugMsg("Leaving CNTService::Initialize()");
    return true;
}

void CNTService::Run()
{
    DebugMsg("Entering CNTService::Run()");
    while (IsRunning()) {
        DebugMsg("Sleeping...");
        WaitWhileRunning(5000);
    }
    DebugMsg("Leaving CNTService::Run()");
}

void CNTService::SetStatus(std::uint32_t state)
{
    {
        const std::lock_guard guard(m_lock);
        DebugMsg("CNTService::SetStatus(%lu, %lu)", static_cast<unsigned long>(m_statusHandle),
                 static_cast<unsigned long>(state));
        m_status.currentState = state;
    }
    ReportStatus(false);
}

void CNTService::Handler(std::uint32_t control)
{
    DebugMsg("CNTService::Handler(%lu)", static_cast<unsigned long>(control));
    switch (control) {
    case qvplat::ServiceControl::Stop:
        SetStatus(qvplat::ServiceState::StopPending);
        OnStop();
        {
            const std::lock_guard guard(m_lock);
            m_running = false;
            m_stopRequested = true;
        }
        m_runningChanged.notify_all();
        LogEvent(kEventInformation, 108);
        break;
    case qvplat::ServiceControl::Pause:
        OnPause();
        break;
    case qvplat::ServiceControl::Continue:
        OnContinue();
        break;
    case qvplat::ServiceControl::Interrogate:
        OnInterrogate();
        break;
    case qvplat::ServiceControl::Shutdown:
        OnShutdown();
        break;
    default:
        if (control < qvplat::ServiceControl::FirstUserCode || !OnUserControl(control)) {
            LogEvent(kEventError, 106);
        }
        break;
    }
    ReportStatus(true);
}

void CNTService::ReportStatus(bool traceUpdate)
{
    std::uint32_t handle;
    qvplat::ServiceStatusRecord status;
    {
        const std::lock_guard guard(m_lock);
        handle = m_statusHandle;
        status = m_status;
    }
    if (traceUpdate) {
        DebugMsg("Updating status (%lu, %lu)", static_cast<unsigned long>(handle),
                 static_cast<unsigned long>(status.currentState));
    }
    qvplat::ReportServiceStatus(handle, status);
}

bool CNTService::IsRunning() const
{
    const std::lock_guard guard(m_lock);
    return m_running;
}

bool CNTService::WaitWhileRunning(std::uint32_t timeoutMs) const
{
    std::unique_lock guard(m_lock);
    m_runningChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [this] { return !m_running; });
    return m_running;
}

std::uint32_t CNTService::GetExitCode() const
{
    const std::lock_guard guard(m_lock);
    return m_status.exitCode;
}

std::uint32_t CNTService::GetState() const
{
    const std::lock_guard guard(m_lock);
    return m_status.currentState;
}

// ---- Defaults -----------------------------------------------------------------------

bool CNTService::OnInit()
{
    DebugMsg("CNTService::OnInit()");
    return true;
}

void CNTService::OnStop()
{
    DebugMsg("CNTService::OnStop()");
}

void CNTService::OnInterrogate()
{
    DebugMsg("CNTService::OnInterrogate()");
}

void CNTService::OnPause()
{
    DebugMsg("CNTService::OnPause()");
}

void CNTService::OnContinue()
{
    DebugMsg("CNTService::OnContinue()");
}

void CNTService::OnShutdown()
{
    DebugMsg("CNTService::OnShutdown()");
}

bool CNTService::OnUserControl(std::uint32_t control)
{
    DebugMsg("CNTService::OnUserControl(%8.8lXH)", static_cast<unsigned long>(control));
    return false;
}

void CNTService::DebugMsg(const char* format, ...) const
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    QvDebugMsg("[%s](%lu): %s", m_name, qvplat::CurrentNativeThreadId(), text);
}
