#include "gif_test_helpers.h"
#include "giflib_memory.h"

#include "player/gif/gifimage.h"

#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <unistd.h>

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
    const Bytes table = Palette(colours, seed);
    return colours == 0
               ? nullptr
               : GifMakeMapObject(colours, reinterpret_cast<const GifColorType*>(table.data()));
}

int WriteToBytes(GifFileType* gif, const GifByteType* data, int length)
{
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

void PutLe16(Bytes& out, int value)
{
    out.insert(out.end(), {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
}

} // namespace

Bytes EncodeWithGiflib(int screenWidth, int screenHeight, int globalColours,
                       const std::vector<EncodedImage>& images, unsigned seed)
{
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = MakeMap(globalColours, seed);
    EXPECT_EQ(EGifPutScreenDesc(gif, screenWidth, screenHeight, 8, 0, global), GIF_OK);
    for (std::size_t index = 0; index < images.size(); ++index) {
        const EncodedImage& image = images[index];
        if (image.control) {
            const GraphicsControlBlock block{image.disposal, false, image.delay, image.transparent};
            GifByteType extension[4];
            EGifGCBToExtension(&block, extension);
            EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension);
        }
        ColorMapObject* local = MakeMap(image.localColours, seed + 100 + unsigned(index));
        if (local == nullptr && gif->Image.ColorMap != nullptr) {
            // giflib forgets, without freeing, the previous image's table
            // when the next one has none.
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        EXPECT_EQ(EGifPutImageDesc(gif, image.left, image.top, image.width, image.height,
                                   image.interlaced, local),
                  GIF_OK);
        GifFreeMapObject(local);
        Bytes pixels = Pattern(image.width, image.height,
                               image.localColours != 0 ? image.localColours : globalColours,
                               seed + unsigned(index));
        // giflib writes rows in the order given: interlaced ones in passes.
        for (const auto& [start, step] : image.interlaced
                                             ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8},
                                                                                {2, 4}, {1, 2}}
                                             : std::vector<std::pair<int, int>>{{0, 1}}) {
            for (int row = start; row < image.height; row += step) {
                EGifPutLine(gif, pixels.data() + row * image.width, image.width);
            }
        }
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
    unsigned width = 0;
    unsigned next = 0;
    auto restart = [&] {
        codes.emplace_back(clear, width == 0 ? minCodeSize + 1 : width);
        table.clear();
        width = minCodeSize + 1;
        next = clear + 2;
    };
    restart();
    unsigned prefix = pixels.empty() ? 0 : pixels[0];
    for (std::size_t i = 1; i < pixels.size(); ++i) {
        const auto found = table.find({prefix, pixels[i]});
        if (found != table.end()) {
            prefix = found->second;
            continue;
        }
        codes.emplace_back(prefix, width);
        if (next < 4096) {
            // The decoder defines each entry one code later and widens its
            // codes once the entry after that one no longer fits.
            table[{prefix, pixels[i]}] = next++;
            width += next == (1u << width) + 1 && width < 12 ? 1 : 0;
        } else if (!deferClear) {
            restart();
        }
        prefix = pixels[i];
    }
    if (!pixels.empty()) {
        codes.emplace_back(prefix, width);
        width += next == (1u << width) && width < 12 ? 1 : 0;
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
        for (count += width; count >= 8; count -= 8, bits >>= 8) {
            out.push_back(static_cast<std::uint8_t>(bits));
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
    PutLe16(out, 1);
    PutLe16(out, 1);
    int bits = 0;
    while ((std::size_t{6} << bits) < globalTable.size()) {
        ++bits;
    }
    out.insert(out.end(), {static_cast<std::uint8_t>(globalTable.empty() ? 0 : 0x80 | bits), 0, 0});
    out.insert(out.end(), globalTable.begin(), globalTable.end());
    auto putBlocks = [&out](const Bytes& data) {
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::size_t length = std::min<std::size_t>(255, data.size() - at);
            out.push_back(static_cast<std::uint8_t>(length));
            out.insert(out.end(), data.begin() + std::ptrdiff_t(at),
                       data.begin() + std::ptrdiff_t(at + length));
        }
        out.push_back(0);
    };
    for (const HandImage& image : images) {
        if (!image.control.empty()) {
            out.insert(out.end(), {0x21, 0xF9});
            putBlocks(image.control);
        }
        out.push_back(0x2C);
        PutLe16(out, 0);
        PutLe16(out, 0);
        PutLe16(out, image.width);
        PutLe16(out, image.height);
        out.insert(out.end(), {image.flags, image.minCodeSize});
        putBlocks(image.data);
    }
    if (trailer) {
        out.push_back(0x3B);
    }
    return out;
}

Bytes Control(int flags, int delay, int transparent)
{
    return {static_cast<std::uint8_t>(flags), static_cast<std::uint8_t>(delay),
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
    for (std::size_t index = 0; index < ours.GetFrameCount(); ++index) {
        SCOPED_TRACE("image " + std::to_string(index));
        const GifImageDesc& desc = gif->SavedImages[index].ImageDesc;
        GraphicsControlBlock block;
        DGifSavedExtensionToGCB(gif, static_cast<int>(index), &block);
        GifImageInfo info;
        ours.GetImageInfo(index, info);
        EXPECT_EQ((std::vector<int>{info.left, info.top, info.width, info.height, info.delay,
                                    info.transparent, info.disposal}),
                  (std::vector<int>{desc.Left, desc.Top, desc.Width, desc.Height,
                                    block.DelayTime == 0 && gif->ImageCount > 1 ? 10
                                                                                : block.DelayTime,
                                    block.TransparentColor < 0 ? CGifImage::kNoTransparency
                                                               : block.TransparentColor,
                                    block.DisposalMode << 2}));
        const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
        ASSERT_NE(map, nullptr);
        std::vector<GifRgb> palette;
        for (int i = 0; i < map->ColorCount; ++i) {
            palette.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
        }
        EXPECT_TRUE(ours.GetPalette(index) == palette);
        const GifByteType* raster = gif->SavedImages[index].RasterBits;
        EXPECT_TRUE(ours.GetPixels(index) ==
                    Bytes(raster, raster + std::size_t(desc.Width) * std::size_t(desc.Height)));
    }
    DGifCloseFile(gif, &error);
}

std::string TempPath(const std::string& name)
{
    // One private directory for the test process, removed when it ends.
    static const qvtest::TempDir dir("giftest");
    return dir.File(name);
}

} // namespace giftest
