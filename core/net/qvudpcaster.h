#pragma once
// The sender of UDP datagrams to a multicast group or a unicast address.
//
// A caster holds its destination, the local interface and port to bind to,
// the multicast TTL and the send buffer size. Start reads the settings whose
// names begin with Send from an optional property list, opens and binds the
// socket and sets its options; Send then sends one datagram per call.
//
//   "SendAddress"    dotted destination address
//   "SendPort"       destination port, 1..65535
//   "SendLocalPort"  local port, 0..65535 (0: any)
//   "SendInterface"  dotted local address to send from; "ANY" (any case): any
//   "SendTTL"        multicast TTL; when present "SendScope" is not read
//   "SendScope"      a scope word (see DecodeTTL); unknown words change nothing
//
// Set-up failures throw QvException, and a failed Start leaves no socket
// open. A destination port outside 1..65535, a local port above 65535 or a
// "SendAddress" that is not an address are refused the same way, so nothing
// is sent to a wrong place.
//
// A caster with an interface sends its multicast through that interface
// (IP_MULTICAST_IF); without one the routing table chooses. Multicast loopback
// stays on, so receivers on this host get the datagrams too. A caster left on
// "any interface" stores the host's first address (QvHostAddresses) as its
// interface during Start; a later Start then binds to that address.

#include "core/qvexport.h"
#include "core/net/qvsocket.h"
#include "core/strings/utstring.h"

class QvPropertyList;

class QV_API QvUdpCaster : public QvSocket
{
public:
    // Destination 225.1.1.1 port 2010, any interface and local port, TTL 64,
    // the system's send buffer size, no property list.
    QvUdpCaster();
    // Stops a started caster.
    ~QvUdpCaster() override;

    // Address in network byte order, port in host order; also refills the
    // destination.
    void SetAddress(unsigned long address, unsigned int port);
    void SetInterface(unsigned long address) { m_interface = address; }
    void SetLocalPort(unsigned int port) { m_localPort = port; }
    void SetTTL(int ttl) { m_ttl = ttl; }
    // 0 keeps the system's send buffer size.
    void SetBufferSize(unsigned long bytes) { m_bufferSize = bytes; }
    // Stored only: the socket always allows address reuse.
    void SetReuse(int reuse) { m_reuse = reuse; }
    // Not owned; read by each Start.
    void SetPropertyList(QvPropertyList* list) { m_propertyList = list; }

    unsigned long GetAddress() const { return m_address; }
    unsigned int GetPort() const { return m_port; }
    unsigned long GetInterface() const { return m_interface; }
    unsigned int GetLocalPort() const { return m_localPort; }
    int GetTTL() const { return m_ttl; }
    QvPropertyList* GetPropertyList() const { return m_propertyList; }

    // Opens the socket with the current settings (restarting a started
    // caster). 0 on success, -1 when the socket library did not start; other
    // failures throw QvException.
    int Start();
    // Closes the socket of a started caster; always 0.
    int Stop();

    // One datagram to the destination: the byte count, or -1 when not
    // started, or QV_SOCKET_ERROR (logged) when the send fails.
    int Send(const void* buffer, int length, int flags) override;

    // The TTL of a scope word in any case: HOST 0, SUBNET 1, SITE 32, REGION
    // 64, CONTINENT 128, ALL and UNRESTRICTED 255; 64 for any other word.
    static int DecodeTTL(UtCString scope);

private:
    void ReadSendSettings(unsigned int& port, unsigned long& address);
    [[noreturn]] void FailStart(int line, const char* message, int code);

    unsigned int m_port;
    unsigned long m_address;
    unsigned long m_interface = 0;
    unsigned int m_localPort = 0;
    int m_reuse = 1;
    int m_ttl = 64;
    unsigned long m_bufferSize = 0;
    sockaddr_in m_destination{};
    bool m_started = false;
    QvPropertyList* m_propertyList = nullptr;
};
