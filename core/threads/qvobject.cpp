#include "core/threads/qvobject.h"

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

QvObject* CreatePropertyListObject(QvPropertyList* /*props*/)
{
    return new QvPropertyListObject();
}

// The classes the core makes by name. The data packets come from the packet
// module, which knows their formats.
const QvObjectClass kCoreClasses[] = {
    {"PropertyList", CreatePropertyListObject},
    {"Packet", QvCreatePacketObject},
};

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
        for (const QvObjectClass& objectClass : kCoreClasses) {
            if (std::strcmp(name, objectClass.name) == 0) {
                return objectClass.create(props);
            }
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
