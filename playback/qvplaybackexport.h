#pragma once
// Marks what the shared library playback exports to its host.
#define QV_PLAYBACK_API __attribute__((visibility("default")))
