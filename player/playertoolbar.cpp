#include "player/playertoolbar.h"

#include "player/model/playerids.h"
#include "player/playerres.h"

#include <wx/bmpbuttn.h>
#include <wx/dcmemory.h>
#include <wx/sizer.h>

#include <string>

namespace player {

namespace {

constexpr int kButtonWidth = 18;
constexpr int kButtonHeight = 16;

struct ButtonInfo
{
    int command;
    const char* tooltip;    // the text after the line feed of the string
    const char* statusText; // the text before it
};

// Only these buttons have tooltips.
constexpr ButtonInfo kTooltips[] = {
    {ID_PLAY, "Play", "Play Stream"},
    {ID_PAUSE, "Pause", "Pause Stream"},
    {ID_STOP, "Stop", "Stop Stream"},
    {ID_POPUP, "Popup", "Popup Window"},
    {ID_EMBED, "Embed", "Embedded Window"},
};

// One button's picture.
wxBitmap DrawButton(int command)
{
    wxBitmap bitmap(kButtonWidth, kButtonHeight, 24);
    wxMemoryDC dc(bitmap);
    dc.SetBackground(wxBrush(wxColour(0xD4, 0xD0, 0xC8)));
    dc.Clear();
    const wxColour ink(0x20, 0x20, 0x20);
    dc.SetPen(wxPen(ink));
    dc.SetBrush(wxBrush(ink));
    switch (command) {
    case ID_PLAY: {
        const wxPoint triangle[] = {{6, 3}, {13, 8}, {6, 13}};
        dc.DrawPolygon(3, triangle);
        break;
    }
    case ID_PAUSE:
        dc.DrawRectangle(5, 3, 3, 10);
        dc.DrawRectangle(10, 3, 3, 10);
        break;
    case ID_STOP:
        dc.DrawRectangle(5, 4, 8, 8);
        break;
    case ID_COLOR:
        dc.SetBrush(*wxRED_BRUSH);
        dc.DrawRectangle(2, 5, 4, 6);
        dc.SetBrush(*wxGREEN_BRUSH);
        dc.DrawRectangle(7, 5, 4, 6);
        dc.SetBrush(*wxBLUE_BRUSH);
        dc.DrawRectangle(12, 5, 4, 6);
        break;
    case ID_VOLUME: {
        const wxPoint speaker[] = {{3, 6}, {6, 6}, {10, 2}, {10, 14}, {6, 10}, {3, 10}};
        dc.DrawPolygon(6, speaker);
        dc.DrawLine(12, 5, 12, 11);
        dc.DrawLine(14, 3, 14, 13);
        break;
    }
    case ID_SNAPSHOT:
        dc.DrawRectangle(3, 5, 12, 8);
        dc.DrawRectangle(6, 3, 4, 2);
        dc.SetBrush(wxBrush(wxColour(0xD4, 0xD0, 0xC8)));
        dc.DrawCircle(9, 9, 2);
        break;
    case ID_CAPTURE:
        dc.SetBrush(*wxRED_BRUSH);
        dc.DrawCircle(9, 8, 5);
        break;
    case ID_OPENFILE: {
        dc.SetBrush(wxBrush(wxColour(0xE0, 0xB0, 0x40)));
        const wxPoint folder[] = {{2, 4}, {7, 4}, {8, 6}, {15, 6}, {15, 13}, {2, 13}};
        dc.DrawPolygon(6, folder);
        break;
    }
    case ID_CHANNELS:
        for (int y = 4; y <= 12; y += 4) {
            dc.DrawRectangle(3, y, 2, 2);
            dc.DrawLine(7, y, 15, y);
        }
        break;
    case ID_POPUP:
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.DrawRectangle(2, 6, 9, 8);
        dc.SetBrush(wxBrush(wxColour(0x30, 0x50, 0xA0)));
        dc.DrawRectangle(7, 2, 9, 7);
        break;
    case ID_EMBED:
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.DrawRectangle(2, 2, 14, 12);
        dc.SetBrush(wxBrush(wxColour(0x30, 0x50, 0xA0)));
        dc.DrawRectangle(5, 5, 8, 6);
        break;
    case ID_ABOUT:
        dc.SetFont(wxFontInfo(9).Bold());
        dc.SetTextForeground(ink);
        dc.DrawText("?", 6, 0);
        break;
    default: // the two buttons without a handler
        dc.DrawCircle(5, 8, 1);
        dc.DrawCircle(9, 8, 1);
        dc.DrawCircle(13, 8, 1);
        break;
    }
    dc.SelectObject(wxNullBitmap);
    return bitmap;
}

} // namespace

CPlayerToolBar::CPlayerToolBar() = default;

bool CPlayerToolBar::Create(wxWindow* parent)
{
    if (!wxPanel::Create(parent, IDR_TOOLBAR, wxDefaultPosition,
                         wxSize(-1, kToolbarHeight), wxBORDER_NONE | wxTAB_TRAVERSAL,
                         "ToolBar")) {
        return false;
    }
    m_sizer = new wxBoxSizer(wxHORIZONTAL);
    for (const int command : kToolbarLayout) {
        if (command == 0) {
            m_sizer->AddSpacer(8);
            continue;
        }
        // Window ids stop below the command numbers: the button is named
        // after its command instead.
        auto* button =
            new wxBitmapButton(this, wxID_ANY, DrawButton(command), wxDefaultPosition,
                               wxDefaultSize, wxBU_EXACTFIT | wxBORDER_NONE, wxDefaultValidator,
                               std::to_string(command));
        button->Bind(wxEVT_BUTTON, [this, command](wxCommandEvent&) {
            wxCommandEvent run(wxEVT_MENU, command);
            run.SetEventObject(this);
            GetParent()->GetEventHandler()->ProcessEvent(run);
        });
        for (const ButtonInfo& info : kTooltips) {
            if (info.command == command) {
                button->SetToolTip(info.tooltip);
                button->SetHelpText(info.statusText);
            }
        }
        m_buttons[command] = button;
        m_sizer->Add(button, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 1);
    }
    SetSizer(m_sizer);
    return true;
}

void CPlayerToolBar::ShowButton(int command, bool show)
{
    const auto found = m_buttons.find(command);
    if (found != m_buttons.end() && found->second->IsShown() != show) {
        found->second->Show(show);
        Layout();
    }
}

void CPlayerToolBar::EnableButton(int command, bool enable)
{
    const auto found = m_buttons.find(command);
    if (found != m_buttons.end()) {
        found->second->Enable(enable);
    }
}

wxRect CPlayerToolBar::ButtonScreenRect(int command) const
{
    const auto found = m_buttons.find(command);
    return found != m_buttons.end() ? found->second->GetScreenRect() : wxRect();
}

} // namespace player
