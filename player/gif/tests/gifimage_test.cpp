// The GIF decoder against giflib on files from giflib's encoder, from ffmpeg
// and our own animations, and on hand-made files that giflib would not
// write: deferred clear codes, bad lengths, truncation, oversize images.
#include "gif_test_helpers.h"

#include "core/testsupport/debuglog_capture.h"
#include "platform/testsupport/command.h"
#include "player/gif/gifimage.h"
#include "player/gif/gifresources.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <sys/stat.h>

namespace {

using namespace giftest;

TEST(GifOracle, FilesWrittenByGiflib)
{
    std::vector<EncodedImage> interlaced;
    for (int height = 1; height <= 17; ++height) {
        interlaced.push_back({.width = 18 - height, .height = height, .interlaced = true});
    }
    const std::vector<EncodedImage> localTables{
        {.left = 3, .top = 5, .width = 40, .height = 30, .localColours = 4},
        {.left = 20, .top = 1, .width = 44, .height = 47, .localColours = 16, .interlaced = true},
        {.width = 64, .height = 48, .localColours = 2}};
    const std::vector<EncodedImage> animation{
        {.width = 32, .height = 24, .control = true, .disposal = 1},
        {.left = 4, .top = 4, .width = 8, .height = 8, .control = true, .delay = 7,
         .transparent = 3, .disposal = 2},
        {.width = 32, .height = 24, .localColours = 128, .control = true, .delay = 65535,
         .transparent = 127, .disposal = 3},
        {.width = 5, .height = 3}};
    ExpectSameAsGiflib(EncodeWithGiflib(1, 1, 2, {{}}, 1), "1x1");
    ExpectSameAsGiflib(EncodeWithGiflib(640, 480, 256, {{.width = 640, .height = 480}}, 2),
                       "640x480");
    ExpectSameAsGiflib(EncodeWithGiflib(17, 17, 8, interlaced, 3), "interlaced, 1 to 17 rows");
    ExpectSameAsGiflib(EncodeWithGiflib(64, 48, 0, localTables, 4), "local tables at offsets");
    ExpectSameAsGiflib(EncodeWithGiflib(32, 24, 64, animation, 5), "animation");
    ExpectSameAsGiflib(EncodeWithGiflib(9, 9, 4, {{.width = 9, .height = 9, .control = true}}, 6),
                       "one image with delay 0");
}

TEST(GifOracle, AnimationMadeByFfmpeg)
{
    // ffmpeg's default: images cut to the changed rectangle, unchanged
    // pixels transparent, a colour table per image.
    const std::string file = TempPath("testsrc.gif");
    const qvtest::CommandResult made =
        qvtest::RunCommand({"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                            "testsrc2=s=96x64:r=10:d=1", "-y", file});
    if (!made.started) {
        GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    }
    ASSERT_TRUE(made.Succeeded()) << made.output;
    std::ifstream in(file, std::ios::binary);
    ExpectSameAsGiflib(Bytes(std::istreambuf_iterator<char>(in), {}), "ffmpeg testsrc2");
    std::remove(file.c_str());
}

TEST(GifOracle, CompiledInAnimationsAndFiles)
{
    for (const char* name : {"GIFBACKGROUND", "GIFWAIT", "GIFDETECT", "GIFSTART"}) {
        const GifResource* resource = FindGifResource(name);
        ASSERT_NE(resource, nullptr) << name;
        const Bytes bytes(resource->data, resource->data + resource->size);
        ExpectSameAsGiflib(bytes, name);

        const std::string file = TempPath("animation.gif");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        CGifImage fromFile;
        CGifImage fromResource;
        EXPECT_TRUE(fromFile.LoadFile(file));
        EXPECT_TRUE(fromResource.LoadResource(name));
        EXPECT_GT(fromFile.GetFrameCount(), 1u);
        EXPECT_EQ(fromFile.GetPixels(1), fromResource.GetPixels(1));
        std::remove(file.c_str());
        EXPECT_FALSE(fromFile.LoadFile(file));
        EXPECT_EQ(fromFile.GetFrameCount(), 0u);
    }
    CGifImage gif;
    EXPECT_TRUE(gif.LoadResource("GifWait"));
    EXPECT_FALSE(gif.LoadResource("GIFNONE"));
    EXPECT_EQ(gif.GetFrameCount(), 0u);

    // A logo named by a page may be a FIFO without a writer, a device or a
    // directory: refused at once, never waited on.
    const std::string fifo = TempPath("logo.gif");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/")}) {
        EXPECT_FALSE(gif.LoadFile(path)) << path;
    }
    std::remove(fifo.c_str());
}

TEST(GifDecoder, HandMadeFiles)
{
    const Bytes table = Palette(4, 5);
    const Bytes pixels = Pattern(6, 4, 4, 9);
    auto gif = [&](Bytes control, std::uint8_t minCodeSize = 2, Bytes data = {}) {
        return HandGif(table, {{.width = 6,
                                .height = 4,
                                .control = std::move(control),
                                .minCodeSize = minCodeSize,
                                .data = data.empty() ? LzwCodes(pixels, 2) : std::move(data)}});
    };
    Bytes badSignature = gif({});
    badSignature[4] = '8';
    Bytes unknownBlock = gif({});
    unknownBlock.insert(unknownBlock.end() - 1, 0x2A);
    Bytes bareExtension = gif({});
    bareExtension.back() = 0x21;
    Bytes noTrailer = gif({});
    noTrailer.pop_back();
    // Clear, three roots, then code 9 while 8 is the next free one.
    const Bytes beyondNext = PackCodes({{4, 3}, {1, 3}, {2, 3}, {9, 4}, {5, 4}});
    // Clear, then code 6, which is not defined yet.
    const Bytes undefinedFirst = PackCodes({{4, 3}, {6, 3}, {5, 3}});

    const std::pair<Bytes, bool> cases[] = {
        {gif({}), true},
        {noTrailer, false},
        {badSignature, false},
        {unknownBlock, false},
        {bareExtension, false},
        {gif({}, 8, LzwCodes(pixels, 8)), true},
        {gif({}, 9, LzwCodes(pixels, 8)), false},
        {gif(Control(0, 3, 0)), true},
        {gif({0, 3, 0}), false},
        {gif({0, 3, 0, 0, 0}), false},
        {gif({}, 2, beyondNext), false},
        {gif({}, 2, undefinedFirst), false},
    };
    int number = 0;
    for (const auto& [file, loads] : cases) {
        CGifImage image;
        EXPECT_EQ(image.LoadData(file.data(), file.size()), loads) << "case " << number;
        EXPECT_EQ(image.GetPixels(0), loads ? pixels : Bytes{}) << "case " << number++;
    }
}

TEST(GifDecoder, DelayZeroCountsAsTenOnlyWithSeveralImages)
{
    const HandImage image{.control = Control(0, 0, 0), .minCodeSize = 2, .data = LzwCodes({1}, 2)};
    for (const std::size_t count : {1u, 2u}) {
        const Bytes file = HandGif(Palette(4, 1), std::vector<HandImage>(count, image));
        CGifImage gif;
        GifImageInfo info;
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        ASSERT_TRUE(gif.GetImageInfo(count - 1, info));
        EXPECT_EQ(info.delay, count == 1 ? 0 : 10);
        // A timer never runs faster than every 10 ms.
        EXPECT_EQ(gif.GetIntervalMs(count - 1), count == 1 ? 10u : 100u);
        EXPECT_FALSE(gif.GetImageInfo(count, info));
    }
}

TEST(GifDecoder, FullTableWithoutClearCodeDecodesAsGiflibDoes)
{
    for (const unsigned minCodeSize : {2u, 8u}) {
        const Bytes pixels = Pattern(300, 200, 1 << minCodeSize, 17);
        const Bytes file = HandGif(Palette(1 << minCodeSize, 3),
                                   {{.width = 300,
                                     .height = 200,
                                     .minCodeSize = static_cast<std::uint8_t>(minCodeSize),
                                     .data = LzwCodes(pixels, minCodeSize, true)}});
        ExpectSameAsGiflib(file, "deferred clear, minimum code size " + std::to_string(minCodeSize));
        CGifImage gif;
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        EXPECT_EQ(gif.GetPixels(0), pixels);
    }
}

TEST(GifDecoder, EveryTruncationFailsAndLeavesTheDecoderEmpty)
{
    const Bytes file = EncodeWithGiflib(
        20, 10, 16,
        {{.width = 20, .height = 10, .control = true, .delay = 4},
         {.left = 2, .width = 9, .height = 7, .localColours = 4, .interlaced = true, .control = true}},
        77);
    CGifImage gif;
    for (std::size_t length = 0; length < file.size(); ++length) {
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        EXPECT_FALSE(gif.LoadData(file.data(), length)) << length;
        EXPECT_EQ(gif.GetFrameCount(), 0u) << length;
    }
}

TEST(GifDecoder, DataShorterOrLongerThanTheImage)
{
    Bytes partly(64, 0);
    std::fill(partly.begin(), partly.begin() + 10, 3);
    const std::tuple<int, int, std::uint8_t, Bytes> cases[] = {
        {8, 8, 0, partly}, {2, 2, 0, Bytes(4, 3)}, {0, 5, 0x40, {}}, {5, 0, 0x40, {}}};
    for (const auto& [width, height, flags, expected] : cases) {
        const Bytes file = HandGif(Palette(4, 2), {{.width = width,
                                                    .height = height,
                                                    .minCodeSize = 2,
                                                    .data = LzwCodes(Bytes(10, 3), 2),
                                                    .flags = flags}});
        CGifImage gif;
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        EXPECT_EQ(gif.GetPixels(0), expected);
    }
}

TEST(GifDecoder, TransparentColourAndIndicesBeyondTheTable)
{
    // Four colours; pixels 0 to 7, of which 4 to 7 lie beyond the table.
    const Bytes table = Palette(4, 8);
    const GifRgb grey{9, 9, 9};
    for (const int transparent : {-1, 2, 3, 4, 200}) {
        const Bytes file = HandGif(
            table, {{.width = 8,
                     .control = transparent < 0 ? Bytes{} : Control(1, 0, transparent),
                     .data = LzwCodes({0, 1, 2, 3, 4, 5, 6, 7}, 8)}});
        CGifImage gif;
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        Bytes rgb(8 * 3, 0xEE);
        ASSERT_TRUE(gif.ExpandFrame(0, grey, rgb.data(), rgb.size()));
        for (std::size_t i = 0; i < 8; ++i) {
            // Only an index inside the table is replaced.
            const GifRgb expected = i >= 4                           ? GifRgb{}
                                    : static_cast<int>(i) == transparent ? grey
                                    : GifRgb{table[3 * i], table[3 * i + 1], table[3 * i + 2]};
            EXPECT_EQ((GifRgb{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), expected)
                << "transparent " << transparent << ", pixel " << i;
        }
    }
}

TEST(GifDecoder, OversizeImagesFailWithALogLine)
{
    // One side over 16384, over 64 MiB of pixels, or four images of 64 MiB.
    const std::tuple<int, int, std::size_t> cases[] = {
        {16385, 1, 1}, {1, 16385, 1}, {16384, 4097, 1}, {16384, 4096, 4}};
    for (const auto& [width, height, count] : cases) {
        const HandImage image{
            .width = width, .height = height, .minCodeSize = 2, .data = LzwCodes({}, 2)};
        const Bytes file = HandGif(Palette(4, 1), std::vector<HandImage>(count, image));
        coretest::DebugLogCapture log;
        CGifImage gif;
        EXPECT_FALSE(gif.LoadData(file.data(), file.size(), "big.gif"));
        EXPECT_EQ(gif.GetFrameCount(), 0u);
        EXPECT_NE(log.Text().find("big.gif"), std::string::npos) << log.Text();
    }
}

} // namespace
