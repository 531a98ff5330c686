#include "grabtool/captureapp.h"

#include "grabtool/capturedlg.h"
#include "platform/ui/uimsgbox.h"
#include "platform/ui/wx/wxmsgbox.h"

#include <csignal>

namespace {

// Every message box of the process, shown on the user-interface thread.
qvplat::UiMessageBoxes& Boxes()
{
    static qvplat::UiMessageBoxes boxes(qvplat::ShowWxMessageDialog);
    return boxes;
}

} // namespace

void CCaptureApp::InstallMessageBoxHandler()
{
    qvplat::SetMessageBoxHandler(Boxes().Handler());
}

bool CCaptureApp::OnInit()
{
    if (!wxApp::OnInit()) {
        return false;
    }
    SetAppName("grabtool");
    SetVendorName("Talvex");
    // A file-size limit fails the capture's writes (logged) instead of
    // ending the program.
    std::signal(SIGXFSZ, SIG_IGN);

    m_ui = qvplat::WxUiDispatcher::Create();
    Boxes().SetDispatcher(m_ui);
    {
        CCaptureDlg dialog(m_ui);
        SetTopWindow(&dialog);
        dialog.ShowModal();
        SetTopWindow(nullptr);
        // No event loop runs any more.
        Boxes().SetDispatcher(nullptr);
        m_ui->Close();
    }
    m_ui.reset();
    s_dialogRan = true;
    // The dialog was the program: no main loop follows.
    return false;
}
