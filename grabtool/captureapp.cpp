#include "grabtool/captureapp.h"

#include "grabtool/capturedlg.h"

bool CCaptureApp::OnInit()
{
    if (!wxApp::OnInit()) {
        return false;
    }
    SetAppName("grabtool");
    SetVendorName("Talvex");
    {
        CCaptureDlg dialog;
        SetTopWindow(&dialog);
        dialog.ShowModal();
        SetTopWindow(nullptr);
    }
    s_dialogRan = true;
    // The dialog was the program: no main loop follows.
    return false;
}
