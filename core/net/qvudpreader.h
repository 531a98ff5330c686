#pragma once
// The receiving end of the socket layer: one UDP port on one local interface,
// optionally a member of one multicast group. Every datagram reader of the
// system is a QvUdpReader or derives from it.
//
// The setters give the defaults (group 225.1.1.1, port 2001, any interface);
// Start then reads an optional property list and lets its keys override them,
// in this order:
//
//   "SDP"        an announcement's SDP text: its connection address becomes
//                the group and its media port the port
//   "Interface"  dotted local address to receive on; "ANY" (any case) leaves
//                the interface as it was
//   "Port"       the port (1..65535); the group becomes "Address" when that is
//                given, else 0, so an explicit Port (with or without Address)
//                overrides what the SDP text said
//   "Unicast"    boolean; without it an address of 224.0.0.0 and above is
//                joined as a group and any other is received by unicast
//
// After Start, GetAddress, GetPort and GetInterface report the values that
// were worked out, and they stay the defaults for the next Start.
//
// How the socket is opened on Linux: a unicast reader binds the interface
// address (any when none is set). A group reader binds the group address
// itself, because Linux hands no multicast datagram to a socket bound to a
// unicast address; the interface goes into the membership request, and the
// socket is limited to the groups and interfaces it joined itself, so readers
// of one group on different interfaces each see only their own interface's
// traffic.
//
// Every failed Start is written to the debug log, leaves the reader stopped
// and leaves no socket open.
//
// A reader is used by one thread at a time: its owner starts and stops it
// while no other thread polls it.

#include "core/qvexport.h"
#include "core/net/qvsocket.h"
#include "core/strings/utstring.h"

class QvPropertyList;

class QV_API QvUdpReader : public QvSocket
{
public:
    // Group 225.1.1.1, port 2001, any interface, the system's receive buffer
    // size, no property list.
    QvUdpReader();
    // Stops a started reader.
    ~QvUdpReader() override;

    // Address in network byte order, port in host order.
    void SetAddress(unsigned long address, unsigned int port);
    // Local interface address in network byte order; 0 means any.
    void SetInterface(unsigned long address) { m_interface = address; }
    // Kernel receive buffer in bytes; 0 keeps the system's size.
    void SetBufferSize(unsigned long bytes) { m_bufferSize = bytes; }
    // Stored only: the socket always allows address reuse.
    void SetReuse(int reuse) { m_reuse = reuse; }
    // Not owned; read by each Start.
    void SetPropertyList(QvPropertyList* list) { m_propertyList = list; }

    unsigned long GetAddress() const { return m_address; }
    unsigned long GetInterface() const { return m_interface; }
    unsigned int GetPort() const { return m_port; }

    // Opens the socket with the current settings, restarting a started
    // reader. 0 started; -1 the socket layer did not start; 1 any other
    // failure (logged).
    int Start();
    // Closes the socket of a started reader; always 0.
    int Stop();

    using QvSocket::Receive;
    // One datagram into the buffer: its length (0 for an empty one), or -1
    // when the reader is not started or the receive failed (logged). A
    // datagram longer than the buffer is consumed and reported as a failure
    // with GetLastError() == QV_EMSGSIZE; the next call gets the next one.
    virtual int Receive(void* buffer, int length);

    // True when a datagram (an empty one too) is waiting. Never blocks.
    bool IsReady();

private:
    // Applies the list's SDP, Interface and Port keys; false (logged) when
    // one of them cannot be used.
    bool ReadSettings();
    bool ReadSdp(const UtCString& sdp);
    // Whether the reader is unicast: by the address, unless "Unicast" says.
    bool IsUnicast() const;
    // False (logged) when the interface is not one of this host's addresses.
    bool CheckInterface() const;
    // Creates and binds the socket, sizes its buffer and joins the group;
    // false (logged) at the first step that fails.
    bool OpenSocket(bool unicast);
    // Closes what a failed Start opened and returns Start's failure result.
    int FailStart();

    unsigned long m_address;
    unsigned long m_interface = 0;
    unsigned int m_port = 2001;
    int m_reuse = 1;
    unsigned long m_bufferSize = 0;
    bool m_started = false;
    QvPropertyList* m_propertyList = nullptr;
};
