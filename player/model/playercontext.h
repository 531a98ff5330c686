#pragma once
// The player's shared state, held by the control and reached by its frame
// window and dialogs through a pointer, and the player's SAP directory.
//
// Everything here is used on the user-interface thread, except the SAP
// output file's name and switch: the directory reads them on its scan
// thread (OnChange, its lock held), so they are set and read only under the
// directory's lock.

#include "player/model/streamcontroller.h"
#include "player/model/toolbarmasks.h"

#include "core/sap/qvsapdb.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvmessage.h"

#include <memory>
#include <string>

class CMainFrame;
class QvPlayerContext;

// The player's directory of announced programs. On every change it writes
// the SDP texts of all entries, back to back in directory order, to the SAP
// output file, when the player keeps one.
class CPlayerSapDb : public QvSapDb
{
public:
    // Listening on its own threads.
    explicit CPlayerSapDb(QvPlayerContext& context);
    ~CPlayerSapDb() override;

    // On the scan thread, the directory lock held.
    void OnChange() override;

    // The entries' SDP texts, back to back; under the lock (it nests).
    std::string ConcatenatedTexts();

private:
    QvPlayerContext& m_context;
};

// The settings whose values become elements of the media graph (element
// descriptions of the sinks). Only the user's own settings file, "QvCtl.ini"
// in the Windows directory, gives them: what a page's attributes, a profile,
// PropList, AddProp or a dropped file says under these names, in any case
// and with any blanks around them, never reaches the stream controller.
inline constexpr const char* kGraphElementSettings[] = {"VideoSink", "AudioSink"};

class QvPlayerContext
{
public:
    QvPlayerContext();
    virtual ~QvPlayerContext();
    QvPlayerContext(const QvPlayerContext&) = delete;
    QvPlayerContext& operator=(const QvPlayerContext&) = delete;

    // The SAP output file (a Windows-style name, mapped when written) and
    // whether it is kept, taken together under the directory lock.
    void SetSapOutput(const UtCString& file, bool use);
    UtCString GetSapOutputFile();
    // Empties the SAP output file when it is kept; false when it cannot be
    // created (which is ignored by the callers).
    bool TruncateSapOutput();
    // Under the directory lock: the file's name when it is kept, else "".
    std::string SapOutputPathLocked() const;

    // What the stream controller is given: the properties, with the graph's
    // elements (kGraphElementSettings) as "QvCtl.ini" names them, or left to
    // the controller's defaults where it names none.
    QvPropertyList StreamSettings() const;

    CMainFrame* frame = nullptr;                    // the current frame window
    player::StreamController* controller = nullptr; // null when it could not be made
    QvPropertyList properties;
    QvMessageQueue streamMessages;
    CPlayerSapDb* directory = nullptr;
    std::string propListText; // persisted PropList
    std::string profilePath;  // persisted Profile
    int volume = 0;           // 0..100, as last set through the volume dialog
    bool muted = false;
    bool toolbarShown = true;
    int toolbarHeight = 0;
    player::ToolbarMasks masks;
    int windowMode = 0; // 0 embedded, 1 popup, 2 popup with full-screen video
    int playState = 0;  // 0 stopped, 1 paused, 2 playing
    std::string animationName;
    bool animationVisible = false;

    static constexpr int kEmbedded = 0;
    static constexpr int kPopup = 1;
    static constexpr int kFullScreen = 2;
    static constexpr int kStopped = 0;
    static constexpr int kPaused = 1;
    static constexpr int kPlaying = 2;

private:
    friend class CPlayerSapDb;
    // Guarded by the directory lock.
    UtCString m_sapOutputFile;
    bool m_useSapFile = false;
};
