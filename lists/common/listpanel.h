#pragma once
// The window of the list controls: a panel that a report list fills, whose
// rows the control's model gives on demand (a virtual list, so showing a new
// list costs nothing per row), with the control's columns, font size and
// timer.

#include "platform/ui/wx/wxtimerset.h"

#include <wx/listctrl.h>
#include <wx/panel.h>

#include <functional>
#include <span>
#include <string>

namespace qvlists {

struct ListColumn
{
    const char* title;
    int width; // pixels
};

struct ListStyle
{
    wxWindowID listId = wxID_ANY;
    // Of the list's font, "MS Sans Serif" where it exists and the system's
    // sans serif in its place.
    int pointSize = 8;
    bool singleSelection = true;
    bool clickableHeader = false;
};

class CListPanel : public wxPanel
{
public:
    using TextFn = std::function<std::string(long row, long column)>;
    using RowFn = std::function<void(long row)>;

    // text gives the cell texts; activated is called for a double click
    // (or Enter) on a row.
    CListPanel(wxWindow* parent, wxWindowID id, const wxRect& rect, long style,
               const ListStyle& listStyle, std::span<const ListColumn> columns, TextFn text,
               RowFn activated);
    ~CListPanel() override;

    // Shows `rows` rows and selects `selected` (nothing for -1).
    void Reload(long rows, long selected);
    // The first selected row, or -1.
    long Selected() const;

    // Calls tick every periodMs until StopTimer or the panel's end.
    void StartTimer(int id, int periodMs, std::function<void()> tick);
    void StopTimer();

private:
    class CVirtualList;

    CVirtualList* m_list = nullptr;
    std::function<void()> m_tick;
    qvplat::WxTimerSet m_timers;
};

} // namespace qvlists
