#pragma once
// Reads a rectangle of the X display named by $DISPLAY as RGB bytes (three
// per pixel, rows top to bottom), through a connection of its own, so it
// sees what the X server shows right now.

#include <cstdint>
#include <vector>

namespace qvtest {

bool CaptureScreenRgb(int x, int y, int width, int height, std::vector<std::uint8_t>& rgb);

} // namespace qvtest
