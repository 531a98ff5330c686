#pragma once
// The stream controller: one object through which a host window plays a
// live multicast stream or a local file.
//
// Use, all on the host's user-interface thread:
//
//   QvWxWnd frame(myFrameWindow);                    // playback/wx/qvwxwnd.h
//   auto* controller = new QvAMovController;
//   controller->Initialize(rect, &frame, &settings, &hostQueue);
//   controller->Play();                              // Pause, Stop, volume, ...
//   every 500 ms: hostQueue.DispatchMessages(&myStreamMessageHandler);
//                 controller->Periodic();
//   delete controller;
//
// Initialize makes the controller's own window (the display window) as a
// child of the parent at `rect`; the video shows inside it, fitted to its
// client area less BorderWidth. The host moves it with MoveWindow. Mouse and
// keyboard input over the video goes to the frame window (the parent, or
// the one given to SetFrame). SetDisplayMode(1) shows the video full
// screen, SetDisplayMode(0) puts it back.
//
// Settings read by Initialize: "Filename" (file playback) or "Port"/"SDP"
// (live playback; with both a file name wins), "Repeat", "NotifyOnEndData",
// "BorderWidth", "ShowLine1", "KeepAspectRatio"; when a graph is made:
// "VideoSink" and "AudioSink" (GStreamer element descriptions, by default
// ximagesink and autoaudiosink; fakesink/fakeaudiosink without a display or
// sound); a host that takes settings from pages or files gives these two
// only from its user's own settings. The live control's listener and
// receiver read their own keys.
//
// Progress comes back as QvStreamMessage objects on the host's queue (see
// qvstreammsg.h for the numbers).

#include "core/settings/qvproplist.h"
#include "core/threads/qvmessage.h"
#include "core/threads/qvobject.h"
#include "playback/qvamovdata.h"
#include "playback/qvplaybackexport.h"
#include "playback/qvstreamctl.h"
#include "playback/qvwnd.h"

#include <memory>

// The host-facing controller: its window and the operations a host calls,
// with defaults for a controller that plays nothing.
class QV_PLAYBACK_API QvStreamController2 : public QvObject, protected QvDisplayEvents
{
public:
    QvStreamController2() = default;
    QvStreamController2(const QvStreamController2&) = delete;
    QvStreamController2& operator=(const QvStreamController2&) = delete;
    // Destroys the window.
    ~QvStreamController2() override;

    virtual int Play();
    virtual int Pause();
    virtual int Stop();
    virtual void SetPosition(double position);
    virtual double GetPosition();
    virtual double GetLength();
    virtual void SetVolume(int volume);
    virtual int GetVolume();
    virtual int GetStreamState();
    virtual void SetFrame(QvWnd* frame);
    virtual void SetDisplayMode(int mode);
    virtual void NewWindow();
    virtual void Periodic();
    // Makes the window, a visible child of `parent` at `rect`. False when
    // the window cannot be made (nothing is initialised then) or the
    // controller was initialised already.
    virtual bool Initialize(const QvRect& rect, QvWnd* parent, QvPropertyList* list,
                            QvMessageQueue* queue);
    using QvObject::Initialize;
    virtual void PostCreate();

    // Destroys the window (when there is one) and clears the initialised flag.
    void UnInitialize() override;

    // The window, null before Initialize and after it is destroyed.
    QvDisplayWnd* GetDisplayWindow() const { return m_window; }
    void MoveWindow(const QvRect& rect);

protected:
    void OnDisplaySize(const QvRect& client) override;
    void OnDisplayDestroy() override;
    void OnVideoExpose() override;

    QvRect m_rect;
    QvWnd* m_parent = nullptr;
    bool m_created = false;
    QvDisplayWnd* m_window = nullptr;
};

class QV_PLAYBACK_API QvAMovController : public QvStreamController2,
                                         public QvAMovData,
                                         public QvIntMessage
{
public:
    // Graphs and sources from QvMediaServices::Default().
    QvAMovController();
    explicit QvAMovController(std::shared_ptr<QvMediaServices> mediaServices);
    // Uninitialises (stopping and deleting the stream control).
    ~QvAMovController() override;

    int Play() override;
    int Pause() override;
    int Stop() override;
    void SetPosition(double position) override;
    double GetPosition() override;
    double GetLength() override;
    void SetVolume(int volume) override;
    int GetVolume() override;
    int GetStreamState() override;
    void SetFrame(QvWnd* frame) override;
    void SetDisplayMode(int mode) override;
    void NewWindow() override;
    // The stream control's Periodic, then the workers' int messages.
    void Periodic() override;
    bool Initialize(const QvRect& rect, QvWnd* parent, QvPropertyList* list,
                    QvMessageQueue* queue) override;
    using QvStreamController2::Initialize;

    // Stops and deletes the stream control, after the base's part.
    void UnInitialize() override;
    // "IStreamControl": the stream control (null when there is none).
    QvObject* GetQvInterface(const char* name) override;

    // The int-message hooks, forwarded to the stream control.
    void OnStreamReady(unsigned long value) override;
    void OnStartThreshold(unsigned long value) override;
    void OnDataTimeout(unsigned long value) override;
    void OnPlayStart(unsigned long value) override;

    // The queue the workers post into (the data block points at it).
    QvMessageQueue& GetIntMessageQueue() { return m_intQueue; }

protected:
    void OnDisplaySize(const QvRect& client) override;
    void OnDisplayDestroy() override;
    void OnVideoExpose() override;

private:
    void DeleteStreamControl();

    std::shared_ptr<QvMediaServices> m_services;
    QvMessageQueue m_intQueue;
    QvPropertyList m_settings;
};

// Makes the stream controls by name ("IFileAMovStreamControl",
// "ILiveAMovStreamControl", exactly); other names go to the core's factory.
class QV_PLAYBACK_API QvObjectFactoryEx : public QvObjectFactory
{
public:
    QvObjectFactoryEx() = default;
    ~QvObjectFactoryEx() override;
    QvObject* CreateObject(const char* name, QvPropertyList* props) override;
};
