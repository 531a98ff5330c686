// castwatch_uitest: starts castwatch's application object the way the
// program does, with message boxes printed on standard output and answered
// with their default button, and drives its windows.
//
//   castwatch_uitest <screenshot directory> <castwatch program>
//     the desktop monitor and the walk of CUiDriver; exit code 0 when every
//     check held.
//
// It needs an X display; the smoke test runs it on a private Xvfb server.
#include "castwatch/monitorapp.h"
#include "castwatch/monitordlg.h"
#include "castwatch/tests/uidriver.h"
#include "platform/service/servicecontrol.h"

#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <memory>

wxIMPLEMENT_APP_NO_MAIN(CMonitorApp);

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: castwatch_uitest <screenshot directory> <castwatch>\n");
        return 2;
    }
    // As the program does before wx starts its threads.
    qvplat::BlockStopSignals();

    char program[] = "castwatch";
    char* appArgv[] = {program, nullptr};
    int appArgc = 1;
    ScriptedBoxes boxes;
    if (!wxEntryStart(appArgc, appArgv)) {
        std::fprintf(stderr, "castwatch_uitest: wxWidgets did not start (is DISPLAY set?)\n");
        return 2;
    }
    // Nobody answers a log box in a test: wx's own errors go to standard
    // error instead.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    CMonitorApp& app = wxGetApp();
    int result = 1;
    // As wxEntry does: OnExit only after a successful OnInit.
    if (app.CallOnInit()) {
        auto driver = std::make_unique<CUiDriver>(app, wxString::FromUTF8(argv[1]), argv[2]);
        driver->Begin();
        app.OnRun();
        result = driver->Finish();
        driver.reset();
        app.OnExit();
    }
    wxEntryCleanup();
    return result;
}
