#pragma once
// A thin wrapper over one socket descriptor; every network class of the
// system derives from it or holds one.
//
// Results follow the system's conventions: the set-up operations return 1 on
// success and 0 on failure, the data operations return the byte count or
// QV_SOCKET_ERROR. After a failure GetLastError gives the errno of the call
// that failed. The value is kept per thread by the wrapper itself, so logging
// between the failure and the question does not disturb it.
//
// The process-wide socket library start-up of the original platform has
// nothing to do here: the object count is still kept and GetStartupError is
// always 0, so callers that check it keep working.
//
// Datagram sockets and truncation: a datagram larger than the receive buffer
// would be cut short silently. Receive, ReceiveFrom and ReceiveDatagram on a
// datagram socket instead report it as QV_SOCKET_ERROR with the error
// QV_EMSGSIZE; the datagram is consumed, and the next receive returns the
// next one.
//
// Signals: a signal delivered to a thread inside a call of this class never
// ends the call early (EINTR is not an error here): an interrupted receive,
// send or wait is simply resumed, a wait for the rest of its time.
//
// Multicast membership: JoinGroup joins a group on one interface and limits
// the socket to the groups it joined itself (without that, Linux delivers
// every group joined by any socket on the host to every socket bound to the
// port on the wildcard address).

#include "core/qvexport.h"
#include "platform/sockaddr.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

// One datagram of a batch receive (QvSocket::ReceiveBatch): the caller
// names the room, the receive fills in the rest.
struct QvDatagramSlot
{
    void* buffer = nullptr;
    int capacity = 0;
    // Bytes of the datagram, or QV_SOCKET_ERROR when it did not fit the room
    // (error is then QV_EMSGSIZE; the datagram is gone).
    int length = 0;
    int error = 0;
    // How many datagrams the kernel had dropped on the socket, counted from
    // its creation (wrapping at 2^32), when this one was queued; only with
    // EnableDropCount, else 0. A rise from one datagram to the next puts the
    // drops between the two.
    std::uint32_t drops = 0;
    sockaddr_in from{};
};

// A socket descriptor and its marker values.
using QvSocketHandle = int;
inline constexpr QvSocketHandle QV_INVALID_SOCKET = -1;
inline constexpr int QV_SOCKET_ERROR = -1;

// The error of a received datagram that did not fit the buffer.
inline constexpr int QV_EMSGSIZE = EMSGSIZE;

class QV_API QvSocket
{
public:
    // Counts one more socket object; the socket itself is not yet created.
    QvSocket();
    QvSocket(const QvSocket&) = delete;
    QvSocket& operator=(const QvSocket&) = delete;
    // Counts one less and closes the socket.
    virtual ~QvSocket();

    // The socket library start-up result: always 0 (success) here.
    static int GetStartupError();
    // The errno of the last failed operation of this thread's sockets.
    static int GetLastError();

    // Creates a socket of the given type (SOCK_DGRAM, SOCK_STREAM), sets
    // SO_REUSEADDR and binds it to the address text (dotted IPv4; null means
    // any) and the port (host order, 0 for any). An open socket is closed
    // first. Returns 1 when bound; 0 when the socket cannot be created, the
    // port is above 65535 or the bind fails, with no socket left open. A
    // failure to set SO_REUSEADDR throws QvException. The events argument is
    // not used.
    int Create(unsigned int port, int type, long events, const char* address);
    // bind; 1 or 0.
    int Bind(const sockaddr* address, int length);
    // Connects to the dotted address and port, which also become the stored
    // local address record; 1 or 0.
    int Connect(const char* address, unsigned int port);
    // listen; 1 or 0.
    int Listen(int backlog);
    // FIONREAD (bytes of the next datagram waiting) or FIONBIO (non-zero
    // argument: non-blocking); other commands fail with EINVAL. 1 or 0.
    int IOCtl(long command, unsigned long* argument);
    // setsockopt(socket, level, option, value, length); 1 or 0.
    int SetSockOpt(int option, const void* value, int length, int level = SOL_SOCKET);
    // getsockopt(socket, level, option, value, length): `length` gives the
    // room and receives the size of the value; 1 or 0.
    int GetSockOpt(int option, void* value, int* length, int level = SOL_SOCKET) const;

