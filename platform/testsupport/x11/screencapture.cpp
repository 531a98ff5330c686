#include "platform/testsupport/x11/screencapture.h"

// Xlib's macros (None, Status, Bool...) clash with other headers, so this
// file includes nothing else of the program.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// The 8-bit value of a colour channel of a pixel, from the visual's mask.
std::uint8_t Channel(unsigned long pixel, unsigned long mask)
{
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1UL) == 0) {
        ++shift;
    }
    const unsigned long max = mask >> shift;
    const unsigned long value = (pixel & mask) >> shift;
    return static_cast<std::uint8_t>(value * 255UL / max);
}

} // namespace

namespace qvtest {

bool CaptureScreenRgb(int x, int y, int width, int height, std::vector<std::uint8_t>& rgb)
{
    if (width <= 0 || height <= 0) {
        return false;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    XImage* image =
        XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
    bool ok = false;
    if (image != nullptr) {
        rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
        std::size_t at = 0;
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                const unsigned long pixel = XGetPixel(image, column, row);
                rgb[at++] = Channel(pixel, image->red_mask);
                rgb[at++] = Channel(pixel, image->green_mask);
                rgb[at++] = Channel(pixel, image->blue_mask);
            }
        }
        XDestroyImage(image);
        ok = true;
    }
    XCloseDisplay(display);
    return ok;
}

} // namespace qvtest
