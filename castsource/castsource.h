#pragma once
// The multicast source: an in-process component, "Veltora Multicast Source",
// whose GStreamer source element reads a live stream out of a stream
// receiver (QvUdpDataCollector). This header is what castsource shares with
// the playback library; it needs neither GStreamer's nor wx's headers.
//
// The source is made in one of two ways:
//
//   Hand-over (live playback): create it by class id, take the element,
//   hand the stream object a running receiver and its settings, then put
//   the element into a pipeline:
//
//     ComPtr<IQvFileSourceFilter> source;
//     CoCreateInstance(CLSID_QvMulticastSource, source);
//     ComPtr<IQvSourceElement> element = source.As<IQvSourceElement>();
//     QvHandOverReceiver(*source.Get(), &receiver, settings);
//     gst_bin_add(GST_BIN(pipeline), element->GetElement());  // the bin adds its own ref
//
//   The source never owns that receiver. Before stopping and deleting the
//   receiver, set the pipeline to NULL and point the receiver's property
//   list back at a list of your own (it was pointed at the stream's copy).
//
//   Description file: a stream description (".qsl", any case; an INI file
//   whose section "QV" holds the receiver's settings and "Mux") is opened
//   through the registry: HKEY_CLASSES_ROOT "Media Type\Extensions\.qsl"
//   value "Source Filter" names the class; Load(name) makes the source
//   ready. The first read then creates, configures and starts a receiver of
//   the stream object's own from "QvCtl.ini" in the Windows directory and
//   the description.
//
// The element ("castsource", registered by the library with rank none, so
// never autoplugged) is a byte source that is neither seekable nor live and
// reports no size. Its caps come from the stream's multiplex type (MPEG-1
// system, MPEG-2 transport or program stream); without one they are ANY and
// a typefinder decides. A break in the received stream marks the buffer
// that follows it DISCONT. The stream ends when the receiver stops; on the
// description road also when the data stops (data timeout), while on the
// hand-over road the data timeout is the owner's business (it hears of it
// from the receiver) and the element waits on. An element that is not ready
// refuses to leave READY with an error message.
//
// Both the filter and its element may be kept by different owners: the
// element keeps the stream object alive, so a pipeline may outlive the
// last reference to the filter (the element then refuses to start again).

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"
#include "core/strings/utstring.h"
#include "core/strings/utwidestring.h"

#include "platform/com/unknown.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

typedef struct _GstElement GstElement;
class CTalvexStream;

// The class id of the multicast source.
inline constexpr qvplat::CLSID CLSID_QvMulticastSource =
    qvplat::MakeGuid("{EFD7EA8D-A55B-4D14-8612-3E97DFBB2023}");

// ---- Media types ----------------------------------------------------------------------

// The media type a caller may give with a file name. The format block
// (cbFormat bytes at pbFormat) and pUnk belong to the structure: copies are
// deep (CopyMediaType) and FreeMediaType releases them.
struct AM_MEDIA_TYPE
{
    qvplat::GUID majortype{};
    qvplat::GUID subtype{};
    std::int32_t bFixedSizeSamples = 0;
    std::int32_t bTemporalCompression = 0;
    std::uint32_t lSampleSize = 0;
    qvplat::GUID formattype{};
    qvplat::IUnknown* pUnk = nullptr;
    std::uint32_t cbFormat = 0;
    std::uint8_t* pbFormat = nullptr;
};

// Releases the format block and pUnk and leaves an empty type.
inline void FreeMediaType(AM_MEDIA_TYPE& type)
{
    qvplat::CoTaskMemFree(type.pbFormat);
    if (type.pUnk != nullptr) {
        type.pUnk->Release();
    }
    type = AM_MEDIA_TYPE{};
}

