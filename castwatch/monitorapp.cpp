#include "castwatch/monitorapp.h"

#include "castwatch/model/launchmode.h"
#include "castwatch/monitordlg.h"
#include "castwatch/resource.h"
#include "platform/msgbox.h"

#include <wx/msgdlg.h>

#include <string>
#include <vector>

CMonitorApp::CMonitorApp() = default;
CMonitorApp::~CMonitorApp() = default;

void CMonitorApp::InstallMessageBoxHandler()
{
    qvplat::SetMessageBoxHandler([](const char* text, const char* caption, unsigned flags) {
        long style = 0;
        switch (flags & qvplat::MB_TYPEMASK) {
        case qvplat::MB_YESNO:
            style |= wxYES_NO;
            break;
        case qvplat::MB_OKCANCEL:
            style |= wxOK | wxCANCEL;
            break;
        case qvplat::MB_YESNOCANCEL:
            style |= wxYES_NO | wxCANCEL;
            break;
        default:
            style |= wxOK;
            break;
        }
        switch (flags & qvplat::MB_ICONMASK) {
        case qvplat::MB_ICONERROR:
            style |= wxICON_ERROR;
            break;
        case qvplat::MB_ICONQUESTION:
            style |= wxICON_QUESTION;
            break;
        case qvplat::MB_ICONEXCLAMATION:
            style |= wxICON_EXCLAMATION;
            break;
        case qvplat::MB_ICONINFORMATION:
            style |= wxICON_INFORMATION;
            break;
        default:
            break;
        }
        if ((flags & qvplat::MB_SYSTEMMODAL) != 0) {
            style |= wxSTAY_ON_TOP;
        }
        wxWindow* parent = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
        wxMessageDialog dialog(parent != nullptr && parent->IsShown() ? parent : nullptr,
                               wxString::FromUTF8(text), wxString::FromUTF8(caption), style);
        switch (dialog.ShowModal()) {
        case wxID_YES:
            return qvplat::IDYES;
        case wxID_NO:
            return qvplat::IDNO;
        case wxID_CANCEL:
            return qvplat::IDCANCEL;
        default:
            return qvplat::IDOK;
        }
    });
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

    auto* dialog = new CMonitorDlg(traits, &m_running);
    m_dialog = dialog;
    SetTopWindow(dialog);
    if (!traits.tray) {
        dialog->Show();
    }
    return true;
}

int CMonitorApp::OnExit()
{
    m_stopSignals.reset();
    return wxApp::OnExit();
}
