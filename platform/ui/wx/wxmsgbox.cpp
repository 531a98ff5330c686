#include "platform/ui/wx/wxmsgbox.h"

#include "platform/msgbox.h"

#include <wx/app.h>
#include <wx/msgdlg.h>

namespace qvplat {

int ShowWxMessageDialog(const char* text, const char* caption, unsigned flags)
{
    long style = 0;
    switch (flags & MB_TYPEMASK) {
    case MB_YESNO:
        style |= wxYES_NO;
        break;
    case MB_OKCANCEL:
        style |= wxOK | wxCANCEL;
        break;
    case MB_YESNOCANCEL:
        style |= wxYES_NO | wxCANCEL;
        break;
    default:
        style |= wxOK;
        break;
    }
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
        style |= wxICON_ERROR;
        break;
    case MB_ICONQUESTION:
        style |= wxICON_QUESTION;
        break;
    case MB_ICONEXCLAMATION:
        style |= wxICON_EXCLAMATION;
        break;
    case MB_ICONINFORMATION:
        style |= wxICON_INFORMATION;
        break;
    default:
        break;
    }
    wxWindow* parent = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
    wxMessageDialog dialog(parent, wxString::FromUTF8(text), wxString::FromUTF8(caption),
                           style);
    switch (dialog.ShowModal()) {
    case wxID_YES:
        return IDYES;
    case wxID_NO:
        return IDNO;
    case wxID_CANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

} // namespace qvplat
