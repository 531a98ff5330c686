#pragma once
// CMonitorService: the program monitor as the service "Vigilo".
//
// A service has no desktop, so it runs the monitor without windows: the SAP
// directory of the monitor's settings, writing the output file after every
// change, from OnInit (so the manager hears "ready" once it listens) until
// the service is stopped.

#include "castwatch/ntservice.h"

#include <memory>

namespace castwatch {
class Monitor;
}

class CMonitorService : public CNTService
{
public:
    static constexpr const char* kServiceName = "Vigilo";

    CMonitorService();
    ~CMonitorService() override;

    bool OnInit() override;
    void Run() override;

private:
    std::unique_ptr<castwatch::Monitor> m_monitor;
};
