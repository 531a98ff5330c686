#pragma once
// castdeck's main frame: the multiple-document parent window with its menus,
// toolbar, status bar, file drop and close check.

#include <wx/docmdi.h>
#include <wx/string.h>

class wxMenu;
class wxMenuItem;

class CMainFrame : public wxDocMDIParentFrame
{
public:
    static constexpr const char* kExitQuestion =
        "Transmitting stream(s).  Are you sure you want to exit?";

    explicit CMainFrame(wxDocManager* manager);

    // The path of the last file dropped on the frame, which the call takes
    // (the frame holds none afterwards).
    wxString TakeDroppedPath();
    bool HasDroppedPath() const { return !m_droppedPath.empty(); }

    // A file dropped on the frame: a new document takes it.
    void OnFileDropped(const wxString& path);

    // Shows the recent-file list in the Stream menu.
    void RefreshRecentFiles();

    // Shows the document of the active window in the title.
    void ShowDocumentTitle(const wxString& title);

private:
    void CreateMenus();
    void CreateToolbar();

    void OnClose(wxCloseEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnViewToolbar(wxCommandEvent& event);
    void OnViewStatusBar(wxCommandEvent& event);
    void OnUpdateViewToolbar(wxUpdateUIEvent& event);
    void OnUpdateViewStatusBar(wxUpdateUIEvent& event);
    void OnWindowNew(wxCommandEvent& event);
    void OnWindowCascade(wxCommandEvent& event);
    void OnWindowTile(wxCommandEvent& event);
    void OnWindowArrange(wxCommandEvent& event);
    void OnUpdateNeedsChild(wxUpdateUIEvent& event);

    wxMenu* m_streamMenu = nullptr;
    wxMenuItem* m_recentSeparator = nullptr;
    wxString m_droppedPath;

    wxDECLARE_EVENT_TABLE();
};
