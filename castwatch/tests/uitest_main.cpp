// castwatch_uitest: starts castwatch's application object the way the
// program does, with message boxes printed on standard output and answered
// with their default button, and drives its windows.
//
//   castwatch_uitest walk <screenshot directory> <castwatch program>
//     the desktop monitor and the walk of CUiDriver; exit code 0 when every
//     check held.
//   castwatch_uitest start
//     only starts the desktop monitor and ends it again: 0 when it started,
//     1 when it refused to (another monitor runs).
//
// It needs an X display; the smoke test runs it on a private Xvfb server.
#include "castwatch/monitorapp.h"
#include "castwatch/monitordlg.h"
#include "castwatch/tests/uidriver.h"
#include "platform/service/servicecontrol.h"

#include <wx/init.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

wxIMPLEMENT_APP_NO_MAIN(CMonitorApp);

namespace {

std::string ThisProgram()
{
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool walk = args.size() == 3 && args[0] == "walk";
    const bool start = args.size() == 1 && args[0] == "start";
    if (!walk && !start) {
        std::fprintf(stderr, "usage: castwatch_uitest walk <screenshot directory> <castwatch>\n"
                             "       castwatch_uitest start\n");
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
    CMonitorApp& app = wxGetApp();
    int result = 1;
    // As wxEntry does: OnExit only after a successful OnInit.
    if (app.CallOnInit()) {
        std::unique_ptr<CUiDriver> driver;
        if (walk) {
            driver = std::make_unique<CUiDriver>(app, wxString::FromUTF8(args[1]), ThisProgram(),
                                                 args[2]);
            driver->Begin();
        } else {
            app.MainDialog()->Close(true);
        }
        app.OnRun();
        result = driver ? driver->Finish() : 0;
        driver.reset();
        app.OnExit();
    }
    wxEntryCleanup();
    return result;
}
