// The service manager's notification socket, played by a test: a datagram
// socket on a path, or on an abstract name written with a leading '@'.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace qvtest {

class NotifySocket
{
public:
    explicit NotifySocket(const std::string& name)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') {
            address.sun_path[0] = '\0';
        }
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size), 0) << name;
    }
    ~NotifySocket() { ::close(m_fd); }
    // Every datagram waiting, in order.
    std::vector<std::string> Drain()
    {
        std::vector<std::string> messages;
        char buffer[1024];
        ssize_t got;
        while ((got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            messages.emplace_back(buffer, static_cast<std::size_t>(got));
        }
        return messages;
    }

private:
    int m_fd = -1;
};

} // namespace qvtest
