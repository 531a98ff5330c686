#include "core/net/qvinterfaces.h"

#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

} // namespace

QvAllInterfaces::QvAllInterfaces() : m_addresses(std::make_unique<UtTPtrSlist<UtCString>>())
{
    for (const std::uint32_t address : QvHostAddresses()) {
        auto text = std::make_unique<UtCString>(QvDottedAddress(address).c_str());
        m_addresses->addAtTail(text.get());
        text.release();
    }
}

QvAllInterfaces::~QvAllInterfaces()
{
    while (UtCString* text = m_addresses->removeFirst()) {
        delete text;
    }
}

UtCString QvAllInterfaces::EnumInterface(int i) const
{
    if (i < 0 || static_cast<std::size_t>(i) >= m_addresses->entries()) {
        return UtCString();
    }
    return *m_addresses->at(static_cast<std::size_t>(i));
}

int QvAllInterfaces::OnNewInterface(unsigned long /*address*/, QvPropertyList* /*settings*/)
{
    return -1;
}

int QvAllInterfaces::ScanInterfaces()
{
    m_initialised = 0;

    enum class Mode {
        All,
        FirstOnly,
        Configured,
    };
    Mode mode = Mode::All;
    unsigned long configured = 0;
    if (m_settings != nullptr && m_settings->PropertyDefined("Interface")) {
        const UtCString value = toUpper(m_settings->GetProperty("Interface"));
        if (value == "DEFAULT") {
            mode = Mode::FirstOnly;
        } else if (value != "ANY") {
            mode = Mode::Configured;
            configured = inet_addr(value.chars());
        }
    }

    const std::vector<std::uint32_t> current = QvHostAddresses();
    if (m_addresses->isEmpty() || current.empty()) {
        QvDebugMsg("No Interfaces Detected");
        return -1;
    }

    auto offer = [this](unsigned long address) {
        if (OnNewInterface(address, m_settings) == 0) {
            ++m_initialised;
        }
    };
    switch (mode) {
    case Mode::All:
        for (const std::uint32_t address : current) {
            offer(address);
        }
        break;
    case Mode::FirstOnly:
        offer(current.front());
        break;
    case Mode::Configured:
        offer(configured);
        break;
    }

    if (m_initialised == 0) {
        QvDebugMsg("No Interface Initialized");
        return -2;
    }
    return 0;
}
