#pragma once
// The two network ends of session announcements.
//
// QvSAPCaster sends one QvSAPPacket as one UDP datagram to the well-known SAP
// group 224.2.127.254, port 9875: the 8-byte header, the payload type
// "application/sdp" with its NUL (standard listeners refuse a payload without
// it), the SDP text and its terminating NUL.
//
// QvSAPListen receives SAP datagrams on one group and port, drops those it
// cannot read and hands each announcement or deletion to a virtual hook. It
// either runs its own receive thread or is polled by its owner through
// Worker. The rules for one datagram live in DecodeDatagram, which works on
// plain bytes, so they can be exercised without a socket.
//
// What a listener accepts:
//   - a header with no encryption, no compression and no authentication
//     data; the reserved bit is ignored and the version is not examined;
//     an IPv6 origin (its header is longer) is not read;
//   - a payload that is an SDP text ("v=0..." as this system writes it, or
//     any text opening with an SDP line such as a bare "o=" line of a
//     deletion), or a NUL-terminated payload type "application/sdp" (any
//     case) followed by the SDP text, as other SAP announcers send it;
//   - a text that is not empty and fits the packet's text area once the
//     carriage returns of its "\r\n" line ends are removed; the text ends at
//     the first NUL or at the end of the datagram.
// Everything else is dropped without a message.

#include "core/qvexport.h"
#include "core/sap/qvsappacket.h"
#include "core/threads/qvthread.h"
#include "core/net/qvudpcaster.h"
#include "core/net/qvudpreader.h"
#include "core/strings/utstring.h"
#include "platform/sockaddr.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>

class QV_API QvSAPCaster : public QvUdpCaster
{
public:
    // The SAP group and port.
    static constexpr const char* defaultGroup = "224.2.127.254";
    static constexpr unsigned int defaultPort = 9875;
    // Written between the header and the text; the NUL that ends it is sent
    // too.
    static constexpr char payloadType[] = "application/sdp";

    // A caster aimed at the SAP group and port with the system's send buffer
    // size; the other caster defaults stay (TTL 64). "SendAddress",
    // "SendPort", "SendTTL" and "SendScope" of its property list still apply
    // at Start.
    QvSAPCaster();
    ~QvSAPCaster() override;

    using QvUdpCaster::Send;
    // Sends the packet: a parsed packet has its text rebuilt from its
    // properties first. The datagram is the header, the payload type, the
    // text and one NUL. The result is that of QvUdpCaster::Send (-1 when the
    // caster is not started); -1 for a null packet.
    int Send(QvSAPPacket* packet);
};

// The listening pair, packet layout and threading of a listener. The channel
// list and the program monitor listen with a smaller packet and another
// default pair, and always on a thread of their own.
struct QvSAPListenOptions
{
    static constexpr const char* standardGroup = "224.2.127.254";
    static constexpr unsigned int standardPort = 9875;
    static constexpr const char* directoryGroup = "224.2.2.4";
    static constexpr unsigned int directoryPort = 2240;

    // Default group (dotted) and port; the reader's setters and the keys of
    // its property list override them before Start.
    const char* group = standardGroup;
    unsigned int port = standardPort;
    // The packets handed to the hooks; their text area bounds the accepted
    // text.
    QvSAPPacketOptions packet = QvSAPPacketOptions::Standard();
    // The listener runs its own receive thread; otherwise the owner polls
    // Worker.
    bool threaded = true;
    // Kernel receive buffer in bytes: room for a burst of announcements
    // while the listener files the ones before (a privileged process gets
    // it beyond the system's limit).
    int receiveBuffer = 8 << 20;

    static constexpr QvSAPListenOptions Standard(bool threaded = true)
    {
        QvSAPListenOptions options;
        options.threaded = threaded;
        return options;
    }
    // The channel list control's listener.
    static constexpr QvSAPListenOptions ChannelList()
    {
        QvSAPListenOptions options;
        options.group = directoryGroup;
        options.port = directoryPort;
        options.packet = QvSAPPacketOptions::ChannelList();
        return options;
    }
    // The program monitor's listener.
    static constexpr QvSAPListenOptions Monitor()
    {
        QvSAPListenOptions options;
        options.group = directoryGroup;
        options.port = directoryPort;
        options.packet = QvSAPPacketOptions::Monitor();
        return options;
    }
};

