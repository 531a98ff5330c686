// grabtool's entry point.
#include "grabtool/captureapp.h"

wxIMPLEMENT_APP_NO_MAIN(CCaptureApp);

int main(int argc, char** argv)
{
    wxDISABLE_DEBUG_SUPPORT();
    const int result = wxEntry(argc, argv);
    return CCaptureApp::DialogRan() ? 0 : (result != 0 ? 1 : 0);
}
