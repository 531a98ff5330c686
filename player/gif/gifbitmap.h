#pragma once
// Turns one decoded GIF image into a bitmap that a device context can draw.

#include "player/gif/gifimage.h"

#include <wx/bitmap.h>
#include <wx/colour.h>

#include <vector>

// A bitmap of the image's own size with its transparent colour replaced by
// the given one (the player passes black). An invalid bitmap for an index
// beyond the images or an image without pixels.
wxBitmap GifFrameBitmap(const CGifImage& gif, std::size_t index, const wxColour& transparent);

// The bitmaps of every image, in order.
std::vector<wxBitmap> GifFrameBitmaps(const CGifImage& gif, const wxColour& transparent);
