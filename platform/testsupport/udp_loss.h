// Random loss of UDP datagrams, for tests of loss recovery. The rules are
// nftables rules in the calling thread's network namespace, which must be a
// test namespace (see netns.h): they vanish with it.
#pragma once

#include <cstdint>
#include <string>

namespace qvtest {

// Drops each UDP datagram to `port` that enters the namespace with a
// probability of percent/100 (0..100), chosen independently per datagram.
// Several calls add several rules. Returns false with a reason when nft is
// missing or refused, or when called outside a test namespace; the test should
// then skip.
bool AddUdpLoss(std::uint16_t port, int percent, std::string* error);

// Removes every rule AddUdpLoss installed in the calling thread's namespace.
bool ClearUdpLoss(std::string* error);

} // namespace qvtest
