#include "castwatch/monitorservice.h"

#include "castwatch/model/monitor.h"

CMonitorService::CMonitorService() : CNTService(kServiceName) {}

bool CMonitorService::OnInit()
{
    LogEvent(kEventInformation, 109, "SAP Database service started.");
    return true;
}

void CMonitorService::Run()
{
    castwatch::Monitor monitor(true, {});
    monitor.Start();
    while (WaitWhileRunning(1000)) {
    }
    monitor.Shutdown();
}
