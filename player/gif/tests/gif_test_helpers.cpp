#include "gif_test_helpers.h"
#include "giflib_memory.h"

#include "player/gif/gifimage.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdlib.h>

namespace giftest {

Bytes Pattern(int width, int height, int colours, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < pixels.size();) {
        const auto value = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(colours));
        for (std::size_t run = 1 + rng() % 12; run > 0 && i < pixels.size(); --run) {
            pixels[i++] = value;
        }
    }
    return pixels;
}

Bytes Palette(int colours, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes table(3 * static_cast<std::size_t>(colours));
    for (auto& byte : table) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return table;
}

namespace {

ColorMapObject* MakeMap(int colours, unsigned seed)
{
    if (colours == 0) {
        return nullptr;
    }
    const Bytes table = Palette(colours, seed);
    return GifMakeMapObject(colours, reinterpret_cast<const GifColorType*>(table.data()));
}

int WriteToBytes(GifFileType* gif, const GifByteType* data, int length)
{
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

void PutSubBlocks(Bytes& out, const Bytes& data)
{
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t length = std::min<std::size_t>(255, data.size() - at);
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    out.push_back(0);
}

void PutLe16(Bytes& out, int value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

int TableBits(std::size_t entries)
{
    int bits = 1;
    while ((std::size_t{2} << (bits - 1)) < entries) {
        ++bits;
    }
    return bits;
}

} // namespace

Bytes EncodeWithGiflib(int screenWidth, int screenHeight, int globalColours,
                       const std::vector<EncodedImage>& images, unsigned seed)
{
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
    EXPECT_NE(gif, nullptr) << error;
    if (gif == nullptr) {
        return out;
    }
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = MakeMap(globalColours, seed);
    EXPECT_EQ(EGifPutScreenDesc(gif, screenWidth, screenHeight, 8, 0, global), GIF_OK);
    for (std::size_t index = 0; index < images.size(); ++index) {
        const EncodedImage& image = images[index];
        if (image.control) {
            const GraphicsControlBlock block{image.disposal, false, image.delay,
                                             image.transparent};
            GifByteType extension[4];
            EGifGCBToExtension(&block, extension);
            EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension), GIF_OK);
        }
        ColorMapObject* local = MakeMap(image.localColours, seed + 100 + unsigned(index));
        if (local == nullptr && gif->Image.ColorMap != nullptr) {
            // giflib drops its copy of the previous image's table without
            // freeing it when the next image has none.
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        EXPECT_EQ(EGifPutImageDesc(gif, image.left, image.top, image.width, image.height,
                                   image.interlaced, local),
                  GIF_OK);
        const int colours = image.localColours != 0 ? image.localColours : globalColours;
        Bytes pixels = Pattern(image.width, image.height, colours, seed + unsigned(index));
        std::vector<int> rows;
        if (image.interlaced) {
            for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
                for (int row = start; row < image.height; row += step) {
                    rows.push_back(row);
                }
            }
        } else {
            for (int row = 0; row < image.height; ++row) {
                rows.push_back(row);
            }
        }
        for (const int row : rows) {
            EXPECT_EQ(EGifPutLine(gif, pixels.data() + row * image.width, image.width), GIF_OK);
        }
        GifFreeMapObject(local);
    }
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK) << error;
    GifFreeMapObject(global);
    return out;
}

Bytes LzwCodes(const Bytes& pixels, unsigned minCodeSize, bool deferClear)
{
    const unsigned clear = 1u << minCodeSize;
    std::vector<std::pair<unsigned, unsigned>> codes;
    std::map<std::pair<unsigned, std::uint8_t>, unsigned> table;
    unsigned width = minCodeSize + 1;
    unsigned next = clear + 2;
    auto restart = [&] {
        codes.emplace_back(clear, width);
        table.clear();
        width = minCodeSize + 1;
        next = clear + 2;
    };
    restart();
    if (!pixels.empty()) {
        unsigned prefix = pixels[0];
        for (std::size_t i = 1; i < pixels.size(); ++i) {
            const auto found = table.find({prefix, pixels[i]});
            if (found != table.end()) {
                prefix = found->second;
                continue;
            }
            codes.emplace_back(prefix, width);
            if (next < 4096) {
                table[{prefix, pixels[i]}] = next++;
                // The decoder defines this entry one code later, and widens
                // its codes once the entry after it no longer fits.
                if (next == (1u << width) + 1 && width < 12) {
                    ++width;
                }
            } else if (!deferClear) {
                restart();
            }
            prefix = pixels[i];
        }
        codes.emplace_back(prefix, width);
        // The decoder defines one more entry on reading that last code.
        if (next == (1u << width) && width < 12) {
            ++width;
        }
    }
    codes.emplace_back(clear + 1, width);
    return PackCodes(codes);
}

