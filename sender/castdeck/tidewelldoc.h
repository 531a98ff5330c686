#pragma once
// castdeck's document: one MPEG file, known by its path and title only.
// Nothing of the file is read or written through the document; its panel
// reads the file when it analyses and sends it.

#include <wx/docview.h>

class CQvTidewellDoc : public wxDocument
{
public:
    static constexpr const char* kUntitled = "(No file defined)";

    CQvTidewellDoc() = default;

    bool OnNewDocument() override;
    // Takes the path (the file must exist) without reading the file.
    bool OnOpenDocument(const wxString& path) override;
    // Never modified, so never asks to be saved.
    bool OnSaveModified() override { return true; }
    bool IsModified() const override { return false; }

    // The panel picked another file: it becomes the document's path and
    // title and joins the recent-file list.
    void TakePath(const wxString& path);

    wxString GetPath() const { return m_path; }

private:
    wxString m_path;

    wxDECLARE_DYNAMIC_CLASS(CQvTidewellDoc);
};
