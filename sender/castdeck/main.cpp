// castdeck's entry point: message boxes become dialogs, then the application
// runs.
#include "sender/castdeck/castdeckapp.h"

wxIMPLEMENT_APP_NO_MAIN(CQvTidewellApp);

int main(int argc, char** argv)
{
    wxDISABLE_DEBUG_SUPPORT();
    CQvTidewellApp::InstallMessageBoxHandler();
    return wxEntry(argc, argv);
}
