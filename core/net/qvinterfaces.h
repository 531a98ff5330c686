#pragma once
// The host's IPv4 interfaces, and one call per interface chosen by settings.
//
// The address list is read once, at construction, from QvHostAddresses (see
// core/qvhostaddr.h for which addresses count). ScanInterfaces reads the
// `Interface` setting and calls OnNewInterface for each chosen address:
//
//   absent, or "ANY"   every address of the host
//   "DEFAULT"          the host's first address only
//   a dotted address   that address, whether or not the host has it
//
// The words are matched in any case. The scan looks the addresses up again
// and walks that fresh list, so an interface that came or went since
// construction is seen as it is now. Subclasses override OnNewInterface to
// take each interface into use (a listener per interface, say).

#include "core/qvexport.h"
#include "core/strings/utlist.h"
#include "core/strings/utstring.h"

#include <memory>

class QvPropertyList;

class QV_API QvAllInterfaces
{
public:
    // Reads the host's addresses; a host without any gets an empty list.
    QvAllInterfaces();
    // The object owns its address list, so copies are not allowed.
    QvAllInterfaces(const QvAllInterfaces&) = delete;
    QvAllInterfaces& operator=(const QvAllInterfaces&) = delete;
    virtual ~QvAllInterfaces();

    // The settings the scan reads and hands to each call; not owned, may be
    // null.
    void SetPropertyList(QvPropertyList* settings) { m_settings = settings; }
    QvPropertyList* GetPropertyList() const { return m_settings; }

    // How many OnNewInterface calls of the last scan returned 0.
    int GetNumInterfaces() const { return m_initialised; }

    // The i-th address read at construction as dotted text; an empty string
    // when i is negative or not below the number of addresses.
    UtCString EnumInterface(int i) const;

    // Calls OnNewInterface for each chosen interface. 0 when at least one
    // call returned 0; -1 when the host has no address (or they cannot be
    // read now), -2 when no call returned 0. Both failures are written to
    // the debug log.
    int ScanInterfaces();

    // Takes one interface (network byte order) into use: 0 when it did. The
    // base class takes none and returns -1.
    virtual int OnNewInterface(unsigned long address, QvPropertyList* settings);

private:
    QvPropertyList* m_settings = nullptr;
    int m_initialised = 0;
    // The list owns its nodes only; the destructor deletes the strings.
    std::unique_ptr<UtTPtrSlist<UtCString>> m_addresses;
};
