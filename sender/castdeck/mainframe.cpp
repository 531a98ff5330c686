#include "sender/castdeck/mainframe.h"

#include "platform/msgbox.h"
#include "sender/castdeck/castdeckapp.h"
#include "sender/castdeck/resource.h"

#include <wx/artprov.h>
#include <wx/dnd.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/toolbar.h>

#include <algorithm>

namespace {

// Files dropped anywhere on the frame.
class FrameDropTarget : public wxFileDropTarget
{
public:
    explicit FrameDropTarget(CMainFrame& frame) : m_frame(frame) {}

    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override
    {
        if (files.empty()) {
            return false;
        }
        m_frame.OnFileDropped(files[0]);
        return true;
    }

private:
    CMainFrame& m_frame;
};

constexpr int kStatusPanes = 4;
// New, Open, Close and a separator come before the recent files.
constexpr size_t kFirstRecentPosition = 4;

} // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(CMainFrame, wxDocMDIParentFrame)
    EVT_MENU(wxID_ABOUT, CMainFrame::OnAbout)
    EVT_MENU(ID_VIEW_TOOLBAR, CMainFrame::OnViewToolbar)
    EVT_MENU(ID_VIEW_STATUS_BAR, CMainFrame::OnViewStatusBar)
    EVT_UPDATE_UI(ID_VIEW_TOOLBAR, CMainFrame::OnUpdateViewToolbar)
    EVT_UPDATE_UI(ID_VIEW_STATUS_BAR, CMainFrame::OnUpdateViewStatusBar)
    EVT_MENU(ID_WINDOW_NEW, CMainFrame::OnWindowNew)
    EVT_MENU(ID_WINDOW_CASCADE, CMainFrame::OnWindowCascade)
    EVT_MENU(ID_WINDOW_TILE_HORZ, CMainFrame::OnWindowTile)
    EVT_MENU(ID_WINDOW_ARRANGE, CMainFrame::OnWindowArrange)
    EVT_UPDATE_UI(ID_WINDOW_NEW, CMainFrame::OnUpdateNeedsChild)
    EVT_UPDATE_UI(ID_WINDOW_CASCADE, CMainFrame::OnUpdateNeedsChild)
    EVT_UPDATE_UI(ID_WINDOW_TILE_HORZ, CMainFrame::OnUpdateNeedsChild)
    EVT_UPDATE_UI(ID_WINDOW_ARRANGE, CMainFrame::OnUpdateNeedsChild)
wxEND_EVENT_TABLE()
    // clang-format on

    CMainFrame::CMainFrame(wxDocManager* manager)
    : wxDocMDIParentFrame(manager, nullptr, IDR_MAINFRAME, CQvTidewellApp::kTitle,
                          wxDefaultPosition, wxSize(560, 640),
                          wxDEFAULT_FRAME_STYLE | wxFRAME_NO_WINDOW_MENU)
{
    CreateMenus();
    CreateToolbar();
    CreateStatusBar(kStatusPanes);
    SetDropTarget(new FrameDropTarget(*this));

    // The document frame base binds its own close handler; one bound later
    // runs first, so the question comes before any document is closed.
    Bind(wxEVT_CLOSE_WINDOW, &CMainFrame::OnClose, this);
}

void CMainFrame::CreateMenus()
{
    auto* stream = new wxMenu;
    stream->Append(wxID_NEW, "&New\tCtrl+N", "Create a new document");
    stream->Append(wxID_OPEN, "&Open...\tCtrl+O", "Open an existing document");
    stream->Append(wxID_CLOSE, "&Close", "Close the active document");
    stream->AppendSeparator();
    stream->Append(wxID_EXIT, "E&xit", "Quit the application");

    auto* view = new wxMenu;
    view->AppendCheckItem(ID_VIEW_TOOLBAR, "&Toolbar", "Show or hide the toolbar");
    view->AppendCheckItem(ID_VIEW_STATUS_BAR, "&Status Bar", "Show or hide the status bar");

    auto* window = new wxMenu;
    window->Append(ID_WINDOW_NEW, "&New Window", "Open another window for the active document");
    window->Append(ID_WINDOW_CASCADE, "&Cascade", "Arrange windows so they overlap");
    window->Append(ID_WINDOW_TILE_HORZ, "&Tile", "Arrange windows as non-overlapping tiles");
    window->Append(ID_WINDOW_ARRANGE, "&Arrange Icons",
                   "Arrange icons at the bottom of the window");

    auto* help = new wxMenu;
    help->Append(wxID_ABOUT, "&About...", "Display program information");

    auto* bar = new wxMenuBar;
    bar->Append(stream, "&Stream");
    bar->Append(view, "&View");
    bar->Append(window, "&Window");
    bar->Append(help, "&Help");
    SetMenuBar(bar);

    m_streamMenu = stream;
    RefreshRecentFiles();
}

