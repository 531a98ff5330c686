// Built while the playback objects are missing from the tree: no stream
// controller, and no stream messages to read.
#include "player/playbackbridge.h"

#include "core/threads/qvmessage.h"

namespace player {

std::unique_ptr<StreamController> CreateStreamController()
{
    return nullptr;
}

std::unique_ptr<QvMessage> CreateStreamMessageHandler(std::function<void(int, unsigned long)>)
{
    return std::make_unique<QvMessage>();
}

} // namespace player
