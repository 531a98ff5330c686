// GIF files for the decoder tests, written by giflib's encoder or put
// together by hand around our own LZW encoder; giflib's decoder as oracle.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace giftest {

using Bytes = std::vector<std::uint8_t>;

// Runs of random lengths, so that some parts compress well and some do not.
Bytes Pattern(int width, int height, int colours, unsigned seed);
// Red, green, blue bytes of that many colours.
Bytes Palette(int colours, unsigned seed);

struct EncodedImage
{
    int left = 0, top = 0, width = 1, height = 1;
    int localColours = 0; // 0: the global table
    bool interlaced = false;
    bool control = false; // with a graphic control extension of these:
    int delay = 0, transparent = -1, disposal = 0;
};

// Written by giflib; image i holds Pattern(width, height, colours, seed + i).
Bytes EncodeWithGiflib(int screenWidth, int screenHeight, int globalColours,
                       const std::vector<EncodedImage>& images, unsigned seed);

// LZW data of the pixels; with deferClear a full table is kept and used
// without a clear code.
Bytes LzwCodes(const Bytes& pixels, unsigned minCodeSize, bool deferClear = false);
// Codes of the given widths packed least significant bit first.
Bytes PackCodes(const std::vector<std::pair<unsigned, unsigned>>& codesAndWidths);

struct HandImage
{
    int width = 1, height = 1;
    Bytes control{}; // graphic control data; empty: no extension
    std::uint8_t minCodeSize = 8;
    Bytes data{}; // LZW data
    std::uint8_t flags = 0;
};

// GIF89a with the global table (empty: none), the images at (0, 0) and,
// unless told otherwise, the trailer.
Bytes HandGif(const Bytes& globalTable, const std::vector<HandImage>& images,
              bool trailer = true);
Bytes Control(int flags, int delay, int transparent);

// Both giflib's DGifSlurp and CGifImage load the file and agree on every
// image: position, size, colour table, delay (0 counting as 10 with more
// than one image), transparent index, disposal and pixels.
void ExpectSameAsGiflib(const Bytes& file, const std::string& what);

// A file name in a private temporary directory of the test process.
std::string TempPath(const std::string& name);

} // namespace giftest
