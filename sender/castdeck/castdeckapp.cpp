#include "sender/castdeck/castdeckapp.h"

#include "core/settings/qvlog.h"
#include "platform/msgbox.h"
#include "platform/ui/uimsgbox.h"
#include "platform/ui/wx/wxaboutbox.h"
#include "platform/ui/wx/wxmsgbox.h"
#include "sender/castdeck/mainframe.h"
#include "sender/castdeck/resource.h"
#include "sender/castdeck/tidewelldoc.h"
#include "sender/castdeck/tidewellview.h"

#include <wx/cmdline.h>
#include <wx/filehistory.h>
#include <wx/image.h>

// ---- Document manager -----------------------------------------------------------------

CDeckDocManager::CDeckDocManager() : wxDocManager(0, false)
{
    // Initialize is called here rather than by the base constructor so that
    // our OnCreateFileHistory makes the list.
    Initialize();
}

wxFileHistory* CDeckDocManager::OnCreateFileHistory()
{
    return new wxFileHistory(castdeck::kRecentFileCount);
}

void CDeckDocManager::AddFileToHistory(const wxString& file)
{
    wxDocManager::AddFileToHistory(file);
    SaveHistory();
    if (CMainFrame* frame = wxGetApp().MainFrame()) {
        frame->RefreshRecentFiles();
    }
}

void CDeckDocManager::RemoveFileFromHistory(size_t i)
{
    wxDocManager::RemoveFileFromHistory(i);
    SaveHistory();
    if (CMainFrame* frame = wxGetApp().MainFrame()) {
        frame->RefreshRecentFiles();
    }
}

void CDeckDocManager::LoadHistory()
{
    const std::vector<std::string> files = castdeck::LoadRecentFiles();
    // Oldest first, so the most recent ends on top.
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        wxDocManager::AddFileToHistory(wxString::FromUTF8(*it));
    }
}

void CDeckDocManager::SaveHistory() const
{
    std::vector<std::string> files;
    for (size_t i = 0; i < GetHistoryFilesCount(); ++i) {
        files.push_back(GetHistoryFile(i).utf8_string());
    }
    castdeck::SaveRecentFiles(files);
}

// ---- Application ----------------------------------------------------------------------

CQvTidewellApp::CQvTidewellApp() = default;
CQvTidewellApp::~CQvTidewellApp() = default;

void CQvTidewellApp::OnInitCmdLine(wxCmdLineParser& parser)
{
    wxApp::OnInitCmdLine(parser);
    parser.AddParam("MPEG file to open", wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL);
}

bool CQvTidewellApp::OnCmdLineParsed(wxCmdLineParser& parser)
{
    if (!wxApp::OnCmdLineParsed(parser)) {
        return false;
    }
    if (parser.GetParamCount() > 0) {
        m_fileToOpen = parser.GetParam(0);
    }
    return true;
}

namespace {

// Every message box of the process, shown on the user-interface thread.
qvplat::UiMessageBoxes& Boxes()
{
    static qvplat::UiMessageBoxes boxes(qvplat::ShowWxMessageDialog);
    return boxes;
}

} // namespace

void CQvTidewellApp::InstallMessageBoxHandler()
{
    qvplat::SetMessageBoxHandler(Boxes().Handler());
}

bool CQvTidewellApp::OnInit()
{
    if (!wxApp::OnInit()) {
        return false;
    }
    SetAppName(kTitle);
    SetVendorName("Talvex");

    // One instance per user session.
    if (m_instance.Acquire(castdeck::InstanceLock::DefaultPath()) ==
        castdeck::InstanceLock::Result::HeldElsewhere) {
        qvplat::MessageBox(kAlreadyRunning, "Error", qvplat::MB_OK | qvplat::MB_ICONERROR);
        return false;
    }

    // From here on boxes asked for by workers are shown by the event loop.
    m_ui = qvplat::WxUiDispatcher::Create();
    Boxes().SetDispatcher(m_ui);

    QvSetDebugFile("QvDebugFlowmill.log");
    QvSetLogFile("castdeck.log");
    wxInitAllImageHandlers();

    m_docManager = new CDeckDocManager;
    m_docManager->LoadHistory();
    new wxDocTemplate(m_docManager, "QvTide Document", "*.*", "", "", "QvTidewell.Document",
                      "QvTide View", wxCLASSINFO(CQvTidewellDoc), wxCLASSINFO(CQvTidewellView));

    m_mainFrame = new CMainFrame(m_docManager);
    SetTopWindow(m_mainFrame);
    m_mainFrame->Show();

    if (!OpenCommandLineDocument()) {
        // OnExit is not called after a failed OnInit.
        StopUiDispatcher();
        m_mainFrame->Destroy();
        m_mainFrame = nullptr;
        delete m_docManager;
        m_docManager = nullptr;
        return false;
    }
    return true;
}

bool CQvTidewellApp::OpenCommandLineDocument()
{
    if (m_fileToOpen.empty()) {
        return m_docManager->CreateNewDocument() != nullptr;
    }
    return m_docManager->CreateDocument(m_fileToOpen, wxDOC_SILENT) != nullptr;
}

void CQvTidewellApp::StopUiDispatcher()
{
    Boxes().SetDispatcher(nullptr);
    if (m_ui != nullptr) {
        m_ui->Close();
        m_ui.reset();
    }
}

int CQvTidewellApp::OnExit()
{
    StopUiDispatcher();
    if (m_docManager != nullptr) {
        m_docManager->SaveHistory();
        delete m_docManager;
        m_docManager = nullptr;
    }
    return wxApp::OnExit();
}

void CQvTidewellApp::ShowAbout(wxWindow* parent)
{
    qvplat::ShowAboutBox(parent, kAboutTitle, kAboutText, wxNullIcon, kWebsite);
}
