#include "core/threads/qvobject.h"

#include "core/packets/qvpacket.h"
#include "core/settings/qvproplist.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

// The object that "PropertyList" makes: an empty property list that is also
// a QvObject, so it travels through the factory's interface and its owner
// reaches the list with dynamic_cast<QvPropertyList*>.
class QvPropertyListObject final : public QvObject, public QvPropertyList
{
};

enum class PacketFormat
{
    Opv,
    Raw,
    Qvs,
    Ovs,
};

// "PacketFormat", upper-cased, picks the format; "OPV" when absent or unknown.
PacketFormat PacketFormatOf(const QvPropertyList& props)
{
    const UtCString name = toUpper(props.GetProperty("PacketFormat"));
    if (name == "RAW") {
        return PacketFormat::Raw;
    }
    if (name == "QVS") {
        return PacketFormat::Qvs;
    }
    if (name == "OVS") {
        return PacketFormat::Ovs;
    }
    return PacketFormat::Opv;
}

std::uint32_t HeaderLength(PacketFormat format)
{
    switch (format) {
    case PacketFormat::Raw:
        return 0;
    case PacketFormat::Qvs:
        return qvwire::kQvsHeaderLength;
    case PacketFormat::Ovs:
        return qvwire::kOvsHeaderLength;
    case PacketFormat::Opv:
        break;
    }
    return qvwire::kOpvHeaderLength;
}

// The data packet for a list that defines "PacketSize". A size that cannot
// hold the format's header (a negative one included) makes no packet: its
// payload length would come out negative.
QvObject* CreatePacket(const QvPropertyList& props)
{
    const int size = props.GetIntProperty("PacketSize");
    const PacketFormat format = PacketFormatOf(props);
    if (size < 0 || static_cast<std::uint32_t>(size) < HeaderLength(format)) {
        return nullptr;
    }
    const auto bytes = static_cast<std::uint32_t>(size);
    switch (format) {
    case PacketFormat::Raw:
        return new QvRawPacket(bytes);
    case PacketFormat::Qvs:
        return new QvQvsPacket(bytes);
    case PacketFormat::Ovs:
        return new QvOvsPacket(bytes);
    case PacketFormat::Opv:
        break;
    }
    return new QvOpvPacket(bytes);
}

} // namespace

QvData::~QvData() = default;

QvObject::~QvObject()
{
    m_initialized = false;
}

bool QvObject::Initialize(QvPropertyList* /*props*/)
{
    if (IsInitialized()) {
        return false;
    }
    m_initialized = true;
    return true;
}

void QvObject::UnInitialize()
{
    m_initialized = false;
}

bool QvObject::IsInitialized() const
{
    return m_initialized;
}

void QvObject::SetQvData(QvData* data)
{
    m_data = data;
}

QvObject* QvObject::GetQvInterface(const char* /*name*/)
{
    return nullptr;
}

QvObjectFactory::~QvObjectFactory() = default;

QvObject* QvObjectFactory::CreateObject(const char* name, QvPropertyList* props)
{
    if (name == nullptr) {
        return nullptr;
    }
    try {
        if (std::strcmp(name, "PropertyList") == 0) {
            return new QvPropertyListObject();
        }
        if (std::strcmp(name, "Packet") == 0) {
            if (props == nullptr || !props->PropertyDefined("PacketSize")) {
                return nullptr;
            }
            return CreatePacket(*props);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory, or a "PacketSize" too large to allocate.
    }
    return nullptr;
}

QvObject* QvCreateObject(const char* name, QvPropertyList* props)
{
    QvObjectFactory factory;
    return factory.CreateObject(name, props);
}

QvBuffMan::~QvBuffMan() = default;