class QV_API QvSAPListen : public QvUdpReader, public QvThread
{
public:
    // Receive buffer of one datagram: room for the largest text, every line
    // end written as "\r\n", and a payload type; a longer datagram is
    // dropped.
    static constexpr int receiveLimit = 4096;

    // Reader on the SAP group and port.
    explicit QvSAPListen(bool threaded = true);
    explicit QvSAPListen(const QvSAPListenOptions& options);
    // Stops a started listener and waits for its thread.
    ~QvSAPListen() override;

    QvSAPListen(const QvSAPListen&) = delete;
    QvSAPListen& operator=(const QvSAPListen&) = delete;

    // Opens the reader and, when threaded, starts the receive thread; a
    // started listener is stopped first. 0 started; -2 the reader did not
    // start (it logged why); -1 the thread did not start (the reader is
    // closed again).
    int Start();
    // Ends the receive loop (waiting for it when threaded), then closes the
    // reader; always 0. Called from a hook of this listener's own thread it
    // only asks the loop to end; the owner's Stop or the destructor then
    // finishes the job.
    int Stop();
    bool IsStarted() const { return m_started.load(std::memory_order_acquire); }
    bool IsThreaded() const { return m_options.threaded; }
    const QvSAPListenOptions& GetOptions() const { return m_options; }

    // Handles one waiting datagram and returns true; false when none waits.
    // For an unthreaded listener, called by its owner, which stops polling
    // before it calls Stop.
    bool Worker();

    // The sender (address and port) of the datagram being handled; valid in
    // the hooks. All zero for a packet handed in without a datagram.
    const sockaddr_in& GetDatagramSource() const { return m_datagramSource; }

    // Reads one datagram from the reader and hands it on when it is
    // acceptable. Receive failures are written to the debug log.
    virtual void OnDataReceived(QvUdpReader* reader);
    // Dispatches by message type: announcement or deletion. Other types are
    // ignored.
    virtual void OnSAPReceive(QvSAPPacket* packet);
    // Hooks, empty here. They run on the thread that called Worker; the packet
    // is valid only during the call, so a hook copies what it keeps.
    virtual void OnDeletion(QvSAPPacket* packet);
    virtual void OnAnnouncement(QvSAPPacket* packet);

    // The receive rules: fills `packet` (header and SDP text) from one
    // datagram and returns true when the datagram is an announcement or
    // deletion this system can read; returns false and leaves the packet
    // alone otherwise.
    static bool DecodeDatagram(const void* data, std::size_t length, QvSAPPacket& packet);

    // The value of the text's first o= line (after "o=", without its line
    // end), which names the session; an o= line that opens the text counts.
    // Empty when the text has no o= line.
    static UtCString FindOriginLine(const char* text);

protected:
    // Waits on the socket while nothing arrives, then handles what waits;
    // looks at the run flag at least every few milliseconds.
    void ProcessThread() override;
    // Decodes one datagram from `source` (null: none known) into a fresh
    // packet and dispatches it.
    void HandleDatagram(const void* data, std::size_t length, const sockaddr_in* source = nullptr);

private:
    void StopLocked();
    bool OnWorkerThread() const;
    // Raises the socket's receive buffer to the options' size where the
    // system's limit kept it lower and the process may pass that limit.
    void WidenReceiveBuffer();
    // True when a datagram arrived within the given time.
    bool WaitForDatagram(int milliseconds);

    const QvSAPListenOptions m_options;
    sockaddr_in m_datagramSource{};
    std::atomic<bool> m_started{false};
    std::atomic<std::thread::id> m_workerId{};
    std::mutex m_control; // serialises Start and Stop
};
