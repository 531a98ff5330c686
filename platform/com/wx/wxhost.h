#pragma once
// The container's side on wx: the dialog that shows a control's property
// pages, one notebook tab per page, with OK, Cancel and Apply.

#include "platform/com/wx/wxcontrol.h"

#include <wx/dialog.h>

#include <string>
#include <vector>

class wxNotebook;

namespace qvplat {

class CQvPropertySheet : public wxDialog
{
public:
    // Creates every page the object lists (ISpecifyPropertyPages) by class
    // id; pages that cannot be created are logged and left out.
    CQvPropertySheet(wxWindow* parent, IUnknown* object, const wxString& caption);
    ~CQvPropertySheet() override;

    // The titles of the pages shown, in order.
    std::vector<std::string> Titles() const;
    std::size_t PageCount() const { return m_pages.size(); }

private:
    void OnButton(wxCommandEvent& event);
    void ApplyAll();

    wxNotebook* m_notebook = nullptr;
    std::vector<ComPtr<IQvWxPropertyPage>> m_pages;
};

} // namespace qvplat
