#pragma once
// GIF decoder for the player's animations.
//
// CGifImage reads a GIF87a or GIF89a file, an animation compiled into the
// player, or bytes in memory, and decodes every image at load time into an
// 8-bit colour-index buffer (width x height bytes, rows top to bottom,
// interlaced images already put in order) with the image's own colour
// table. Each timer tick of an animation then only expands one prepared
// image into a bitmap; the window side of that lives beside this class.
//
// The decoder reads the blocks of the file in order: extensions are
// skipped, except a graphic control extension, whose four bytes (flags,
// delay, transparent index) belong to the next image; an extension of that
// kind with any other length, a missing trailer, truncated data or an
// invalid LZW code fails the whole file. Pixels that the compressed data
// does not reach stay 0.
//
// Limits, checked before anything is allocated: an image may be at most
// 16384 pixels on a side and 64 MiB of pixels; all images of one file
// together may take at most 256 MiB (pixels and colour tables); a file is
// read only up to 256 MiB. Anything over them fails the load with a line in
// the debug log.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct GifRgb
{
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;

    friend bool operator==(const GifRgb&, const GifRgb&) = default;
};

// What the player needs to know about one image.
struct GifImageInfo
{
    std::uint16_t left = 0;
    std::uint16_t top = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    // Hundredths of a second; 0 counts as 10 in a file with more than one
    // image.
    std::uint16_t delay = 0;
    // kNoTransparency when the image has none.
    std::uint16_t transparent = 0;
    // The disposal bits of the graphic control flags (flags AND 0x1C).
    std::uint8_t disposal = 0;
};

class CGifImage
{
public:
    static constexpr std::uint16_t kNoTransparency = 0xFFFF;
    static constexpr std::size_t kMaxSide = 16384;
    static constexpr std::size_t kMaxImagePixels = std::size_t{64} << 20;
    static constexpr std::size_t kMaxTotalBytes = std::size_t{256} << 20;
    static constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;
    // Shortest timer period of an animation.
    static constexpr unsigned kMinIntervalMs = 10;

    // Each load first empties the decoder; on failure it stays empty.
    // An animation compiled into the player, by name ("GIFWAIT").
    bool LoadResource(const std::string& name);
    // A GIF file.
    bool LoadFile(const std::string& path);
    // GIF bytes in memory; label names them in the debug log.
    bool LoadData(const std::uint8_t* data, std::size_t size, const std::string& label = "memory");

    // Frees everything: images, colour tables and screen values.
    void Reset();

    // Number of decoded images; 0 when nothing is loaded.
    std::size_t GetFrameCount() const { return m_frames.size(); }
    // False for an index beyond the images.
    bool GetImageInfo(std::size_t index, GifImageInfo& info) const;
    // The image's colour indices (width x height, rows top to bottom);
    // empty for an index beyond the images.
    const std::vector<std::uint8_t>& GetPixels(std::size_t index) const;
    // The image's colour table (local, else the global one).
    const std::vector<GifRgb>& GetPalette(std::size_t index) const;
    // Timer period for showing the image: its delay in milliseconds, never
    // below kMinIntervalMs. 0 for an index beyond the images.
    unsigned GetIntervalMs(std::size_t index) const;

    // Writes the image as 24-bit RGB (red, green, blue per pixel) into rgb,
    // rows stride bytes apart, with the image's transparent colour (if any)
    // replaced by the given colour. Indices beyond the colour table come out
    // black. False (nothing written) for an index beyond the images.
    bool ExpandFrame(std::size_t index, GifRgb transparentColour, std::uint8_t* rgb,
                     std::size_t stride) const;

    std::uint16_t GetScreenWidth() const { return m_screenWidth; }
    std::uint16_t GetScreenHeight() const { return m_screenHeight; }

private:
    struct Frame
    {
        GifImageInfo info;
        std::vector<GifRgb> palette;
        std::vector<std::uint8_t> pixels;
    };

    bool Decode(const std::uint8_t* data, std::size_t size, const std::string& label);

    std::uint16_t m_screenWidth = 0;
    std::uint16_t m_screenHeight = 0;
    std::vector<Frame> m_frames;
};
