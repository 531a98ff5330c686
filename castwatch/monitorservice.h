#pragma once
// CMonitorService: the program monitor as the service "Vigilo".
//
// A service has no desktop, so it runs the monitor without windows: the SAP
// directory of the monitor's settings, writing the output file after every
// change, until the service is stopped.

#include "castwatch/ntservice.h"

class CMonitorService : public CNTService
{
public:
    static constexpr const char* kServiceName = "Vigilo";

    CMonitorService();

    bool OnInit() override;
    void Run() override;
};
