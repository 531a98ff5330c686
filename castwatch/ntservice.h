#pragma once
// CNTService: the base of a program that runs as a service.
//
// It installs and removes the service (a unit of the service manager, see
// platform/service/) and its event-log source, starts and stops it through
// the manager, runs the dispatcher, ServiceMain and the control handler,
// reports status, writes event-log entries and answers the standard
// command-line switches with console messages. A program derives from it and
// overrides Run and OnInit.
//
// Threads: ServiceMain and Run run on the service thread that the dispatcher
// starts; Handler runs on the thread that called StartDispatcher, where the
// manager's stop signal arrives, or on whichever thread calls it. The status
// record and the running flag are guarded; Run waits on the running flag
// (WaitWhileRunning) and so ends as soon as a stop comes.
//
// Traces go to the debug log through DebugMsg.

#include "platform/service/servicecontrol.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

class QvPropertyList;

class CNTService
{
public:
    // Event types of LogEvent.
    static constexpr std::uint16_t kEventError = 1;
    static constexpr std::uint16_t kEventWarning = 2;
    static constexpr std::uint16_t kEventInformation = 4;
    // The exit code of a service whose OnInit failed.
    static constexpr std::uint32_t kInitFailedExitCode = 1;

    // The name is cut to 63 characters.
    explicit CNTService(const char* serviceName);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // The service's work; by default sleeps while running.
    virtual void Run();
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    // Codes 128 and above; false reports the code as unknown (event 106).
    virtual bool OnUserControl(std::uint32_t control);

    // Handles -ver, -stop, -uninst, -inst (with auto and -show) and -start,
    // in that order, printing to standard output. Always true.
    bool ParseStandardArgs(const QvPropertyList& args);

    bool IsInstalled();
    // -show (interactive) has no meaning for the service manager here and is
    // ignored. True when the unit and the event-log key were both made.
    bool Install(bool autoStart, bool interactive);
    bool Uninstall();
    bool StartSvc();
    bool StopSvc();
    // The error of the last failed Install, Uninstall, StartSvc or StopSvc:
    // the manager's exit status or an errno.
    int LastError() const { return m_lastError; }

    // Writes an event with the non-null strings.
    void LogEvent(std::uint16_t type, std::uint32_t id, const char* s1 = nullptr,
                  const char* s2 = nullptr, const char* s3 = nullptr);

    // Runs ServiceMain on a new thread and returns when the service has
    // stopped; false when the dispatcher could not run. Call it before the
    // program starts any other thread.
    bool StartDispatcher();
    // The body of the service thread.
    void ServiceMain();
    bool Initialize();
    // Sets the state of the status record and reports it.
    void SetStatus(std::uint32_t state);
    // A control code from the manager (or a direct call).
    void Handler(std::uint32_t control);

    bool IsRunning() const;
    // Waits while the service runs, at most timeoutMs; the running flag.
    bool WaitWhileRunning(std::uint32_t timeoutMs) const;
    const char* GetName() const { return m_name; }
    std::uint32_t GetExitCode() const;
    std::uint32_t GetState() const;

    // "[<name>](<thread id>): " and the formatted text to the debug log.
    void DebugMsg(const char* format, ...) const __attribute__((format(printf, 2, 3)));

private:
    // Reports the status record; with traceUpdate, traces it as a handler does.
    void ReportStatus(bool traceUpdate);

    char m_name[64] = {};
    int m_majorVersion = 1;
    int m_minorVersion = 0;
    std::uint32_t m_statusHandle = 0;
    qvplat::ServiceStatusRecord m_status;
    bool m_running = false;
    // A stop that came before the service was running: it never starts.
    bool m_stopRequested = false;
    int m_lastError = 0;

    mutable std::mutex m_lock; // the status record and the flags above
    mutable std::condition_variable m_runningChanged;
};
