#pragma once
// Screenshots as wx images, for the drivers of window tests.

#include <wx/gdicmn.h>
#include <wx/image.h>

#include <cstddef>

namespace qvtest {

// What the X server shows in the rectangle right now; an image that is not
// Ok when the display cannot be read.
wxImage CaptureScreenImage(const wxRect& rect);

// The number of distinct colours in the image (0 for an image that is not Ok).
std::size_t CountColours(const wxImage& image);

} // namespace qvtest