Bytes PackCodes(const std::vector<std::pair<unsigned, unsigned>>& codesAndWidths)
{
    Bytes out;
    std::uint32_t bits = 0;
    unsigned count = 0;
    for (const auto& [code, width] : codesAndWidths) {
        bits |= code << count;
        count += width;
        while (count >= 8) {
            out.push_back(static_cast<std::uint8_t>(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    }
    if (count > 0) {
        out.push_back(static_cast<std::uint8_t>(bits));
    }
    return out;
}

Bytes HandGif(const Bytes& globalTable, const std::vector<HandImage>& images, bool trailer)
{
    Bytes out{'G', 'I', 'F', '8', '9', 'a'};
    int width = 1;
    int height = 1;
    for (const HandImage& image : images) {
        width = std::max(width, image.width);
        height = std::max(height, image.height);
    }
    PutLe16(out, width);
    PutLe16(out, height);
    out.push_back(globalTable.empty()
                      ? 0
                      : static_cast<std::uint8_t>(0x80 | (TableBits(globalTable.size() / 3) - 1)));
    out.push_back(0);
    out.push_back(0);
    out.insert(out.end(), globalTable.begin(), globalTable.end());
    for (const HandImage& image : images) {
        if (!image.control.empty()) {
            out.push_back(0x21);
            out.push_back(0xF9);
            PutSubBlocks(out, image.control);
        }
        out.push_back(0x2C);
        PutLe16(out, 0);
        PutLe16(out, 0);
        PutLe16(out, image.width);
        PutLe16(out, image.height);
        std::uint8_t flags = image.flags;
        if (!image.localTable.empty()) {
            flags = static_cast<std::uint8_t>(flags | 0x80 | (TableBits(image.localTable.size() / 3) - 1));
        }
        out.push_back(flags);
        out.insert(out.end(), image.localTable.begin(), image.localTable.end());
        out.push_back(image.minCodeSize);
        PutSubBlocks(out, image.data);
    }
    if (trailer) {
        out.push_back(0x3B);
    }
    return out;
}

Bytes Control(int flags, int delay, int transparent)
{
    return {static_cast<std::uint8_t>(flags), static_cast<std::uint8_t>(delay & 0xFF),
            static_cast<std::uint8_t>(delay >> 8), static_cast<std::uint8_t>(transparent)};
}

void ExpectSameAsGiflib(const Bytes& file, const std::string& what)
{
    SCOPED_TRACE(what);
    CGifImage ours;
    ASSERT_TRUE(ours.LoadData(file.data(), file.size(), what));

    GiflibSource source{&file};
    int error = 0;
    GifFileType* gif = OpenWithGiflib(source, error);
    ASSERT_NE(gif, nullptr) << error;
    ASSERT_EQ(DGifSlurp(gif), GIF_OK) << gif->Error;
    ASSERT_EQ(ours.GetFrameCount(), static_cast<std::size_t>(gif->ImageCount));
    for (int index = 0; index < gif->ImageCount; ++index) {
        SCOPED_TRACE("image " + std::to_string(index));
        const SavedImage& theirs = gif->SavedImages[index];
        const GifImageDesc& desc = theirs.ImageDesc;
        GifImageInfo info;
        ASSERT_TRUE(ours.GetImageInfo(static_cast<std::size_t>(index), info));
        EXPECT_EQ(info.left, desc.Left);
        EXPECT_EQ(info.top, desc.Top);
        EXPECT_EQ(info.width, desc.Width);
        EXPECT_EQ(info.height, desc.Height);

        GraphicsControlBlock block;
        DGifSavedExtensionToGCB(gif, index, &block);
        const int delay = block.DelayTime == 0 && gif->ImageCount > 1 ? 10 : block.DelayTime;
        EXPECT_EQ(info.delay, delay);
        EXPECT_EQ(info.transparent,
                  block.TransparentColor < 0 ? CGifImage::kNoTransparency : block.TransparentColor);
        EXPECT_EQ(info.disposal, block.DisposalMode << 2);

        const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
        ASSERT_NE(map, nullptr);
        const std::vector<GifRgb>& palette = ours.GetPalette(static_cast<std::size_t>(index));
        ASSERT_EQ(palette.size(), static_cast<std::size_t>(map->ColorCount));
        for (int i = 0; i < map->ColorCount; ++i) {
            const GifRgb expected{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue};
            EXPECT_EQ(palette[static_cast<std::size_t>(i)], expected) << "colour " << i;
        }
        const Bytes expected(theirs.RasterBits,
                             theirs.RasterBits + std::size_t(desc.Width) * std::size_t(desc.Height));
        EXPECT_TRUE(ours.GetPixels(static_cast<std::size_t>(index)) == expected);
    }
    DGifCloseFile(gif, &error);
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qvgif-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        m_path = pattern;
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_path.empty()) {
        std::filesystem::remove_all(m_path, ignored);
    }
}

Bytes ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace giftest
