#pragma once
// Where the player meets the playback objects: its stream controller and
// the handler that reads the controller's stream messages. Everything else
// in the player sees only player::StreamController and plain messages.

#include "player/model/streamcontroller.h"

#include <functional>
#include <memory>

class QvMessage;

namespace player {

// The controller the control owns; null when it cannot be made.
std::unique_ptr<StreamController> CreateStreamController();

// A handler for the player's stream-message queue: each stream message's
// number and value go to onMessage, other messages are ignored.
std::unique_ptr<QvMessage>
CreateStreamMessageHandler(std::function<void(int, unsigned long)> onMessage);

} // namespace player
