// The other process of the named-object tests, driven one line at a time
// (see platform/testsupport/peer.h). Each command answers one line:
//
//   memory NAME SIZE   create or open shared memory -> "ok EXISTED SIZE" | "err ERRNO"
//   put OFFSET TEXT    store TEXT in the memory at OFFSET -> "ok"
//   get OFFSET LENGTH  -> "ok TEXT" (the bytes up to LENGTH or the first NUL)
//   mutex NAME         create or open a mutex -> "ok EXISTED" | "err ERRNO"
//   lock MS | unlock   -> "done" | "timeout" | "failed"; "ok" | "err"
//   event NAME         create or open an event -> "ok EXISTED" | "err ERRNO"
//   set | wait MS      -> "ok"; "done" | "timeout" | "failed"
#include "platform/named.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const char* WaitText(qvplat::NamedWait result)
{
    switch (result) {
    case qvplat::NamedWait::Done:
        return "done";
    case qvplat::NamedWait::Timeout:
        return "timeout";
    default:
        return "failed";
    }
}

std::string Opened(bool ok, const qvplat::NamedObject& object, const std::string& more = "")
{
    if (!ok) {
        return "err " + std::to_string(object.Error());
    }
    return "ok " + std::to_string(object.Existed() ? 1 : 0) + more;
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
        in >> command;
        std::string answer = "err bad-command";
        if (command == "memory") {
            std::string name;
            std::size_t size = 0;
            in >> name >> size;
            const bool ok = memory.Create(name, size);
            answer = Opened(ok, memory, " " + std::to_string(memory.Size()));
        } else if (command == "put") {
            std::size_t offset = 0;
            std::string text;
            in >> offset >> text;
            if (offset + text.size() <= memory.Size()) {
                std::memcpy(static_cast<char*>(memory.Data()) + offset, text.data(), text.size());
                answer = "ok";
            }
        } else if (command == "get") {
            std::size_t offset = 0;
            std::size_t length = 0;
            in >> offset >> length;
            if (offset + length <= memory.Size()) {
                const char* at = static_cast<const char*>(memory.Data()) + offset;
                answer = "ok " + std::string(at, strnlen(at, length));
            }
        } else if (command == "mutex") {
            std::string name;
            in >> name;
            answer = Opened(mutex.Create(name), mutex);
        } else if (command == "lock") {
            unsigned ms = 0;
            in >> ms;
            answer = WaitText(mutex.Lock(ms));
        } else if (command == "unlock") {
            answer = mutex.Unlock() ? "ok" : "err";
        } else if (command == "event") {
            std::string name;
            in >> name;
            answer = Opened(event.Create(name), event);
        } else if (command == "set") {
            answer = event.Set() ? "ok" : "err";
        } else if (command == "wait") {
            unsigned ms = 0;
            in >> ms;
            answer = WaitText(event.Wait(ms));
        }
        std::cout << answer << std::endl;
    }
    return 0;
}
