#include "castwatch/monitorservice.h"

#include "castwatch/model/monitor.h"

CMonitorService::CMonitorService() : CNTService(kServiceName) {}

CMonitorService::~CMonitorService() = default;

bool CMonitorService::OnInit()
{
    LogEvent(kEventInformation, 109, "SAP Database service started.");
    m_monitor = std::make_unique<castwatch::Monitor>(true, castwatch::Monitor::Sink());
    m_monitor->Start();
    return true;
}

void CMonitorService::Run()
{
    while (WaitWhileRunning(1000)) {
    }
    m_monitor->Shutdown();
    m_monitor.reset();
}
