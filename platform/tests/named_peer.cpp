// The other process of the named-object tests, driven one line at a time
// (platform/testsupport/peer.h); every command answers one line.
//
//   memory NAME SIZE    create or open memory   -> "ok EXISTED SIZE" | "err ERRNO"
//   put OFFSET TEXT     -> "ok";  get OFFSET     -> "ok TEXT" (up to a NUL, at most 64 bytes)
//   mutex NAME | event NAME  create or open     -> "ok EXISTED" | "err ERRNO"
//   lock MS | wait MS   -> "done" | "timeout" | "failed"
//   set                 -> "ok"
#include "platform/named.h"

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

std::string Opened(bool ok, const qvplat::NamedObject& object)
{
    return ok ? "ok " + std::to_string(object.Existed() ? 1 : 0)
              : "err " + std::to_string(object.Error());
}

const char* WaitText(qvplat::NamedWait result)
{
    const char* texts[] = {"done", "timeout", "failed"};
    return texts[static_cast<int>(result)];
}

} // namespace

int main()
{
    qvplat::SharedMemory memory;
    qvplat::NamedMutex mutex;
    qvplat::NamedEvent event;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        std::string name;
        std::size_t number = 0;
        in >> command;
        std::string answer = "err";
        char* bytes = static_cast<char*>(memory.Data());
        if (command == "memory" && in >> name >> number) {
            const bool ok = memory.Create(name, number);
            answer = Opened(ok, memory) + " " + std::to_string(memory.Size());
        } else if (command == "put" && in >> number >> name &&
                   number + name.size() <= memory.Size()) {
            std::memcpy(bytes + number, name.data(), name.size());
            answer = "ok";
        } else if (command == "get" && in >> number && number + 64 <= memory.Size()) {
            answer = "ok " + std::string(bytes + number, strnlen(bytes + number, 64));
        } else if (command == "mutex" && in >> name) {
            answer = Opened(mutex.Create(name), mutex);
        } else if (command == "event" && in >> name) {
            answer = Opened(event.Create(name), event);
        } else if (command == "lock" && in >> number) {
            answer = WaitText(mutex.Lock(static_cast<std::uint32_t>(number)));
        } else if (command == "wait" && in >> number) {
            answer = WaitText(event.Wait(static_cast<std::uint32_t>(number)));
        } else if (command == "set") {
            answer = event.Set() ? "ok" : "err";
        }
        std::cout << answer << std::endl;
    }
    return 0;
}
