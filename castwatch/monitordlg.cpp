#include "castwatch/monitordlg.h"

#include "castwatch/resource.h"
#include "castwatch/setupdlg.h"
#include "platform/msgbox.h"
#include "platform/ui/wx/wxaboutbox.h"

#include <wx/app.h>
#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/iconbndl.h>
#include <wx/listbox.h>
#include <wx/textctrl.h>

namespace {

wxIcon ProgramIcon(const wxSize& size)
{
    return wxArtProvider::GetIcon(wxART_FIND, wxART_OTHER, size);
}

} // namespace

// ---- Tray icon ------------------------------------------------------------------------

CTrayIcon::CTrayIcon(CMonitorDlg& dialog) : m_dialog(dialog)
{
    Bind(wxEVT_TASKBAR_LEFT_DOWN, &CTrayIcon::OnLeftDown, this);
}

void CTrayIcon::OnLeftDown(wxTaskBarIconEvent&)
{
    m_dialog.AskToExit();
}

// ---- Main dialog ----------------------------------------------------------------------

// clang-format off
wxBEGIN_EVENT_TABLE(CMonitorDlg, wxDialog)
    EVT_LISTBOX_DCLICK(IDC_PROGRAMS, CMonitorDlg::OnProgramsDoubleClick)
    EVT_BUTTON(IDC_SETUP, CMonitorDlg::OnSetup)
    EVT_BUTTON(IDC_ABOUT, CMonitorDlg::OnAbout)
    EVT_SIZE(CMonitorDlg::OnSize)
    EVT_TIMER(kRunningTimer, CMonitorDlg::OnTimer)
    EVT_CLOSE(CMonitorDlg::OnClose)
wxEND_EVENT_TABLE()
    // clang-format on

    CMonitorDlg::CMonitorDlg(const castwatch::ModeTraits& traits, const std::atomic<bool>* running,
                             std::shared_ptr<qvplat::UiDispatcher> ui)
    : wxDialog(nullptr, IDD_MONITOR, kTitle, wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX),
      m_traits(traits), m_running(running), m_timer(this, kRunningTimer), m_ui(std::move(ui)),
      m_self(std::make_shared<CMonitorDlg*>(this))
{
    m_setupButton = new wxButton(this, IDC_SETUP, "Setup...");
    m_aboutButton = new wxButton(this, IDC_ABOUT, "About...");
    m_selected =
        new wxTextCtrl(this, IDC_SELECTED, "", wxDefaultPosition, wxDefaultSize, wxTE_READONLY);
    m_programs = new wxListBox(this, IDC_PROGRAMS);
    m_sdp = new wxTextCtrl(this, IDC_SDP, "", wxDefaultPosition, wxDefaultSize,
                           wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL);
    SetClientSize(ConvertDialogToPixels(wxSize(363, 179)));
    SetMinSize(wxSize(400, 200));

    wxIconBundle icons;
    icons.AddIcon(ProgramIcon(wxSize(32, 32)));
    icons.AddIcon(ProgramIcon(wxSize(16, 16)));
    SetIcons(icons);

    if (m_traits.tray) {
        // The tray monitor lives in the tray, hidden.
        m_tray = std::make_unique<CTrayIcon>(*this);
        m_tray->SetIcon(ProgramIcon(wxSize(16, 16)), kTitle);
    } else if (m_traits.aboutAtStart) {
        CallAfter([this] {
            wxCommandEvent click(wxEVT_BUTTON, IDC_ABOUT);
            ProcessWindowEvent(click);
        });
    }

    // Lists come from the directory's thread with its lock held: they are
    // only posted here, never waited for.
    m_monitor = std::make_unique<castwatch::Monitor>(
        m_traits.writesFile, [ui = m_ui, self = m_self](castwatch::ProgramList list) {
            if (ui) {
                ui->Post([self, list = std::move(list)] {
                    if (*self != nullptr) {
                        (*self)->ShowPrograms(list);
                    }
                });
            }
        });
    m_monitor->Start();
    PlaceControls();
    m_timer.Start(kRunningTimerMs);
}

