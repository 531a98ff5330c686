#pragma once
// The running side of a service: the dispatcher that runs the service's main
// function and turns the manager's stop signals into controls, the status
// reports to the manager and the event log.
//
// Stopping. The manager stops a service with SIGTERM (SIGINT from a
// terminal); RunServiceDispatcher blocks both in the calling thread (and so
// in every thread started from it afterwards), waits for them there and
// hands each to the registered control handler as ServiceControl::Stop, on
// the dispatcher's thread. Other controls reach a handler only when the
// program calls it.
//
// Status. ReportServiceStatus sends the manager one notification datagram
// on $NOTIFY_SOCKET (a path, or an abstract name written with a leading
// '@'): "STATUS=<state>" and, for the running state "READY=1", for the stop
// pending state "STOPPING=1". Without $NOTIFY_SOCKET nothing is sent.
//
// Events. ReportServiceEvent writes one event: to syslog (facility daemon)
// by default; when $QV_SERVICE_EVENT_LOG names a file, as one JSON line
// appended to it:
//   {"source":"Vigilo","type":"information","id":105,"category":0,"strings":[]}

#include "platform/stopsignals.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvplat {

// The states of a service's status record.
namespace ServiceState {
inline constexpr std::uint32_t Stopped = 1;
inline constexpr std::uint32_t StartPending = 2;
inline constexpr std::uint32_t StopPending = 3;
inline constexpr std::uint32_t Running = 4;
inline constexpr std::uint32_t ContinuePending = 5;
inline constexpr std::uint32_t PausePending = 6;
inline constexpr std::uint32_t Paused = 7;
} // namespace ServiceState

// Control codes; 128 to 255 are the service's own.
namespace ServiceControl {
inline constexpr std::uint32_t Stop = 1;
inline constexpr std::uint32_t Pause = 2;
inline constexpr std::uint32_t Continue = 3;
inline constexpr std::uint32_t Interrogate = 4;
inline constexpr std::uint32_t Shutdown = 5;
inline constexpr std::uint32_t FirstUserCode = 128;
} // namespace ServiceControl

// Service types and accepted controls of a status record.
inline constexpr std::uint32_t kServiceOwnProcess = 0x10;
inline constexpr std::uint32_t kServiceInteractiveProcess = 0x100;
inline constexpr std::uint32_t kServiceAcceptStop = 0x1;

struct ServiceStatusRecord
{
    std::uint32_t serviceType = kServiceOwnProcess;
    std::uint32_t currentState = ServiceState::Stopped;
    std::uint32_t controlsAccepted = kServiceAcceptStop;
    std::uint32_t exitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

using ServiceControlHandler = std::function<void(std::uint32_t control)>;

// Runs serviceMain on a new thread and waits in the calling thread for the
// stop signals until serviceMain has returned. False, without running it,
// when the dispatcher cannot be set up or another one runs in the process.
// Call it before the process starts other threads: a thread that does not
// block the stop signals could receive one and end the process. The stop
// signals stay blocked in the calling thread afterwards, so one that comes
// in after the service's end is dropped.
bool RunServiceDispatcher(const std::string& serviceName, std::function<void()> serviceMain);

// Registers the control handler of the service that the running dispatcher
// serves; returns its status handle (never 0), or 0 when no dispatcher runs
// for that name.
std::uint32_t RegisterServiceControlHandler(const std::string& serviceName,
                                            ServiceControlHandler handler);

// The notification text of a status record (see above).
std::string ServiceStatusMessage(const ServiceStatusRecord& status);
// Sends it for a registered handle; false when the handle is not the
// current one or nothing could be sent.
bool ReportServiceStatus(std::uint32_t statusHandle, const ServiceStatusRecord& status);

// Sends one notification datagram to the manager; false without
// $NOTIFY_SOCKET or when it cannot be sent.
bool NotifyServiceManager(const std::string& message);

enum class ServiceEventType : std::uint16_t {
    Error = 1,
    Warning = 2,
    Information = 4,
};

// Writes one event of a source (see above). False when it could not be
// written to the file.
bool ReportServiceEvent(const std::string& source, ServiceEventType type, std::uint32_t id,
                        const std::vector<std::string>& strings);

} // namespace qvplat
