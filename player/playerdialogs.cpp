#include "player/playerdialogs.h"

#include "player/model/playercontext.h"
#include "player/model/playerids.h"
#include "player/playerres.h"
#include "player/playerui.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/stattext.h>

namespace player {

namespace {

// A dialog without caption: a raised border only.
constexpr long kBareDialog = wxBORDER_RAISED;

VolumeModel::Scroll ScrollKind(const wxEventType type)
{
    if (type == wxEVT_SCROLL_THUMBTRACK) {
        return VolumeModel::Scroll::ThumbTrack;
    }
    if (type == wxEVT_SCROLL_PAGEUP) {
        return VolumeModel::Scroll::PageUp;
    }
    if (type == wxEVT_SCROLL_PAGEDOWN) {
        return VolumeModel::Scroll::PageDown;
    }
    return VolumeModel::Scroll::Other;
}

wxSlider* VerticalTrack(wxWindow* parent, int id, long more = 0)
{
    auto* track = new wxSlider(parent, id, 0, VolumeModel::kMinimum, VolumeModel::kMaximum,
                               wxDefaultPosition, parent->ConvertDialogToPixels(wxSize(-1, 70)),
                               wxSL_VERTICAL | more);
    track->SetLineSize(1);
    track->SetPageSize(VolumeModel::kPage);
    return track;
}

} // namespace

// ---- Volume ----------------------------------------------------------------------------

CVolumeDlg::CVolumeDlg(wxWindow* parent, QvPlayerContext* context)
    : wxDialog(parent, IDD_VOLUMEDLG, "", wxDefaultPosition, wxDefaultSize, kBareDialog),
      m_model(context)
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    m_track = VerticalTrack(this, IDC_VOLUME, wxSL_AUTOTICKS);
    m_track->SetTickFreq(10);
    sizer->Add(m_track, 1, wxALIGN_CENTER | wxTOP, 6);
    sizer->Add(new wxStaticText(this, wxID_ANY, "Volume"), 0, wxALIGN_CENTER | wxALL, 2);
    m_mute = new wxCheckBox(this, IDC_MUTE, "Mute");
    sizer->Add(m_mute, 0, wxALIGN_CENTER | wxALL, 4);
    SetSizerAndFit(sizer);

    const VolumeModel::Setup setup = m_model.OnInit();
    m_mute->SetValue(setup.muted);
    m_track->Enable(setup.trackEnabled);
    if (setup.position >= 0) {
        m_track->SetValue(setup.position);
    }
    for (const wxEventTypeTag<wxScrollEvent>& type :
         {wxEVT_SCROLL_THUMBTRACK, wxEVT_SCROLL_PAGEUP, wxEVT_SCROLL_PAGEDOWN, wxEVT_SCROLL_LINEUP,
          wxEVT_SCROLL_LINEDOWN, wxEVT_SCROLL_TOP, wxEVT_SCROLL_BOTTOM,
          wxEVT_SCROLL_THUMBRELEASE, wxEVT_SCROLL_CHANGED}) {
        m_track->Bind(type, &CVolumeDlg::OnScroll, this);
    }
    m_mute->Bind(wxEVT_CHECKBOX, &CVolumeDlg::OnMute, this);
}

void CVolumeDlg::OnScroll(wxScrollEvent& event)
{
    const int position = m_model.OnScroll(ScrollKind(event.GetEventType()), event.GetPosition());
    if (position >= 0) {
        m_track->SetValue(position);
    }
}

void CVolumeDlg::OnMute(wxCommandEvent& event)
{
    m_track->Enable(m_model.OnMute(event.IsChecked()));
}

// ---- Colour ----------------------------------------------------------------------------

