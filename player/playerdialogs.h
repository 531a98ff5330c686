#pragma once
// The frame's modeless dialogs: volume, colour and channel selection. The
// frame creates them with itself as parent and closes them; each destroys
// itself when done.

#include "player/model/channelrows.h"
#include "player/model/volumemodel.h"

#include <wx/dialog.h>
#include <wx/timer.h>

#include <vector>

class wxCheckBox;
class wxListBox;
class wxSlider;
class wxButton;
class QvPlayerContext;

namespace player {

class CVolumeDlg : public wxDialog
{
public:
    CVolumeDlg(wxWindow* parent, QvPlayerContext* context);

private:
    void OnScroll(wxScrollEvent& event);
    void OnMute(wxCommandEvent& event);

    VolumeModel m_model;
    wxSlider* m_track = nullptr;
    wxCheckBox* m_mute = nullptr;
};

// Three trackbars that change nothing.
class CColorDlg : public wxDialog
{
public:
    explicit CColorDlg(wxWindow* parent);
};

class CChannelDlg : public wxDialog
{
public:
    static constexpr int kRefreshTimer = 1;
    static constexpr int kRefreshMs = 2000;

    CChannelDlg(wxWindow* frame, QvPlayerContext* context);
    ~CChannelDlg() override;

private:
    // Reads the directory again; the list changes only when the rows did,
    // and a selected row stays selected while it is listed.
    void Fill();
    // Select, or a double click: the row's SDP text becomes the player's
    // stream and the frame restarts.
    void Choose();

    QvPlayerContext* m_context;
    wxWindow* m_frame;
    wxListBox* m_list = nullptr;
    wxButton* m_select = nullptr;
    wxTimer m_timer;
    std::vector<ChannelRow> m_rows;
};

} // namespace player
