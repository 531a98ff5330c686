#include "player/gif/gifbitmap.h"

#include <wx/image.h>
#include <wx/rawbmp.h>

wxBitmap GifFrameBitmap(const CGifImage& gif, std::size_t index, const wxColour& transparent)
{
    GifImageInfo info;
    if (!gif.GetImageInfo(index, info) || info.width == 0 || info.height == 0) {
        return wxBitmap();
    }
    const GifRgb colour{transparent.Red(), transparent.Green(), transparent.Blue()};
    // Straight into the bitmap's own pixels (24-bit RGB rows under GTK);
    // through an image when the toolkit does not hand them out.
    using Format = wxNativePixelData::Iterator::PixelFormat;
    static_assert(Format::SizePixel == 3 && Format::RED == 0 && Format::GREEN == 1 &&
                  Format::BLUE == 2);
    wxBitmap bitmap(info.width, info.height, 24);
    if (bitmap.IsOk()) {
        wxNativePixelData data(bitmap);
        if (data && data.GetRowStride() > 0) {
            wxNativePixelData::Iterator pixels(data);
            gif.ExpandFrame(index, colour, pixels.m_ptr,
                            static_cast<std::size_t>(data.GetRowStride()));
            return bitmap;
        }
    }
    wxImage image(info.width, info.height, false);
    gif.ExpandFrame(index, colour, image.GetData(), 3 * std::size_t{info.width});
    return wxBitmap(image);
}

std::vector<wxBitmap> GifFrameBitmaps(const CGifImage& gif, const wxColour& transparent)
{
    std::vector<wxBitmap> bitmaps;
    for (std::size_t i = 0; i < gif.GetFrameCount(); ++i) {
        bitmaps.push_back(GifFrameBitmap(gif, i, transparent));
    }
    return bitmaps;
}
