// Block bytes from another process are untrusted: arbitrary command data,
// listener lists, size records and status fields go through the engine's
// command handler, AddListener, Signal and GetSize.
#include "capture/engine/model/qvcaptureengine.h"
#include "platform/testsupport/tempfiles.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct NullHost : QvCaptureEngineHost
{
    void PostEngineMessage(unsigned) override {}
};

// Every directory the code may touch lies in a temporary directory of its
// own, removed at the end.
struct PrivateDirectories
{
    PrivateDirectories()
    {
        if (!root.Valid()) {
            std::abort();
        }
        for (const char* name : {"XDG_RUNTIME_DIR", "QV_WINDOWS_DIR", "QV_DRIVE_C_DIR",
                                 "QV_REGISTRY_DIR", "XDG_CONFIG_HOME", "HOME"}) {
            const std::string dir = root.File(name);
            std::filesystem::create_directories(dir);
            ::setenv(name, dir.c_str(), 1);
        }
    }
    qvtest::TempDir root{"qvfuzz"};
};

struct World
{
    PrivateDirectories directories; // first made, last gone
    NullHost host;
    QvCaptureEngine engine{host};
    QvSharedBlock block{"fz", 64};
    QvSharedMemory record{UtCString("fz") + QvSharedMemory::kSizeSuffix};
};

void Place(void* view, std::size_t room, const std::uint8_t*& data, std::size_t& size,
           std::size_t most)
{
    const std::size_t n = std::min({room, size, most});
    if (view != nullptr && n > 0) {
        std::memcpy(view, data, n);
    }
    data += n;
    size -= n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static World world;
    if (size < 2) {
        return 0;
    }
    const int code = static_cast<std::int8_t>(data[0]) % 10;
    const std::uint8_t lengths = data[1];
    data += 2;
    size -= 2;

    // A listener list, a size record and the status fields as another
    // process might have left them.
    Place(world.block.List().GetView(), QvSharedBlock::kListSize, data, size, lengths & 0x7F);
    Place(world.record.GetView(), QvSharedMemory::kSizeRecordSize, data, size, lengths >> 5);
    if (QvStatusBlock* status = world.engine.GetCapture().GetStatus()) {
        Place(status, sizeof(QvStatusBlock), data, size, lengths & 0x3F);
    }
    // No free slot, so that command 2 answers at once instead of listening.
    QvStore(world.engine.GetPresence()->freeSlots, 0);

    const std::string name(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 24));
    world.block.AddListener(name.c_str());
    world.block.Signal();
    (void)world.block.Data().GetSize();

    std::vector<std::uint8_t> command(data, data + std::min<std::size_t>(size, kQvChannelDataSize));
    command.resize(kQvChannelDataSize);
    world.engine.HandleCommand(code, command);
    return 0;
}
