#pragma once
// The data block that the stream controller shares with its stream control,
// and the services through which the controls make their graphs.

#include "core/threads/qvobject.h"
#include "playback/qvplaybackexport.h"
#include "playback/qvwnd.h"

#include "platform/com/unknown.h"
#include "platform/media/mediagraph.h"

#include <memory>
#include <string>

class QvIStreamControl;
class QvMessageQueue;
class QvPropertyList;
class QvUdpDataCollector;

// How the stream controls make graphs and the sources they read. The
// default makes GStreamer graphs and creates source filters through the
// component layer by class id; tests and special hosts give their own.
class QV_PLAYBACK_API QvMediaServices
{
public:
    QvMediaServices() = default;
    QvMediaServices(const QvMediaServices&) = delete;
    QvMediaServices& operator=(const QvMediaServices&) = delete;
    virtual ~QvMediaServices();

    // An empty graph rendering to these sinks; null when none can be made.
    virtual std::unique_ptr<qvplat::MediaGraph> CreateGraph(const qvplat::MediaSinks& sinks);

    // The multicast source filter, made by its class id, with `receiver`
    // and a copy of `settings` handed over to it; the receiver reads the
    // copy from then on. Returns the element the graph reads, with the
    // filter (which owns the element) in `filter`; on failure null, and
    // `failure` names the step that failed (the log line).
    virtual GstElement* CreateLiveSource(QvUdpDataCollector& receiver,
                                         const QvPropertyList& settings,
                                         qvplat::ComPtr<qvplat::IUnknown>& filter,
                                         std::string& failure);

    // A file whose extension has a source filter registered for it (the
    // "Source Filter" value of "Media Type\Extensions\.<ext>" in the
    // classes root): that filter, loaded with the file, and its element.
    // S_FALSE when the extension has none (the graph opens the file
    // itself); a failure when it has one that cannot be made or loaded.
    virtual qvplat::HRESULT OpenFileSource(const std::string& path,
                                           qvplat::ComPtr<qvplat::IUnknown>& filter,
                                           GstElement*& element);

    // The services every controller uses unless given others.
    static std::shared_ptr<QvMediaServices> Default();
};

class QV_PLAYBACK_API QvAMovData : public QvData
{
public:
    // Playback modes.
    static constexpr int kModeNone = 0;
    static constexpr int kModeFile = 1;
    static constexpr int kModeLive = 2;

    QvAMovData() = default;
    QvAMovData(const QvAMovData&) = default;
    QvAMovData& operator=(const QvAMovData&) = default;
    ~QvAMovData() override;

    // The graph; null when none exists (every "is there a graph" test reads
    // this field). Owned by the stream control.
    qvplat::MediaGraph* graph = nullptr;
    // The controller's own window: the video is placed in its client area.
    QvDisplayWnd* displayWindow = nullptr;
    // The host window given to Initialize and SetFrame: receives the video
    // window's mouse and keyboard input.
    QvWnd* frameWindow = nullptr;
    // The controller's own copy of the host's settings.
    QvPropertyList* propertyList = nullptr;
    // The host's queue for stream messages; null: none are posted.
    QvMessageQueue* streamMessageQueue = nullptr;
    QvIStreamControl* streamControl = nullptr;
    // The live graph's source filter (a reference held by the stream control).
    qvplat::IUnknown* sourceFilter = nullptr;
    int mode = kModeNone;
    // The controller's queue for the int messages of the network workers.
    QvMessageQueue* intMessageQueue = nullptr;
    // How graphs and sources are made; set by the controller.
    QvMediaServices* services = nullptr;

    // Options, read from the settings of the same names.
    bool repeat = true;           // "Repeat": restart a file when it ends
    bool notifyOnEndData = false; // "NotifyOnEndData": post 36 when live data stops
    int borderWidth = 5;          // "BorderWidth": inset of the video in pixels
    bool showLine1 = false;       // "ShowLine1": false cuts the picture's first line
                                  // (only while the aspect ratio is kept)
    bool keepAspectRatio = true;  // "KeepAspectRatio": fit the video to its aspect ratio
};
