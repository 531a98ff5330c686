// grabtool's entry point: message boxes become dialogs, then the dialog runs.
#include "grabtool/captureapp.h"

wxIMPLEMENT_APP_NO_MAIN(CCaptureApp);

int main(int argc, char** argv)
{
    wxDISABLE_DEBUG_SUPPORT();
    CCaptureApp::InstallMessageBoxHandler();
    const int result = wxEntry(argc, argv);
    return CCaptureApp::DialogRan() ? 0 : (result != 0 ? 1 : 0);
}
