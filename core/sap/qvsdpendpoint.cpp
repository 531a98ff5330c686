// The SDP text is parsed the way an announcement's is: behind the header of
// a SAP packet.
#include "core/net/qvsdpendpoint.h"

#include "core/sap/qvsappacket.h"

QvSdpEndpoint QvReadSdpEndpoint(const UtCString& sdp)
{
    QvSAPPacket packet;
    QvSdpEndpoint endpoint;
    endpoint.room = packet.GetPayloadSize() - 1;
    endpoint.fits = packet.SetSdpText(sdp.chars());
    if (endpoint.fits) {
        endpoint.address = packet.GetPropA("Address");
        endpoint.port = packet.GetPropA("Port");
    }
    return endpoint;
}