    // send and recv; the byte count or QV_SOCKET_ERROR.
    virtual int Send(const void* buffer, int length, int flags);
    virtual int Receive(void* buffer, int length, int flags);
    int SendTo(const void* buffer, int length, const sockaddr* to, int toLength, int flags);
    int ReceiveFrom(void* buffer, int length, sockaddr* from, int* fromLength, int flags);
    // Receives one datagram, reporting one larger than the buffer as
    // QV_SOCKET_ERROR with QV_EMSGSIZE. `from` and `fromLength` may be null.
    int ReceiveDatagram(void* buffer, int length, sockaddr* from, int* fromLength, int flags);
    // Copies the start of the next datagram without taking it off the socket
    // and returns the datagram's whole length (which may exceed `length`), or
    // QV_SOCKET_ERROR (EAGAIN when none waits). Never blocks.
    int PeekDatagram(void* buffer, int length, sockaddr_in* from);
    // Takes the next datagram off the socket without copying it. Never blocks.
    void DiscardDatagram();
    // Most datagrams one ReceiveBatch call takes.
    static constexpr std::size_t kMaxBatch = 64;
    // Takes up to slots.size() (at most kMaxBatch) waiting datagrams off a
    // datagram socket in one call, in arrival order, each into its slot.
    // Returns how many slots were filled; QV_SOCKET_ERROR when none was
    // (EAGAIN when nothing waits). A failure after the first datagram ends
    // the batch early and is reported by the next call. Never blocks.
    int ReceiveBatch(std::span<QvDatagramSlot> slots);
    // As ReceiveBatch, but when nothing waits it first waits up to timeoutMs
    // milliseconds (kWaitForever: no limit; 0: not at all) for a datagram,
    // in the receive itself: one call both waits and takes the batch. Once
    // one datagram is there, the others that wait are taken without
    // waiting for more. When the time runs out: QV_SOCKET_ERROR with
    // EAGAIN. A signal does not end the wait (it is taken up again, for at
    // most the whole time once more). The wait is the socket's receive
    // timeout, which this call sets and remembers; a socket made
    // non-blocking through IOCtl waits in WaitReadable instead.
    int ReceiveBatch(std::span<QvDatagramSlot> slots, int timeoutMs);

    // 1 when a datagram (an empty one too) or stream data is waiting, 0 when
    // nothing is or the socket is not open. Never blocks.
    int ReadyToReceive();
    // The kernel's receive side of this socket: bytes it holds for it (as
    // charged against the buffer), the buffer's size, and how many datagrams
    // it dropped on arrival so far because the buffer was full (wraps at
    // 2^32).
    struct ReceiveMemory
    {
        std::uint32_t queued = 0;
        std::uint32_t buffer = 0;
        std::uint32_t drops = 0;
    };
    // 1 or 0 (not open, or the kernel does not tell).
    int GetReceiveMemory(ReceiveMemory& memory) const;

    // Makes every datagram received through ReceiveBatch carry the kernel's
    // count of the datagrams it dropped on this socket so far
    // (QvDatagramSlot::drops). 1 or 0.
    int EnableDropCount();
    // Ends every receive and wait on this socket that is in progress on
    // another thread, and makes every later one end at once: waits find the
    // socket readable, and batch receives fail with ESHUTDOWN. For a thread
    // that waits long on the socket and must be stopped; only closing the
    // socket undoes it.
    void ShutdownReceive();

    // A timeout of WaitReadable that never runs out.
    static constexpr int kWaitForever = -1;

    // Waits until something can be received on the socket (a datagram, an
    // empty one too, stream data, the end of a stream, or a pending error
    // that the next receive reports) or until timeoutMs milliseconds have
    // passed; 0 only looks, kWaitForever has no limit. Returns 1 when
    // something waits, 0 when the time ran out, QV_SOCKET_ERROR when the
    // socket is not open (EBADF) or the wait failed.
    int WaitReadable(int timeoutMs);
    // The same over several sockets at once: ready[i] (of the same length
    // as sockets) tells whether sockets[i] has something waiting. Null
    // entries and sockets that are not open are never ready, but at least
    // one socket must be open (else QV_SOCKET_ERROR with EBADF). Returns
    // how many sockets are ready, 0 when the time ran out, QV_SOCKET_ERROR
    // on failure, with every ready[i] false.
    static int WaitReadable(std::span<QvSocket* const> sockets, std::span<bool> ready,
                            int timeoutMs);

    // Joins the multicast group on the interface with the given address (both
    // network byte order; interface 0 lets the routing table choose) and
    // stops delivery of groups that this socket did not join. 1 or 0.
    int JoinGroup(unsigned long group, unsigned long interfaceAddress);

    // Closes an open socket; the object can create a new one afterwards.
    virtual void Close();

    QvSocket* GetSocket() { return this; }
    // The descriptor, QV_INVALID_SOCKET when none is open.
    QvSocketHandle GetHandle() const { return m_socket; }

protected:
    // Records errno of a failed call for GetLastError and returns `result`.
    static int Fail(int result);
    static int Fail(int result, int error);

private:
    // Closes the descriptor without going through the virtual Close.
    void CloseHandle();
    int ReceiveBatchWith(std::span<QvDatagramSlot> slots, int flags);
    // Sets SO_RCVTIMEO unless it already holds timeoutMs; 1 or 0.
    int SetReceiveTimeout(int timeoutMs);

    // No receive timeout is known to be set on the socket.
    static constexpr int kReceiveTimeoutUnknown = -2;

    QvSocketHandle m_socket = QV_INVALID_SOCKET;
    sockaddr_in m_localAddress{};
    bool m_datagram = false;
    bool m_nonBlocking = false;
    bool m_dropCount = false;
    std::atomic<bool> m_receiveShut{false};
    // The SO_RCVTIMEO that ReceiveBatch last set, in ms (kWaitForever: none).
    int m_receiveTimeoutMs = kReceiveTimeoutUnknown;
};
