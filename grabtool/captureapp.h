#pragma once
// grabtool's application object: runs the capture dialog modally as its main
// window and ends when the dialog closes.

#include "platform/ui/wx/wxuidispatch.h"

#include <wx/app.h>

#include <memory>

class CCaptureApp : public wxApp
{
public:
    bool OnInit() override;

    // Makes the process's message boxes (qvplat::MessageBox) modal dialogs
    // over the dialog, shown on the user-interface thread whichever thread
    // asks. The program installs it before the application starts.
    static void InstallMessageBoxHandler();

    // True once the dialog has run; the program then ends normally although
    // the initialisation answers false.
    static bool DialogRan() { return s_dialogRan; }

private:
    std::shared_ptr<qvplat::WxUiDispatcher> m_ui;
    static inline bool s_dialogRan = false;
};
