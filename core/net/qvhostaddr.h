#pragma once
// The IPv4 addresses of this host.
//
// The socket layer needs "the host's addresses" in three places: a caster
// that was left on "any interface" reports the host's first address, a reader
// checks that its configured interface is one of them, and the interface scan
// offers one call per address. Looking up the host's own name
// is no good for this on Linux (distributions map it to a loopback address),
// so the addresses come from the kernel's interface list instead:
//
//   - IPv4 addresses of interfaces that are up, in the kernel's order;
//   - loopback addresses (interfaces flagged as loopback, or 127.0.0.0/8)
//     count only when no other interface that is up has an IPv4 address, so
//     a host without a network still has one address to work with.
//
// Addresses are 32-bit values in network byte order, as they sit in an
// in_addr. Tests replace the provider to stand for hosts of any shape.

#include "core/qvexport.h"

#include <cstdint>
#include <string>
#include <vector>

// A source of host addresses: network byte order, first address first. An
// empty list means none could be found.
using QvHostAddressProvider = std::vector<std::uint32_t> (*)();

// The host's addresses from the current provider (the interface list unless a
// test installed another).
QV_API std::vector<std::uint32_t> QvHostAddresses();

// The addresses read from the kernel's interface list by the rules above;
// empty when the list cannot be read.
QV_API std::vector<std::uint32_t> QvSystemHostAddresses();

// "a.b.c.d" of an address in network byte order.
QV_API std::string QvDottedAddress(std::uint32_t address);

// Installs a provider and returns the previous one; null restores the
// interface list. Install it before the code under test starts threads.
QV_API QvHostAddressProvider QvSetHostAddressProvider(QvHostAddressProvider provider);
