#include "platform/com/wx/wxhost.h"

#include "platform/com/creation.h"

#include <wx/button.h>
#include <wx/notebook.h>
#include <wx/sizer.h>

namespace qvplat {

CQvPropertySheet::CQvPropertySheet(wxWindow* parent, IUnknown* object, const wxString& caption)
    : wxDialog(parent, wxID_ANY, caption, wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
{
    m_notebook = new wxNotebook(this, wxID_ANY);
    std::vector<CLSID> classes;
    ComPtr<ISpecifyPropertyPages> specify;
    if (object != nullptr &&
        Succeeded(object->QueryInterface(ISpecifyPropertyPages::Iid, specify.PutVoid()))) {
        specify->GetPages(&classes);
    }
    IUnknown* const objects[] = {object};
    for (const CLSID& clsid : classes) {
        ComPtr<IQvWxPropertyPage> page;
        HRESULT hr = CoCreateInstance(clsid, page);
        wxWindow* window = nullptr;
        std::string title;
        if (Succeeded(hr)) {
            page->SetObjects(objects);
            page->GetTitle(&title);
            hr = page->Activate(m_notebook, &window);
        }
        if (Failed(hr)) {
            ComLog("property page " + GuidToString(clsid) + " not shown: " + HResultName(hr));
            continue;
        }
        m_notebook->AddPage(window, wxString::FromUTF8(title));
        m_pages.push_back(page);
    }

    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_notebook, 1, wxEXPAND | wxALL, 8);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    for (const wxWindowID id : {wxID_OK, wxID_CANCEL, wxID_APPLY}) {
        buttons->Add(new wxButton(this, id), 0, wxLEFT, 8);
    }
    sizer->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 8);
    SetSizerAndFit(sizer);
    SetMinSize(wxSize(360, 260));
    Bind(wxEVT_BUTTON, &CQvPropertySheet::OnButton, this);
}

CQvPropertySheet::~CQvPropertySheet()
{
    // The pages' windows belong to their pages, which destroy them.
    while (m_notebook->GetPageCount() > 0) {
        m_notebook->RemovePage(0);
    }
    for (const ComPtr<IQvWxPropertyPage>& page : m_pages) {
        page->Deactivate();
    }
}

std::vector<std::string> CQvPropertySheet::Titles() const
{
    std::vector<std::string> titles;
    for (const ComPtr<IQvWxPropertyPage>& page : m_pages) {
        std::string title;
        page->GetTitle(&title);
        titles.push_back(title);
    }
    return titles;
}

void CQvPropertySheet::ApplyAll()
{
    for (const ComPtr<IQvWxPropertyPage>& page : m_pages) {
        page->Apply();
    }
}

void CQvPropertySheet::OnButton(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case wxID_APPLY:
        ApplyAll();
        return;
    case wxID_OK:
        ApplyAll();
        break;
    case wxID_CANCEL:
        break;
    default:
        event.Skip();
        return;
    }
    if (IsModal()) {
        EndModal(event.GetId());
    } else {
        Destroy();
    }
}

} // namespace qvplat
