#include "sender/castdeck/tidewelldoc.h"

#include "platform/msgbox.h"
#include "sender/castdeck/castdeckapp.h"

#include <wx/filename.h>

wxIMPLEMENT_DYNAMIC_CLASS(CQvTidewellDoc, wxDocument);

bool CQvTidewellDoc::OnNewDocument()
{
    SetDocumentSaved(false);
    m_path.clear();
    SetTitle(kUntitled);
    SetFilename(wxString(), true);
    return true;
}

bool CQvTidewellDoc::OnOpenDocument(const wxString& path)
{
    if (!wxFileName::FileExists(path)) {
        const wxString text = wxString::Format("Cannot open %s.", path);
        qvplat::MessageBox(text.utf8_str(), CQvTidewellApp::kTitle,
                           qvplat::MB_OK | qvplat::MB_ICONEXCLAMATION);
        return false;
    }
    m_path = path;
    SetTitle(wxFileName(path).GetFullName());
    SetFilename(path, true);
    SetDocumentSaved(true);
    UpdateAllViews();
    return true;
}

void CQvTidewellDoc::TakePath(const wxString& path)
{
    m_path = path;
    SetTitle(wxFileName(path).GetFullName());
    SetFilename(path, true);
    SetDocumentSaved(true);
    if (wxDocManager* manager = GetDocumentManager()) {
        manager->AddFileToHistory(path);
    }
}