CMonitorDlg::~CMonitorDlg()
{
    m_timer.Stop();
    if (m_tray) {
        m_tray->RemoveIcon();
        m_tray.reset();
    }
    // Stops the directory (no list is posted after this) and empties the
    // output file; lists still queued find the dialog gone.
    m_monitor->Shutdown();
    *m_self = nullptr;
    m_rows.clear();
    m_programs->Clear();
}

void CMonitorDlg::PlaceControls()
{
    const wxSize client = GetClientSize();
    const int buttonHeight = m_setupButton->GetBestSize().y;
    m_setupButton->SetSize(10, 8, 70, buttonHeight);
    m_aboutButton->SetSize(86, 8, 70, buttonHeight);
    m_selected->SetSize(162, 8, std::max(client.x - 172, 10), buttonHeight);
    m_programs->SetSize(10, 40, 150, std::max(client.y - 50, 10));
    m_sdp->SetSize(162, 40, std::max(client.x - 172, 10), std::max(client.y - 50, 10));
}

void CMonitorDlg::OnSize(wxSizeEvent& event)
{
    event.Skip();
    if (m_programs != nullptr) {
        PlaceControls();
    }
}

void CMonitorDlg::ShowPrograms(const castwatch::ProgramList& list)
{
    // A list from before the last Setup describes a directory that is gone.
    if (list.generation != m_monitor->Generation()) {
        return;
    }
    m_rows = castwatch::InListOrder(list.programs);
    wxArrayString lines;
    lines.reserve(m_rows.size());
    for (const castwatch::ProgramPtr& program : m_rows) {
        lines.push_back(wxString::FromUTF8(program->line));
    }
    m_programs->Set(lines);
}

void CMonitorDlg::OnProgramsDoubleClick(wxCommandEvent&)
{
    const int selection = m_programs->GetSelection();
    if (selection == wxNOT_FOUND || static_cast<std::size_t>(selection) >= m_rows.size()) {
        return;
    }
    const castwatch::Program& program = *m_rows[static_cast<std::size_t>(selection)];
    // The stored text as the list kept it; GTK shows line feeds as lines.
    m_sdp->SetValue(wxString::FromUTF8(program.sdp));
    m_selected->SetValue(wxString::FromUTF8(program.line));
}

void CMonitorDlg::OnSetup(wxCommandEvent&)
{
    CSetupDlg setup(this, castwatch::SetupModel(m_monitor->Settings()));
    if (setup.ShowModal() != wxID_OK) {
        return;
    }
    m_monitor->ApplySetup(setup.Model());
    m_rows.clear();
    m_programs->Clear();
}

void CMonitorDlg::OnAbout(wxCommandEvent&)
{
    qvplat::ShowAboutBox(this, kAboutTitle, kAboutText, ProgramIcon(wxSize(32, 32)));
}

void CMonitorDlg::AskToExit()
{
    if (qvplat::MessageBox(kExitQuestion, kTitle,
                           qvplat::MB_OKCANCEL | qvplat::MB_ICONQUESTION |
                               qvplat::MB_SYSTEMMODAL) == qvplat::IDOK) {
        Close(true);
    }
}

void CMonitorDlg::OnTimer(wxTimerEvent&)
{
    if (m_running == nullptr || m_running->load()) {
        return;
    }
    // A modal box of ours (About, Setup) ends first; its loop must unwind
    // before the dialog goes, so the close waits for the next tick.
    bool modal = false;
    for (wxWindow* window : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        if (dialog != nullptr && dialog != this && dialog->IsModal()) {
            dialog->EndModal(wxID_CANCEL);
            modal = true;
        }
    }
    if (!modal) {
        m_timer.Stop();
        Close(true);
    }
}

void CMonitorDlg::OnClose(wxCloseEvent&)
{
    Destroy();
    // The monitor ends with its dialog, whatever other windows remain.
    wxTheApp->ExitMainLoop();
}
