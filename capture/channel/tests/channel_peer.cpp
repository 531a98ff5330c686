// The other process of the channel tests, driven one line at a time
// (platform/testsupport/peer.h); each command answers "ok" or "err".
//
//   serve NAME     serve the channel NAME; a command's result is its code
//                  * 1000 + the int32 at data offset 0
//   listen EVENT   keep a listener on the event EVENT
#include "capture/channel/qvcommchannel.h"

#include <cstring>
#include <iostream>
#include <list>
#include <sstream>
#include <string>

namespace {

struct EchoServer : QvCommChannel
{
    explicit EchoServer(const std::string& name)
        : QvCommChannel(name.c_str(), kQvChannelDataSize, Side::Serving)
    {
        Listen();
    }
    ~EchoServer() override { StopListening(); }

    int HandleCommand(int code, std::span<const std::uint8_t> data) override
    {
        std::int32_t value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return code * 1000 + value;
    }
};

struct NoOwner : QvCommMgrListener::Owner
{
    void OnSignal() override {}
};

} // namespace

int main()
{
    NoOwner owner;
    std::list<EchoServer> servers;
    std::list<QvCommMgrListener> listeners;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        std::string name;
        in >> command >> name;
        bool ok = false;
        if (command == "serve") {
            ok = servers.emplace_back(name).IsValid();
        } else if (command == "listen") {
            ok = listeners.emplace_back(&owner, name.c_str()).IsValid();
        }
        std::cout << (ok ? "ok" : "err") << std::endl;
    }
    return 0;
}
