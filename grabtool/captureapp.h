#pragma once
// grabtool's application object: runs the capture dialog modally as its main
// window and ends when the dialog closes.

#include <wx/app.h>

class CCaptureApp : public wxApp
{
public:
    bool OnInit() override;

    // True once the dialog has run; the program then ends normally although
    // the initialisation answers false.
    static bool DialogRan() { return s_dialogRan; }

private:
    static inline bool s_dialogRan = false;
};
