// GIF files for the decoder tests: written by giflib's encoder, or put
// together by hand around our own LZW encoder (which can also leave out the
// clear code when its table is full), and giflib's decoder as the oracle.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace giftest {

using Bytes = std::vector<std::uint8_t>;

// Pixels with runs of random lengths: some compress well, some do not.
Bytes Pattern(int width, int height, int colours, unsigned seed);
// A colour table of that many entries, as red, green, blue bytes.
Bytes Palette(int colours, unsigned seed);

// ---- giflib's encoder --------------------------------------------------------

struct EncodedImage
{
    int left = 0;
    int top = 0;
    int width = 1;
    int height = 1;
    int localColours = 0; // 0: the global table
    bool interlaced = false;
    bool control = false; // write a graphic control extension
    int delay = 0;
    int transparent = -1;
    int disposal = 0;
};

// A file with a global table of globalColours entries (0: none); the
// pixels of each image are Pattern(width, height, colours, seed + index).
Bytes EncodeWithGiflib(int screenWidth, int screenHeight, int globalColours,
                       const std::vector<EncodedImage>& images, unsigned seed);

// ---- Files by hand -------------------------------------------------------------

// LZW codes of the pixels as sub-block data; with deferClear a full table is
// kept and used instead of being cleared.
Bytes LzwCodes(const Bytes& pixels, unsigned minCodeSize, bool deferClear = false);
// Raw codes of the given widths, packed least significant bit first.
Bytes PackCodes(const std::vector<std::pair<unsigned, unsigned>>& codesAndWidths);

struct HandImage
{
    int width = 1;
    int height = 1;
    Bytes control{};    // graphic control extension data; empty: none
    std::uint8_t minCodeSize = 8;
    Bytes data{};       // LZW data, cut into sub-blocks when written
    std::uint8_t flags = 0;
    Bytes localTable{};
};

// GIF89a with the global table (red, green, blue bytes; empty: none), the
// images and, unless told otherwise, the trailer.
Bytes HandGif(const Bytes& globalTable, const std::vector<HandImage>& images,
              bool trailer = true);
// A graphic control extension's four data bytes.
Bytes Control(int flags, int delay, int transparent);

// ---- The oracle ------------------------------------------------------------------

// Decodes the file with giflib's DGifSlurp and with ours and checks that
// both succeed with the same images: position, size, colour table, delay
// (0 counting as 10 with more than one image), transparent index, disposal
// and every pixel index.
void ExpectSameAsGiflib(const Bytes& file, const std::string& what);

// ---- Files -----------------------------------------------------------------------

// A private directory, removed with its contents at the end.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path Path(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);

} // namespace giftest
