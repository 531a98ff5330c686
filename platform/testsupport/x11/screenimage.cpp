#include "platform/testsupport/x11/screenimage.h"

#include "platform/testsupport/x11/screencapture.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace qvtest {

wxImage CaptureScreenImage(const wxRect& rect)
{
    std::vector<std::uint8_t> rgb;
    if (!CaptureScreenRgb(rect.x, rect.y, rect.width, rect.height, rgb)) {
        return {};
    }
    wxImage image(rect.width, rect.height, false);
    std::copy(rgb.begin(), rgb.end(), image.GetData());
    return image;
}

std::size_t CountColours(const wxImage& image)
{
    if (!image.IsOk()) {
        return 0;
    }
    std::unordered_set<std::uint32_t> colours;
    const unsigned char* data = image.GetData();
    const std::size_t pixels =
        static_cast<std::size_t>(image.GetWidth()) * static_cast<std::size_t>(image.GetHeight());
    for (std::size_t i = 0; i < pixels; ++i) {
        colours.insert(std::uint32_t{data[3 * i]} << 16 | std::uint32_t{data[3 * i + 1]} << 8 |
                       data[3 * i + 2]);
    }
    return colours.size();
}

} // namespace qvtest
