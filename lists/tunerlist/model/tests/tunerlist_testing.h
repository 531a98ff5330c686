// Shared pieces of the channel list tests: SAP announcements sent from a
// plain socket in the test's network namespace, and waiting for a condition.
#pragma once

#include "platform/testsupport/udp_socket.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace tunertest {

using namespace std::chrono_literals;

// A bound for a hung test, not a speed check.
inline constexpr auto kPatience = 30s;

inline constexpr const char* kSapGroup = "239.195.7.7";

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = kPatience)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

inline std::uint16_t FreePort()
{
    qvtest::UdpSocket probe;
    return probe.LocalPort();
}

// The SDP text of session id; without a bit rate when rate is "".
inline std::string SessionText(int id, const std::string& name, const std::string& rate)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 10.0.0.1\ns=" + name +
           "\nc=IN IP4 239.1.1." + std::to_string(id % 250) + "/15\n" +
           (rate.empty() ? "" : "b=X-QV:" + rate + "\n") + "t=0 0\na=mux:m2p\nm=video " +
           std::to_string(5000 + id) + " UDP 0\n";
}

// A SAP announcement datagram of a text, from origin 10.0.0.1.
inline std::string Announcement(const std::string& text)
{
    const char header[8] = {0x20, 0, 0x34, 0x12, 10, 0, 0, 1};
    return std::string(header, sizeof header) + text + std::string(1, '\0');
}

} // namespace tunertest