CColorDlg::CColorDlg(wxWindow* parent)
    : wxDialog(parent, IDD_COLORDLG, "", wxDefaultPosition, wxDefaultSize, kBareDialog)
{
    auto* sizer = new wxBoxSizer(wxHORIZONTAL);
    const struct
    {
        int id;
        const char* label;
    } tracks[] = {{IDC_CONTRAST, "Contrast"}, {IDC_BRIGHTNESS, "Brightness"}, {IDC_COLOR, "Color"}};
    for (const auto& track : tracks) {
        auto* column = new wxBoxSizer(wxVERTICAL);
        column->Add(VerticalTrack(this, track.id), 1, wxALIGN_CENTER | wxTOP, 6);
        column->Add(new wxStaticText(this, wxID_ANY, track.label), 0, wxALIGN_CENTER | wxALL, 4);
        sizer->Add(column, 1, wxEXPAND);
    }
    SetSizerAndFit(sizer);
}

// ---- Channels --------------------------------------------------------------------------

CChannelDlg::CChannelDlg(wxWindow* frame, QvPlayerContext* context)
    : wxDialog(frame, IDD_CHANNELDLG, "Channel Selection", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_context(context), m_frame(frame), m_timer(this, kRefreshTimer)
{
    const wxSize size = ConvertDialogToPixels(wxSize(212, 98));
    const int gap = ConvertDialogToPixels(wxSize(7, 0)).x;
    auto* sizer = new wxBoxSizer(wxHORIZONTAL);
    m_list = new wxListBox(this, IDC_CHANNELS, wxDefaultPosition, wxDefaultSize, 0, nullptr,
                           wxLB_SINGLE | wxLB_HSCROLL | wxLB_ALWAYS_SB);
    sizer->Add(m_list, 1, wxEXPAND | wxALL, gap);
    auto* buttons = new wxBoxSizer(wxVERTICAL);
    m_select = new wxButton(this, IDC_SELECT, "Select");
    m_select->SetDefault();
    buttons->Add(m_select, 0, wxBOTTOM, gap / 2);
    buttons->Add(new wxButton(this, IDC_CANCEL, "Cancel"));
    sizer->Add(buttons, 0, wxTOP | wxRIGHT | wxBOTTOM, gap);
    SetSizer(sizer);
    SetClientSize(size);
    SetAffirmativeId(IDC_SELECT);
    SetEscapeId(IDC_CANCEL);

    m_select->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Choose(); });
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Destroy(); }, IDC_CANCEL);
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Destroy(); });
    m_list->Bind(wxEVT_LISTBOX_DCLICK, [this](wxCommandEvent&) { Choose(); });
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Fill(); }, kRefreshTimer);

    Fill();
    m_timer.Start(kRefreshMs);
}

CChannelDlg::~CChannelDlg()
{
    m_timer.Stop();
}

void CChannelDlg::Fill()
{
    if (m_context == nullptr || m_context->directory == nullptr) {
        m_select->Enable(false);
        return;
    }
    std::vector<ChannelRow> rows = ReadChannelRows(*m_context->directory);
    if (rows != m_rows) {
        const int selected = m_list->GetSelection();
        const ChannelRow kept =
            selected != wxNOT_FOUND ? m_rows[static_cast<std::size_t>(selected)] : ChannelRow{};
        m_rows = std::move(rows);
        wxArrayString texts;
        for (const ChannelRow& row : m_rows) {
            texts.Add(wxString::FromUTF8(row.text));
        }
        m_list->Set(texts);
        for (std::size_t i = 0; selected != wxNOT_FOUND && i < m_rows.size(); ++i) {
            if (m_rows[i] == kept) {
                m_list->SetSelection(static_cast<int>(i));
                break;
            }
        }
    }
    m_select->Enable(!m_rows.empty());
}

void CChannelDlg::Choose()
{
    if (m_context != nullptr) {
        const int selected = m_list->GetSelection();
        ChooseChannel(m_context->properties, selected != wxNOT_FOUND
                                                 ? &m_rows[static_cast<std::size_t>(selected)].sdp
                                                 : nullptr);
    }
    PostCommand(m_frame, ID_RESTART);
    Destroy();
}

} // namespace player
