// castdeck_uitest: starts castdeck's application object the way the program
// does, but with scripted message boxes (printed on standard output and
// answered by the script), and drives its windows.
//
//   castdeck_uitest walk <screenshot directory> <MPEG file>
//     opens the file and walks through the windows (CUiDriver); exit code 0
//     when every check held.
//   castdeck_uitest transmit <MPEG file> [<packet format>]
//     opens the file and presses "Start Transmission" on the panel's own
//     settings (with that packet format); transmits until SIGTERM or SIGINT
//     (CTransmitDriver).
//   castdeck_uitest start [<file>]
//     only starts the application and ends it again: exit code 0 when it
//     started, 1 when it refused to (already running, a file it cannot
//     open).
//
// It needs an X display; the smoke test runs it on a private Xvfb server.
#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/tests/transmitdriver.h"
#include "sender/castdeck/tests/uidriver.h"

#include <wx/init.h>
#include <wx/log.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

wxIMPLEMENT_APP_NO_MAIN(CQvTidewellApp);

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: castdeck_uitest walk <screenshot directory> <MPEG file>\n"
                         "       castdeck_uitest transmit <MPEG file> [<packet format>]\n"
                         "       castdeck_uitest start [<file>]\n");
    return 2;
}

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
    const bool walk = !args.empty() && args[0] == "walk" && args.size() == 3;
    const bool start = !args.empty() && args[0] == "start" && args.size() <= 2;
    const bool transmit =
        !args.empty() && args[0] == "transmit" && (args.size() == 2 || args.size() == 3);
    if (!walk && !start && !transmit) {
        return Usage();
    }

    // The application sees the command line the program would get.
    std::vector<std::string> appArgs{"castdeck"};
    if (args.size() > 1) {
        appArgs.push_back(walk ? args[2] : args[1]);
    }
    std::vector<char*> appArgv;
    for (std::string& arg : appArgs) {
        appArgv.push_back(arg.data());
    }
    appArgv.push_back(nullptr);
    int appArgc = static_cast<int>(appArgs.size());

    ScriptedBoxes boxes;
    if (!wxEntryStart(appArgc, appArgv.data())) {
        std::fprintf(stderr, "castdeck_uitest: wxWidgets did not start (is DISPLAY set?)\n");
        return 2;
    }
    // Nobody answers a log box in a test: wx's own errors go to standard
    // error instead.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    CQvTidewellApp& app = wxGetApp();
    int result = 1;
    // As wxEntry does: OnExit only after a successful OnInit.
    if (app.CallOnInit()) {
        std::unique_ptr<CUiDriver> driver;
        std::unique_ptr<CTransmitDriver> transmitter;
        if (transmit) {
            transmitter =
                std::make_unique<CTransmitDriver>(app, boxes, args.size() == 3 ? args[2] : "");
            transmitter->Begin();
        } else if (walk) {
            driver = std::make_unique<CUiDriver>(app, boxes, wxString::FromUTF8(args[1]),
                                                 std::vector<std::string>{ThisProgram(), "start"});
            driver->Begin();
        } else {
            app.MainFrame()->Close(true);
        }
        app.OnRun();
        result = driver ? driver->Finish() : transmitter ? transmitter->Finish() : 0;
        driver.reset();
        transmitter.reset();
        app.OnExit();
    }
    wxEntryCleanup();
    return result;
}
