#include "castwatch/monitorapp.h"

#include "castwatch/model/launchmode.h"
#include "castwatch/monitordlg.h"
#include "castwatch/resource.h"
#include "platform/msgbox.h"
#include "platform/ui/uimsgbox.h"
#include "platform/ui/wx/wxmsgbox.h"

#include <string>
#include <vector>

CMonitorApp::CMonitorApp() = default;
CMonitorApp::~CMonitorApp() = default;

namespace {

// Every message box of the process, shown on the user-interface thread.
qvplat::UiMessageBoxes& Boxes()
{
    static qvplat::UiMessageBoxes boxes(qvplat::ShowWxMessageDialog);
    return boxes;
}

} // namespace

void CMonitorApp::InstallMessageBoxHandler()
{
    qvplat::SetMessageBoxHandler(Boxes().Handler());
}

void CMonitorApp::StopUiDispatcher()
{
    Boxes().SetDispatcher(nullptr);
    if (m_ui != nullptr) {
        m_ui->Close();
        m_ui.reset();
    }
}

bool CMonitorApp::OnInit()
{
    // The command line is the monitor's own (a property list), not wx's.
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) {
        words.push_back(argv[i].utf8_string());
    }
    std::vector<const char*> args;
    for (const std::string& word : words) {
        args.push_back(word.c_str());
    }
    m_commandLine = castwatch::CommandLineProperties(static_cast<int>(args.size()), args.data());
    const castwatch::LaunchMode mode = castwatch::ChooseLaunchMode(m_commandLine);
    if (mode != castwatch::LaunchMode::Desktop && mode != castwatch::LaunchMode::Tray) {
        return false;
    }
    const castwatch::ModeTraits traits = castwatch::TraitsOf(mode);
    SetAppName("castwatch");
    SetAppDisplayName(kTitle);
    SetVendorName("Talvex");

    if (traits.singleInstance &&
        m_instance.Acquire() == castwatch::MonitorInstance::Result::Running) {
        qvplat::MessageBox(kAlreadyRunning, kTitle, qvplat::MB_OK | qvplat::MB_ICONINFORMATION);
        return false;
    }
    m_stopSignals = std::make_unique<qvplat::StopSignalWatcher>([this] { m_running = false; });
    // From here on work from other threads (the directory's lists, boxes
    // asked for by workers) runs in the event loop.
    m_ui = qvplat::WxUiDispatcher::Create();
    Boxes().SetDispatcher(m_ui);

    auto* dialog = new CMonitorDlg(traits, &m_running, m_ui);
    m_dialog = dialog;
    SetTopWindow(dialog);
    if (!traits.tray) {
        dialog->Show();
    }
    return true;
}

int CMonitorApp::OnExit()
{
    StopUiDispatcher();
    m_stopSignals.reset();
    return wxApp::OnExit();
}
