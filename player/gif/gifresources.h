#pragma once
// The animations compiled into the player: "GIFBACKGROUND" (the control's
// background and the frame's default logo), "GIFWAIT", "GIFDETECT" and
// "GIFSTART" (shown while a live stream is awaited, detected and started).
// The GIF files live in resources/ and are turned into byte arrays when the
// player is built.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

struct GifResource
{
    const char* name;
    const std::uint8_t* data;
    std::size_t size;
};

// Every compiled-in animation.
std::span<const GifResource> GifResources();

// The animation with that name (compared without regard to case), or null.
const GifResource* FindGifResource(const std::string& name);
