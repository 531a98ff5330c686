#include "lists/common/listpanel.h"

#include <wx/sizer.h>

namespace qvlists {

class CListPanel::CVirtualList final : public wxListCtrl
{
public:
    CVirtualList(wxWindow* parent, wxWindowID id, long style, TextFn text)
        : wxListCtrl(parent, id, wxDefaultPosition, wxDefaultSize, style), m_text(std::move(text))
    {
    }

private:
    wxString OnGetItemText(long item, long column) const override
    {
        return wxString::FromUTF8(m_text(item, column));
    }

    TextFn m_text;
};

CListPanel::CListPanel(wxWindow* parent, wxWindowID id, const wxRect& rect, long style,
                       const ListStyle& listStyle, std::span<const ListColumn> columns, TextFn text,
                       RowFn activated)
    : wxPanel(parent, id, rect.GetPosition(), rect.GetSize(), style | wxBORDER_NONE),
      m_timers([this](int) { m_tick(); })
{
    long listFlags = wxLC_REPORT | wxLC_VIRTUAL | wxBORDER_THEME;
    if (listStyle.singleSelection) {
        listFlags |= wxLC_SINGLE_SEL;
    }
    if (!listStyle.clickableHeader) {
        listFlags |= wxLC_NO_SORT_HEADER;
    }
    m_list = new CVirtualList(this, listStyle.listId, listFlags, std::move(text));
    m_list->SetFont(wxFont(
        wxFontInfo(listStyle.pointSize).Family(wxFONTFAMILY_SWISS).FaceName("MS Sans Serif")));
    long index = 0;
    for (const ListColumn& column : columns) {
        m_list->InsertColumn(index++, column.title, wxLIST_FORMAT_LEFT, column.width);
    }
    m_list->Bind(wxEVT_LIST_ITEM_ACTIVATED, [activated = std::move(activated)](wxListEvent& event) {
        if (event.GetIndex() >= 0) {
            activated(event.GetIndex());
        }
    });
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_list, 1, wxEXPAND);
    SetSizer(sizer);
}

CListPanel::~CListPanel()
{
    StopTimer();
}

void CListPanel::Reload(long rows, long selected)
{
    const long previous = Selected();
    if (previous >= 0 && previous != selected) {
        m_list->SetItemState(previous, 0, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
    }
    m_list->SetItemCount(rows);
    if (selected >= 0 && selected < rows) {
        m_list->SetItemState(selected, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                             wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
    }
    // The list lays its rows out when idle; a new list is laid out and
    // drawn now.
    m_list->Refresh();
    m_list->Update();
}

long CListPanel::Selected() const
{
    return m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
}

void CListPanel::StartTimer(int id, int periodMs, std::function<void()> tick)
{
    m_timers.KillAll();
    m_tick = std::move(tick);
    m_timers.Start(id, periodMs);
}

void CListPanel::StopTimer()
{
    m_timers.KillAll();
}

} // namespace qvlists
