// castwatch's entry point. The service and the service's standard
// arguments run without windows (a service has no desktop); -kill asks the
// running monitor to end; the dialog and tray monitors start the
// application object.
#include "castwatch/model/instance.h"
#include "castwatch/model/launchmode.h"
#include "castwatch/monitorapp.h"
#include "castwatch/monitorservice.h"

#include <csignal>

wxIMPLEMENT_APP_NO_MAIN(CMonitorApp);

int main(int argc, char** argv)
{
    const QvPropertyList commandLine = castwatch::CommandLineProperties(argc, argv);
    switch (castwatch::ChooseLaunchMode(commandLine)) {
    case castwatch::LaunchMode::Service: {
        CMonitorService service;
        if (!service.StartDispatcher()) {
            return 1;
        }
        return service.GetExitCode() == 0 ? 0 : 1;
    }
    case castwatch::LaunchMode::StandardArgs: {
        CMonitorService service;
        service.ParseStandardArgs(commandLine);
        return 0;
    }
    case castwatch::LaunchMode::Kill:
        if (const int pid = castwatch::MonitorInstance::RunningPid(); pid > 0) {
            ::kill(pid, SIGTERM);
        }
        return 0;
    case castwatch::LaunchMode::Tray:
    case castwatch::LaunchMode::Desktop:
        break;
    }
    // Before wx starts its threads: a stop signal closes the monitor.
    qvplat::BlockStopSignals();
    wxDISABLE_DEBUG_SUPPORT();
    CMonitorApp::InstallMessageBoxHandler();
    return wxEntry(argc, argv);
}
