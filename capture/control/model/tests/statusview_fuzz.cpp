// Status blocks come from another process: any 48 bytes (NaN, negative or
// huge fields) go through the status window's model, which must show
// well-formed texts and keep the bar within its range.
#include "capture/control/model/qvstatusview.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QvStatusBlock status{};
    std::memcpy(&status, data, std::min(size, sizeof status));
    QvStatusView view;
    view.Start(status.duration);
    view.Tick(status);
    const std::string& time = view.GetTimeText();
    const std::string& bytes = view.GetBytesText();
    const bool ok =
        view.GetRange() >= 1 && view.GetPosition() >= 0 && view.GetPosition() <= view.GetRange() &&
        time.size() == 8 && time[2] == ':' && time[5] == ':' && bytes.size() >= 6 &&
        bytes.compare(bytes.size() - 3, 3, " MB") == 0 && bytes[0] >= '0' && bytes[0] <= '9';
    if (!ok) {
        std::abort();
    }
    return 0;
}
