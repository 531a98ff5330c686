#include "capture/channel/qvblocks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

void QvPresenceDefaults(QvPresenceBlock& block)
{
    QvStore(block.running, 0);
    QvStore(block.freeSlots, 1);
}

void QvStatusDefaults(QvStatusBlock& block)
{
    QvStore(block.attached, 0);
    QvStore(block.slot, 0);
    QvStore(block.state, 0);
    QvStore(block.duration, kQvDefaultDuration);
    QvStore(block.startTime, 0);
    QvStore(block.elapsed, 0);
    QvStore(block.stopThreshold, kQvDefaultStopThreshold);
    QvStore(block.bytesCaptured, 0.0);
    QvStore(block.lock, 0);
    QvStore(block.stopReason, kQvReasonNone);
}

namespace {

void AppendEscaped(UtCString& name, const char* part)
{
    if (part == nullptr) {
        return;
    }
    for (const char* p = part; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const bool plain = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= 'a' && byte <= 'z') || byte == '.' || byte == '-' ||
                           byte == '_';
        if (plain) {
            name.append(p, 1);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            name.append(escaped);
        }
    }
}

// The text from `at` up to its NUL or the end of the data; `at` moves past
// the NUL.
std::string TakeText(std::span<const std::uint8_t> data, std::size_t& at)
{
    if (at >= data.size()) {
        return {};
    }
    const auto* begin = data.data() + at;
    const auto* end = std::find(begin, data.data() + data.size(), std::uint8_t{0});
    at += static_cast<std::size_t>(end - begin) + 1;
    return std::string(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
}

} // namespace

UtCString QvStatusBlockName(const char* address, const char* port, const char* sessionId)
{
    UtCString name(kQvStatusPrefix);
    AppendEscaped(name, address);
    AppendEscaped(name, port);
    AppendEscaped(name, sessionId);
    return name;
}

std::string QvInitializeData(const char* sessionText, const char* address, const char* port)
{
    std::string data = sessionText != nullptr ? sessionText : "";
    data.push_back('\0');
    if (data.size() == 1) {
        data.append(address != nullptr ? address : "");
        data.push_back('\0');
        data.append(port != nullptr ? port : "");
        data.push_back('\0');
    }
    return data;
}

QvInitializeRequest QvParseInitializeData(std::span<const std::uint8_t> data)
{
    QvInitializeRequest request;
    std::size_t at = 0;
    request.sessionText = TakeText(data, at);
    if (request.sessionText.empty()) {
        request.address = TakeText(data, at);
        request.port = TakeText(data, at);
    }
    return request;
}
