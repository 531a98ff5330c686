#pragma once
// What castdeck_uitest's "transmit" runs: castdeck as a user starts it with
// a file, pressing "Start Transmission" on the panel's own settings (Rewind
// and SAP checked, the proposed address and port, the preselected packet
// format, or the one given) once the file is analysed; it transmits until the process gets
// SIGTERM or SIGINT and then closes the main frame, answering its question
// with Yes.

#include <wx/event.h>
#include <wx/timer.h>

#include <string>

class CQvTidewellApp;
class ScriptedBoxes;

class CTransmitDriver : public wxEvtHandler
{
public:
    // packetFormat: an entry of the panel's Packet Format list to choose
    // first; "" keeps the preselected one.
    CTransmitDriver(CQvTidewellApp& app, ScriptedBoxes& boxes, std::string packetFormat);
    ~CTransmitDriver() override;

    void Begin();
    // The exit code once the main loop has ended: 0 when the transmission
    // started and ran until it was ended.
    int Finish() const;

private:
    void OnTick(wxTimerEvent& event);

    CQvTidewellApp& m_app;
    ScriptedBoxes& m_boxes;
    std::string m_packetFormat;
    wxTimer m_timer;
    int m_elapsedMs = 0;
    bool m_started = false;
    bool m_failed = false;
};