void CMainFrame::RefreshRecentFiles()
{
    // The recent files go between Close and Exit, so the frame keeps these
    // items itself; their commands (wxID_FILE1...) reach the document
    // manager, which opens the file.
    for (int id = wxID_FILE1; id <= wxID_FILE9; ++id) {
        if (m_streamMenu->FindItem(id) != nullptr) {
            m_streamMenu->Destroy(id);
        }
    }
    if (m_recentSeparator != nullptr) {
        m_streamMenu->Destroy(m_recentSeparator);
        m_recentSeparator = nullptr;
    }
    wxDocManager* manager = GetDocumentManager();
    const size_t count =
        std::min<size_t>(manager->GetHistoryFilesCount(), wxID_FILE9 - wxID_FILE1 + 1);
    size_t position = kFirstRecentPosition;
    for (size_t i = 0; i < count; ++i) {
        wxString path = manager->GetHistoryFile(i);
        path.Replace("&", "&&");
        m_streamMenu->Insert(position++, wxID_FILE1 + static_cast<int>(i),
                             wxString::Format("&%zu %s", i + 1, path), "Open this document");
    }
    if (count > 0) {
        m_recentSeparator = m_streamMenu->InsertSeparator(position);
    }
}

void CMainFrame::CreateToolbar()
{
    wxToolBar* bar = CreateToolBar(wxTB_HORIZONTAL | wxTB_FLAT);
    bar->AddTool(wxID_NEW, "New", wxArtProvider::GetBitmapBundle(wxART_NEW, wxART_TOOLBAR), "New",
                 wxITEM_NORMAL);
    bar->AddTool(wxID_OPEN, "Open", wxArtProvider::GetBitmapBundle(wxART_FILE_OPEN, wxART_TOOLBAR),
                 "Open", wxITEM_NORMAL);
    bar->AddSeparator();
    bar->AddTool(wxID_ABOUT, "About", wxArtProvider::GetBitmapBundle(wxART_HELP, wxART_TOOLBAR),
                 "About", wxITEM_NORMAL);
    bar->SetToolLongHelp(wxID_NEW, "Create a new document");
    bar->SetToolLongHelp(wxID_OPEN, "Open an existing document");
    bar->SetToolLongHelp(wxID_ABOUT, "Display program information");
    bar->Realize();
}

wxString CMainFrame::TakeDroppedPath()
{
    wxString path;
    path.swap(m_droppedPath);
    return path;
}

void CMainFrame::OnFileDropped(const wxString& path)
{
    m_droppedPath = path;
    wxQueueEvent(this, new wxCommandEvent(wxEVT_MENU, wxID_NEW));
}

void CMainFrame::ShowDocumentTitle(const wxString& title)
{
    SetTitle(title.empty() ? wxString(CQvTidewellApp::kTitle)
                           : wxString(CQvTidewellApp::kTitle) + " - " + title);
}

void CMainFrame::OnClose(wxCloseEvent& event)
{
    if (event.CanVeto() && wxGetApp().TransmittingCount() != 0) {
        const int answer =
            qvplat::MessageBox(kExitQuestion, "Notice", qvplat::MB_YESNO | qvplat::MB_ICONQUESTION);
        if (answer != qvplat::IDYES) {
            event.Veto();
            return;
        }
    }
    event.Skip();
}

void CMainFrame::OnAbout(wxCommandEvent&)
{
    wxGetApp().ShowAbout(this);
}

void CMainFrame::OnViewToolbar(wxCommandEvent&)
{
    if (wxToolBar* bar = GetToolBar()) {
        bar->Show(!bar->IsShown());
        SendSizeEvent();
    }
}

void CMainFrame::OnViewStatusBar(wxCommandEvent&)
{
    if (wxStatusBar* bar = GetStatusBar()) {
        bar->Show(!bar->IsShown());
        SendSizeEvent();
    }
}

void CMainFrame::OnUpdateViewToolbar(wxUpdateUIEvent& event)
{
    event.Check(GetToolBar() != nullptr && GetToolBar()->IsShown());
}

void CMainFrame::OnUpdateViewStatusBar(wxUpdateUIEvent& event)
{
    event.Check(GetStatusBar() != nullptr && GetStatusBar()->IsShown());
}

void CMainFrame::OnWindowNew(wxCommandEvent&)
{
    wxDocument* doc = GetDocumentManager()->GetCurrentDocument();
    if (doc != nullptr && doc->GetDocumentTemplate() != nullptr) {
        doc->GetDocumentTemplate()->CreateView(doc);
    }
}

void CMainFrame::OnWindowCascade(wxCommandEvent&)
{
    Cascade();
}

void CMainFrame::OnWindowTile(wxCommandEvent&)
{
    Tile();
}

void CMainFrame::OnWindowArrange(wxCommandEvent&)
{
    ArrangeIcons();
}

void CMainFrame::OnUpdateNeedsChild(wxUpdateUIEvent& event)
{
    event.Enable(GetActiveChild() != nullptr);
}