// Makes `target` (whose own blocks are not freed) a deep copy of `source`.
// E_OUTOFMEMORY leaves `target` empty.
inline qvplat::HRESULT CopyMediaType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source)
{
    target = source;
    target.pbFormat = nullptr;
    target.pUnk = nullptr;
    if (source.cbFormat != 0 && source.pbFormat != nullptr) {
        target.pbFormat = static_cast<std::uint8_t*>(qvplat::CoTaskMemAlloc(source.cbFormat));
        if (target.pbFormat == nullptr) {
            target = AM_MEDIA_TYPE{};
            return qvplat::E_OUTOFMEMORY;
        }
        std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
    } else {
        target.cbFormat = 0;
    }
    if (source.pUnk != nullptr) {
        target.pUnk = source.pUnk;
        target.pUnk->AddRef();
    }
    return qvplat::S_OK;
}

// ---- The file-source interface ----------------------------------------------------------

// The filter's file-source interface. QueryInterface, AddRef and Release
// belong to the filter's controlling object (one identity, one count).
class IQvFileSourceFilter : public qvplat::IUnknown
{
public:
    // The customary identifier of the file-source interface.
    static constexpr qvplat::IID Iid = qvplat::MakeGuid("{56A868A6-0AD4-11CE-B03A-0020AF0BA770}");

    // Opens the source by name (widen a narrow path byte by byte, as
    // UtWideString's widen does, and GetFilename gives it back unchanged): a
    // name whose extension is ".qsl" in any case makes it ready; any other name is stored but
    // leaves it not ready. The type is stored (deep copy; null stores an empty one). A second Load
    // gives E_FAIL and keeps the first name; a null name E_POINTER.
    virtual qvplat::HRESULT Load(const char16_t* fileName, const AM_MEDIA_TYPE* type) = 0;
    // The loaded name in memory of CoTaskMemAlloc (the caller frees it) and,
    // when `type` is given, a deep copy of the stored type (FreeMediaType).
    // E_FAIL before Load.
    virtual qvplat::HRESULT GetCurFile(char16_t** fileName, AM_MEDIA_TYPE* type) = 0;

protected:
    ~IQvFileSourceFilter() override = default;

public:
    // The filter's stream object, for the hand-over (QvHandOverReceiver).
    virtual CTalvexStream* GetStream() = 0;

    // The loaded name as narrow text, one byte per wide character (its low
    // byte); "" before Load.
    UtCString GetFilename() const
    {
        std::lock_guard<std::mutex> hold(m_fileLock);
        return m_fileName ? m_fileName->toAscii() : UtCString();
    }
    bool IsSourceReady() const { return m_sourceReady.load(); }
    void SetSourceReady(bool ready) { m_sourceReady.store(ready); }

protected:
    mutable std::mutex m_fileLock; // the name, the loaded flag and the type
    std::unique_ptr<UtWideString> m_fileName;
    bool m_loaded = false;
    std::atomic<bool> m_sourceReady{false};
    AM_MEDIA_TYPE m_mediaType{};
};

// The interface that hands out the filter's GStreamer element.
class IQvSourceElement : public qvplat::IUnknown
{
public:
    static constexpr qvplat::IID Iid = qvplat::MakeGuid("{3C9B7E52-6D1A-4F0B-9E27-5A41C8D0F613}");

    // The element; the filter holds a reference to it for as long as the
    // filter lives (gst_object_ref it to keep it longer).
    virtual GstElement* GetElement() = 0;
};

// ---- The stream object ----------------------------------------------------------------

// The byte source behind the element: looks like a file of fixed length,
// but every read takes the next bytes the receiver has ordered, wherever the
// last read stopped (the position is kept, never used to choose bytes).
class CTalvexStream
{
public:
    // 128 x 2^32 bytes.
    static constexpr std::int64_t kLength = std::int64_t{128} << 32;
    // The multiplex types of GetMuxType.
    static constexpr int kMuxNone = 0;
    static constexpr int kMuxMpeg1System = 1;
    static constexpr int kMuxMpeg2Transport = 2;
    static constexpr int kMuxMpeg2Program = 3;

    CTalvexStream();
    // Deletes the receiver when the stream made it itself; a handed-over
    // receiver is left alone.
    virtual ~CTalvexStream();
    CTalvexStream(const CTalvexStream&) = delete;
    CTalvexStream& operator=(const CTalvexStream&) = delete;

