#pragma once
// The player control without its windows: configuration, the start-up
// sequence, the automation methods, the watch timer and the window-mode
// cycle. The control's window code runs what the model decides (timers,
// frames, message boxes).

#include "player/model/playercontext.h"

#include <functional>
#include <memory>
#include <string>

namespace player {

class ControlModel : public QvPlayerContext
{
public:
    // Makes the stream controller; null when it cannot.
    using ControllerFactory = std::function<std::unique_ptr<StreamController>()>;

    explicit ControlModel(const ControllerFactory& makeController);
    // Deletes the controller, empties a kept SAP output file, and writes
    // "Control destructed" to the debug log.
    ~ControlModel() override;

    // False when the controller could not be made (the control then says
    // "Failed to create a StreamController.").
    bool HasController() const { return m_controller != nullptr; }

    // ---- Automation ----------------------------------------------------------------
    const std::string& GetProfile() const { return profilePath; }
    // Stores the path; the caller re-runs the start-up sequence.
    void SetProfile(const std::string& path) { profilePath = path; }
    // Always "".
    std::string GetPropList() const { return {}; }
    // Adds the entries of the text form to the properties; the persisted
    // PropList text stays as it is.
    void SetPropList(const std::string& text);
    int AddProp(const std::string& name, const std::string& value);
    // "" also for a name that is not defined.
    std::string FindProp(const std::string& name) const;
    int ClearProp(const std::string& name);
    // Clears the properties and reads section "QV" of "QvCtl.ini" in the
    // Windows directory; 0.
    int ClearProps();
    // Forwarded to the controller; without one: nothing, -1, nothing,
    // -1.0, -1.0, 0.
    void SetVolume(int volume);
    int GetVolume();
    void SetPosition(double position);
    double GetPosition();
    double GetLength();
    int GetStreamState();

    // ---- Start-up --------------------------------------------------------------------
    struct Startup
    {
        bool watchTimer = false; // start the watch timer (60000 ms)
        bool popup = false;      // open a top-level frame, else an embedded one
        bool autoStart = false;  // play once the frame exists
    };
    // Runs the start-up sequence up to the frame: masks, "QvCtl.ini", the
    // debug log, the watch timer's limit, the profile, PropList, the SAP
    // directory and its output file, the toolbar flag; says what the
    // window code does next.
    Startup RunStartup();
    bool StartupDone() const { return m_startupDone; }

    // Timer 105, once a minute: every `limit` minutes a timed "Watch Timer"
    // line goes to the debug log.
    void WatchTick();
    int WatchLimit() const { return m_watchLimit; }

    // ---- Window modes ----------------------------------------------------------------
    enum class WindowChange { Popup, Maximize, Embed };
    // A double click: embedded → popup; popup → maximized with full-screen
    // video (mode 2 is set here); full screen → embedded (the video comes
    // back when the embedded frame is entered). The caller opens the frame
    // or maximizes it.
    WindowChange NextWindowMode();
    // A frame was made for this mode (0 embedded, 1 popup). Full-screen
    // video ends first when the player was in mode 2.
    void EnterWindowMode(int mode);

    // The control's window goes: the directory stops.
    void StopDirectory();

    CPlayerSapDb& Directory() { return m_directory; }

private:
    std::unique_ptr<StreamController> m_controller;
    CPlayerSapDb m_directory;
    // The settings the directory starts with; read only during its Start.
    QvPropertyList m_directorySettings;
    bool m_startupDone = false;
    int m_watchMinutes = 0;
    int m_watchLimit = 5;
};

} // namespace player
