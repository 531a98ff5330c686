#pragma once
// The base of the core's creatable objects and the factory that makes them.
//
// A QvObject is made by a class-name string (QvCreateObject), configured once
// by a property list (Initialize) and may be handed an opaque data block
// (SetQvData) that stays owned by whoever made it. The caller of the factory
// owns the object it gets and deletes it through the virtual destructor.

#include "core/qvexport.h"

class QvPropertyList;

// Base of the data blocks handed to objects through QvObject::SetQvData.
class QV_API QvData
{
public:
    QvData() = default;
    QvData(const QvData&) = default;
    QvData& operator=(const QvData&) = default;
    virtual ~QvData();
};

class QV_API QvObject
{
public:
    QvObject() = default;
    // Copies copy both the initialised flag and the (unowned) data pointer.
    QvObject(const QvObject&) = default;
    QvObject& operator=(const QvObject&) = default;
    virtual ~QvObject();

    // Moves the object to the initialised state. Returns false and changes
    // nothing when it is initialised already. The base ignores the list;
    // subclasses read their settings from it and then call the base.
    virtual bool Initialize(QvPropertyList* props);
    virtual void UnInitialize();
    virtual bool IsInitialized() const;
    // Stores the data block; the object does not own it.
    virtual void SetQvData(QvData* data);
    // Asks for another interface of the object by name; null in the base.
    virtual QvObject* GetQvInterface(const char* name);

protected:
    bool m_initialized = false;
    QvData* m_data = nullptr;
};

// Makes the core's creatable objects by class name (compared exactly, case
// matters):
//   "PropertyList"  a new empty property list (the list passed in is unused);
//                   the object is also a QvPropertyList (dynamic_cast to it);
//   "Packet"        a data packet whose buffer holds the list's "PacketSize"
//                   bytes, of the class picked by its "PacketFormat"
//                   ("RAW", "OVS", "QVS", any case; anything else or none:
//                   "OPV"); null without a list or without "PacketSize";
//   anything else   null.
// Subclasses try their own names first and fall back to this one.
class QV_API QvObjectFactory
{
public:
    QvObjectFactory() = default;
    QvObjectFactory(const QvObjectFactory&) = default;
    QvObjectFactory& operator=(const QvObjectFactory&) = default;
    virtual ~QvObjectFactory();

    virtual QvObject* CreateObject(const char* name, QvPropertyList* props);
};

// One class that the core's factory makes: its name and its creator, which
// gets the factory's property list (possibly null).
struct QvObjectClass
{
    const char* name;
    QvObject* (*create)(QvPropertyList* props);
};

// The creator of "Packet", provided by the packet module: the data packet
// that the list's "PacketSize" and "PacketFormat" describe, or null.
QvObject* QvCreatePacketObject(QvPropertyList* props);

// CreateObject of a QvObjectFactory made for the call.
QV_API QvObject* QvCreateObject(const char* name, QvPropertyList* props);

// An empty class kept for the library's exported interface.
class QV_API QvBuffMan
{
public:
    QvBuffMan() = default;
    QvBuffMan(const QvBuffMan&) = default;
    QvBuffMan& operator=(const QvBuffMan&) = default;
    virtual ~QvBuffMan();
};