    // A position from 0 up to and including the length is stored (S_OK);
    // any other gives S_FALSE and changes nothing.
    virtual qvplat::HRESULT Seek(std::int64_t position);
    // Copies up to `count` bytes of the stream into `buffer`: the count in
    // `*read`, the receiver's flag word in `*flags` (QvUdpDataCollector's
    // kContinuous, kBreak, kStopped, kTimeout, kReleased) and, with kBreak,
    // in `*breakOffset` where the bytes after the break begin (0: all of
    // them). Without a receiver, the description road: the first read makes
    // and starts one from the settings and the loaded description. E_FAIL
    // when that fails (logged; nothing read); S_OK otherwise.
    virtual qvplat::HRESULT Read(std::uint8_t* buffer, long count, bool aligned, long* read,
                                 int* flags, long* breakOffset = nullptr);
    // The length, also as the available length.
    virtual std::int64_t GetSize(std::int64_t* available);
    virtual long GetAlignment();
    // The stream lock, held around one Seek and Read.
    virtual void Lock();
    virtual void Unlock();
    // Graph state: a pause when leaving the running state and every stop
    // empty the receiver's queues, so data that came before is not played
    // after; a pause from stopped keeps what has been buffered.
    virtual void OnRun();
    virtual void OnPause();
    virtual void OnStop();
    // The element is done with the stream: a receiver the stream made
    // itself stops and goes (the next read makes a new one). Only while no
    // read is under way.
    void ReleaseOwnReceiver();
    // Releases a read waiting in the receiver (and every read until
    // OnEndFlush) without stopping the receiver.
    virtual void OnBeginFlush();
    virtual void OnEndFlush();

    // 0 none, 1 MPEG-1 system, 2 MPEG-2 transport, 3 MPEG-2 program stream:
    // from the mux attribute of the settings' SDP text, else from "Mux". The
    // loaded description is read again first.
    int GetMuxType();

    // The name given to the filter's Load (narrow, low bytes).
    void SetFileName(const UtCString& name);
    UtCString GetFileName() const;
    // True once a read took the description road (the stream owns its receiver).
    bool OwnsReceiver() const { return m_ownsReceiver.load(); }
    QvUdpDataCollector* GetReceiver() const { return m_receiver.load(); }

    // The hand-over: the receiver (not owned) and a copy of its settings, at
    // which the receiver's property list is then pointed. Refused (false)
    // when the stream already reads through a receiver of its own, or for a
    // null receiver. Done before the element starts. Virtual, so that the
    // hand-over runs in the source's library, whose type it is: its callers
    // load that library at run time and have neither its code nor its type
    // information.
    virtual bool HandOver(QvUdpDataCollector* receiver, const QvPropertyList& settings);

private:
    bool MakeOwnReceiver();

    std::atomic<QvUdpDataCollector*> m_receiver{nullptr};
    QvPropertyList m_properties;
    std::atomic<bool> m_ownsReceiver{false};
    // The stream lock (Lock/Unlock; Read holds it while the receiver waits).
    std::recursive_mutex m_lock;
    // The property list, the file name and the receiver's start.
    mutable std::mutex m_propertyLock;
    UtCString m_fileName;
    std::int64_t m_position = 0;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_flushing{false};
};

// Hands a running receiver and its settings to the source and makes it
// ready (the hand-over of live playback). False when the source refuses.
// Callers reach the source through its interface, with the source's library
// loaded on its own: the stream's type information is not theirs to check.
__attribute__((no_sanitize("vptr"))) inline bool QvHandOverReceiver(IQvFileSourceFilter& source, QvUdpDataCollector* receiver,
                               const QvPropertyList& settings)
{
    CTalvexStream* stream = source.GetStream();
    if (stream == nullptr || !stream->HandOver(receiver, settings)) {
        return false;
    }
    source.SetSourceReady(true);
    return true;
}
