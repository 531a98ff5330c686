#pragma once
// grabtool's application object: runs the capture dialog modally as its main
// window and ends when the dialog closes.

#include <wx/app.h>

class CCaptureDlg;

class CCaptureApp : public wxApp
{
public:
    bool OnInit() override;

    // True once the dialog has run; the program then ends normally although
    // the initialisation answers false.
    static bool DialogRan() { return s_dialogRan; }

protected:
    // The dialog exists and is about to run; a test program drives it from
    // here.
    virtual void OnDialogCreated(CCaptureDlg& dialog);

private:
    static inline bool s_dialogRan = false;
};
