// ctlhost_uitest: ctlhost with the verbs that tests need besides the user's
// (driververbs.h): it finds lists and buttons in the program's windows and
// reads the screen from the X server. `ctlhost_uitest --help` lists them.
#include "ctlhost/ctlhostframe.h"
#include "ctlhost/tests/uitest/driververbs.h"
#include "platform/testsupport/x11/screenimage.h"

#include <wx/listbox.h>
#include <wx/listctrl.h>
#include <wx/toplevel.h>

#include <memory>
#include <set>

namespace {

using ctlhost::DriverWindows;

// The first window of that class in a window, depth first.
template <class List> List* FindList(wxWindow* window)
{
    if (window == nullptr) {
        return nullptr;
    }
    if (auto* list = dynamic_cast<List*>(window)) {
        return list;
    }
    for (wxWindow* child : window->GetChildren()) {
        if (List* list = FindList<List>(child)) {
            return list;
        }
    }
    return nullptr;
}

// The first list box in a shown window.
wxListBox* ShownListBox()
{
    for (wxWindow* window : wxTopLevelWindows) {
        if (wxListBox* box = window->IsShown() ? FindList<wxListBox>(window) : nullptr) {
            return box;
        }
    }
    return nullptr;
}

class CDriverWindows final : public DriverWindows
{
public:
    explicit CDriverWindows(wxWindow& control) : m_control(control) {}

    bool Screenshot(const std::string& path, std::size_t& colours, std::string& error) override
    {
        const wxImage screen = CaptureScreen(error);
        if (!screen.IsOk()) {
            return false;
        }
        if (!screen.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG)) {
            error = "cannot write \"" + path + "\"";
            return false;
        }
        colours = qvtest::CountColours(ControlImage(screen));
        return true;
    }
    bool LookAtControl(std::size_t& colours, std::uint64_t& digest, std::string& error) override
    {
        const wxImage screen = CaptureScreen(error);
        if (!screen.IsOk()) {
            return false;
        }
        const wxImage control = ControlImage(screen);
        colours = qvtest::CountColours(control);
        // FNV-1a over the pixels.
        digest = 14695981039346656037ull;
        const unsigned char* data = control.IsOk() ? control.GetData() : nullptr;
        const std::size_t bytes =
            control.IsOk() ? std::size_t(control.GetWidth()) * std::size_t(control.GetHeight()) * 3
                           : 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            digest = (digest ^ data[i]) * 1099511628211ull;
        }
        return true;
    }
    bool ListRows(std::vector<std::string>& rows, std::string& error) override
    {
        if (wxListCtrl* list = FindList<wxListCtrl>(&m_control)) {
            for (long row = 0; row < list->GetItemCount(); ++row) {
                rows.push_back(list->GetItemText(row).utf8_string());
            }
            return true;
        }
        wxListBox* box = ShownListBox();
        if (box == nullptr) {
            error = "the control shows no list";
            return false;
        }
        for (unsigned row = 0; row < box->GetCount(); ++row) {
            rows.push_back(box->GetString(row).utf8_string());
        }
        return true;
    }
    bool DoubleClickRow(long row, std::string& error) override
    {
        return ActOnRow(row, true, error);
    }
    bool SelectRow(long row, std::string& error) override { return ActOnRow(row, false, error); }
    bool DoubleClick(std::string&) override
    {
        wxMouseEvent event(wxEVT_LEFT_DCLICK);
        event.SetEventObject(&m_control);
        m_control.GetEventHandler()->ProcessEvent(event);
        return true;
    }

private:
    // The whole screen, from the X server itself: what other clients (a
    // video sink) drew is there too, and nothing is cached.
    static wxImage CaptureScreen(std::string& error)
    {
        for (wxWindow* window : wxTopLevelWindows) {
            window->Update();
        }
        wxImage image = qvtest::CaptureScreenImage(wxRect(wxPoint(0, 0), wxGetDisplaySize()));
        if (!image.IsOk()) {
            error = "cannot read the screen";
        }
        return image;
    }
    // What the control's window shows on the screen; not Ok when it shows
    // nothing.
    wxImage ControlImage(const wxImage& screen) const
    {
        const wxRect place = m_control.GetScreenRect().Intersect(wxRect(screen.GetSize()));
        return place.IsEmpty() ? wxImage() : screen.GetSubImage(place);
    }
    // A row of the control's list view, else of the first list box shown in
    // any window: selected, and with `activate` double-clicked, as the list
    // reports it to its handler.
    bool ActOnRow(long row, bool activate, std::string& error)
    {
        if (wxListCtrl* list = FindList<wxListCtrl>(&m_control)) {
            if (row >= list->GetItemCount()) {
                error = "the list has " + std::to_string(list->GetItemCount()) + " rows";
                return false;
            }
            list->SetItemState(row, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                               wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
            if (activate) {
                wxListEvent event(wxEVT_LIST_ITEM_ACTIVATED, list->GetId());
                event.SetEventObject(list);
                event.SetIndex(row);
                list->GetEventHandler()->ProcessEvent(event);
            }
            return true;
        }
        wxListBox* box = ShownListBox();
        if (box == nullptr) {
            error = "the control shows no list";
            return false;
        }
        if (row >= static_cast<long>(box->GetCount())) {
            error = "the list has " + std::to_string(box->GetCount()) + " rows";
            return false;
        }
        box->SetSelection(static_cast<int>(row));
        wxCommandEvent event(activate ? wxEVT_LISTBOX_DCLICK : wxEVT_LISTBOX, box->GetId());
        event.SetEventObject(box);
        event.SetInt(static_cast<int>(row));
        box->GetEventHandler()->ProcessEvent(event);
        return true;
    }

    wxWindow& m_control;
};

// The verbs and the windows they act on, owned together by the frame.
class CDriver final : public ctlhost::ExtraVerbs
{
public:
    explicit CDriver(wxWindow& control) : m_windows(control), m_verbs(m_windows) {}
    Result Run(const ctlhost::ScriptCommand& command, std::chrono::milliseconds elapsed, int round,
               std::string& line, std::string& error) override
    {
        return m_verbs.Run(command, elapsed, round, line, error);
    }

private:
    CDriverWindows m_windows;
    ctlhost::DriverVerbs m_verbs;
};

} // namespace

int main(int argc, char** argv)
{
    return ctlhost::RunHost(
        argc, argv,
        {"ctlhost_uitest", ctlhost::DriverVerbSpecs(),
         [](wxWindow&, wxWindow& control) -> std::unique_ptr<ctlhost::ExtraVerbs> {
             return std::make_unique<CDriver>(control);
         }});
}
