// The GIF decoder against giflib on files from giflib's encoder, from ffmpeg
// and our own animations, and on hand-made files that giflib would not
// write: deferred clear codes, bad lengths, truncation, oversize images.
#include "gif_test_helpers.h"

#include "core/tests/support/debuglog_capture.h"
#include "platform/testsupport/command.h"
#include "player/gif/gifimage.h"
#include "player/gif/gifresources.h"

#include <gtest/gtest.h>

namespace {

using namespace giftest;

TEST(GifOracle, FilesWrittenByGiflib)
{
    struct Case
    {
        const char* what;
        int screenWidth, screenHeight, globalColours;
        std::vector<EncodedImage> images;
    };
    std::vector<EncodedImage> interlacedSizes;
    for (int height = 1; height <= 17; ++height) {
        interlacedSizes.push_back({.width = 18 - height, .height = height, .interlaced = true});
    }
    const Case cases[] = {
        {"1x1", 1, 1, 2, {{}}},
        {"640x480, 256 colours", 640, 480, 256, {{.width = 640, .height = 480}}},
        {"interlaced, 1 to 17 rows", 17, 17, 8, interlacedSizes},
        {"local tables at offsets",
         64,
         48,
         0,
         {{.left = 3, .top = 5, .width = 40, .height = 30, .localColours = 4},
          {.left = 20, .top = 1, .width = 44, .height = 47, .localColours = 16, .interlaced = true},
          {.width = 64, .height = 48, .localColours = 2}}},
        {"animation with delays, transparency and disposal",
         32,
         24,
         64,
         {{.width = 32, .height = 24, .control = true, .delay = 0, .disposal = 1},
          {.left = 4, .top = 4, .width = 8, .height = 8, .control = true, .delay = 7,
           .transparent = 3, .disposal = 2},
          {.width = 32, .height = 24, .localColours = 128, .control = true, .delay = 65535,
           .transparent = 127, .disposal = 3},
          {.width = 5, .height = 3}}},
        {"one image with delay 0", 9, 9, 4, {{.width = 9, .height = 9, .control = true}}},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        ExpectSameAsGiflib(
            EncodeWithGiflib(c.screenWidth, c.screenHeight, c.globalColours, c.images, seed++),
            c.what);
    }
}

TEST(GifOracle, AnimationMadeByFfmpeg)
{
    TempDir dir;
    const auto file = dir.Path("testsrc.gif");
    // ffmpeg's default encoding: images cut to the changed rectangle, with
    // unchanged pixels transparent.
    const qvtest::CommandResult made = qvtest::RunCommand(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
         "testsrc2=s=96x64:r=10:d=1", "-y", file.string()});
    if (!made.started) {
        GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    }
    ASSERT_TRUE(made.Succeeded()) << made.output;
    ExpectSameAsGiflib(ReadBytes(file), "ffmpeg testsrc2");
}

TEST(GifOracle, CompiledInAnimations)
{
    for (const char* name : {"GIFBACKGROUND", "GIFWAIT", "GIFDETECT", "GIFSTART"}) {
        const GifResource* resource = FindGifResource(name);
        ASSERT_NE(resource, nullptr) << name;
        ExpectSameAsGiflib(Bytes(resource->data, resource->data + resource->size), name);
        CGifImage gif;
        EXPECT_TRUE(gif.LoadResource(name));
        EXPECT_GT(gif.GetFrameCount(), 1u) << name;
    }
}

TEST(GifDecoder, HandMadeFiles)
{
    const Bytes table = Palette(4, 5);
    const Bytes pixels = Pattern(6, 4, 4, 9);
    const Bytes codes = LzwCodes(pixels, 2);
    auto image = [&](Bytes control = {}, std::uint8_t minCodeSize = 2, Bytes data = {}) {
        return HandImage{.width = 6,
                         .height = 4,
                         .control = std::move(control),
                         .minCodeSize = minCodeSize,
                         .data = data.empty() ? codes : std::move(data)};
    };
    Bytes badSignature = HandGif(table, {image()});
    badSignature[4] = '8';
    Bytes unknownBlock = HandGif(table, {image()});
    unknownBlock.insert(unknownBlock.end() - 1, 0x2A);
    Bytes bareExtension = HandGif(table, {image()}, false);
    bareExtension.push_back(0x21);
    // Clear, 4 roots, then code 9 while the next free code is 8.
    const Bytes beyondNext = PackCodes({{4, 3}, {1, 3}, {2, 3}, {9, 4}, {5, 4}});
    // Clear, then code 6: not in the table yet.
    const Bytes unknownFirst = PackCodes({{4, 3}, {6, 3}, {5, 3}});

    struct Case
    {
        const char* what;
        Bytes file;
        bool loads;
    };
    const Case cases[] = {
        {"plain", HandGif(table, {image()}), true},
        {"no trailer", HandGif(table, {image()}, false), false},
        {"GIF88a", badSignature, false},
        {"unknown block", unknownBlock, false},
        {"extension without label", bareExtension, false},
        {"minimum code size 8", HandGif(table, {image({}, 8, LzwCodes(pixels, 8))}), true},
        {"minimum code size 9", HandGif(table, {image({}, 9, LzwCodes(pixels, 8))}), false},
        {"graphic control of 4 bytes", HandGif(table, {image(Control(0, 3, 0))}), true},
        {"graphic control of 3 bytes", HandGif(table, {image({0, 3, 0})}), false},
        {"graphic control of 5 bytes", HandGif(table, {image({0, 3, 0, 0, 0})}), false},
        {"code beyond the next free one", HandGif(table, {image({}, 2, beyondNext)}), false},
        {"first code not in the table", HandGif(table, {image({}, 2, unknownFirst)}), false},
    };
    for (const Case& c : cases) {
        CGifImage gif;
        EXPECT_EQ(gif.LoadData(c.file.data(), c.file.size()), c.loads) << c.what;
        EXPECT_EQ(gif.GetFrameCount(), c.loads ? 1u : 0u) << c.what;
        if (c.loads) {
            EXPECT_EQ(gif.GetPixels(0), pixels) << c.what;
        }
    }
}

TEST(GifDecoder, DelayZeroCountsAsTenOnlyWithSeveralImages)
{
    const HandImage image{.control = Control(0, 0, 0), .minCodeSize = 2, .data = LzwCodes({1}, 2)};
    const Bytes one = HandGif(Palette(4, 1), {image});
    const Bytes two = HandGif(Palette(4, 1), {image, image});
    CGifImage gif;
    GifImageInfo info;
    ASSERT_TRUE(gif.LoadData(one.data(), one.size()));
    ASSERT_TRUE(gif.GetImageInfo(0, info));
    EXPECT_EQ(info.delay, 0);
    EXPECT_EQ(gif.GetIntervalMs(0), CGifImage::kMinIntervalMs);
    ASSERT_TRUE(gif.LoadData(two.data(), two.size()));
    for (std::size_t index : {0u, 1u}) {
        ASSERT_TRUE(gif.GetImageInfo(index, info));
        EXPECT_EQ(info.delay, 10);
        EXPECT_EQ(gif.GetIntervalMs(index), 100u);
    }
    EXPECT_FALSE(gif.GetImageInfo(2, info));
}

TEST(GifDecoder, FullTableWithoutClearCodeDecodesAsGiflibDoes)
{
    // Enough varied pixels to fill the 4096 codes several times over.
    for (const unsigned minCodeSize : {2u, 8u}) {
        const Bytes pixels = Pattern(300, 200, 1 << minCodeSize, 17);
        const Bytes file =
            HandGif(Palette(1 << minCodeSize, 3),
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
        const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(gif.LoadData(cut.data(), cut.size())) << length;
        EXPECT_EQ(gif.GetFrameCount(), 0u) << length;
    }
}

TEST(GifDecoder, DataShorterOrLongerThanTheImage)
{
    const Bytes ten(10, 3);
    struct Case
    {
        int width, height;
        std::uint8_t flags;
        Bytes expected;
    };
    Bytes partly(64, 0);
    std::fill(partly.begin(), partly.begin() + 10, 3);
    for (const Case& c : {Case{8, 8, 0, partly}, Case{2, 2, 0, Bytes(4, 3)},
                          Case{0, 5, 0x40, Bytes{}}, Case{5, 0, 0x40, Bytes{}}}) {
        const Bytes file = HandGif(Palette(4, 2), {{.width = c.width,
                                                    .height = c.height,
                                                    .minCodeSize = 2,
                                                    .data = LzwCodes(ten, 2),
                                                    .flags = c.flags}});
        CGifImage gif;
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        EXPECT_EQ(gif.GetPixels(0), c.expected);
    }
}

TEST(GifDecoder, ColoursOfAFrame)
{
    // Four colours; pixels 0..7, of which 4..7 lie beyond the table.
    const Bytes table = Palette(4, 8);
    const Bytes pixels{0, 1, 2, 3, 4, 5, 6, 7};
    const GifRgb grey{9, 9, 9};
    struct Case
    {
        int transparent; // -1: none
        int replaced;    // index that shows grey, -1: none
    };
    for (const Case c : {Case{-1, -1}, Case{2, 2}, Case{3, 3}, Case{4, -1}, Case{200, -1}}) {
        const Bytes control = c.transparent < 0 ? Bytes{} : Control(1, 0, c.transparent);
        const Bytes file = HandGif(
            table, {{.width = 8, .height = 1, .control = control, .data = LzwCodes(pixels, 8)}});
        CGifImage gif;
        ASSERT_TRUE(gif.LoadData(file.data(), file.size()));
        Bytes rgb(8 * 3, 0xEE);
        ASSERT_TRUE(gif.ExpandFrame(0, grey, rgb.data(), rgb.size()));
        for (std::size_t i = 0; i < 8; ++i) {
            GifRgb expected{};
            if (static_cast<int>(i) == c.replaced) {
                expected = grey;
            } else if (i < 4) {
                expected = {table[3 * i], table[3 * i + 1], table[3 * i + 2]};
            }
            EXPECT_EQ((GifRgb{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), expected)
                << "transparent " << c.transparent << ", pixel " << i;
        }
    }
}

TEST(GifDecoder, OversizeImagesFailBeforeAnythingIsAllocated)
{
    const Bytes nothing = LzwCodes({}, 2);
    struct Case
    {
        int width, height, count;
    };
    for (const Case c : {Case{16385, 1, 1}, Case{1, 16385, 1}, Case{16384, 4097, 1},
                         Case{16384, 4096, 4}}) {
        const HandImage image{.width = c.width, .height = c.height, .minCodeSize = 2, .data = nothing};
        const Bytes file = HandGif(Palette(4, 1), std::vector<HandImage>(c.count, image));
        coretest::DebugLogCapture log;
        CGifImage gif;
        EXPECT_FALSE(gif.LoadData(file.data(), file.size(), "big.gif"));
        EXPECT_EQ(gif.GetFrameCount(), 0u);
        EXPECT_NE(log.Text().find("big.gif"), std::string::npos) << log.Text();
    }
}

TEST(GifDecoder, ASecondFileNeverShowsTheFirstOnesColours)
{
    const HandImage image{.width = 2, .minCodeSize = 2, .data = LzwCodes({0, 1}, 2)};
    const Bytes coloured = HandGif(Palette(2, 4), {image});
    const Bytes noTable = HandGif({}, {image});
    CGifImage gif;
    ASSERT_TRUE(gif.LoadData(coloured.data(), coloured.size()));
    ASSERT_TRUE(gif.LoadData(noTable.data(), noTable.size()));
    EXPECT_EQ(gif.GetPalette(0), std::vector<GifRgb>(2));
}

TEST(GifDecoder, FilesAndNamedAnimations)
{
    TempDir dir;
    const GifResource* wait = FindGifResource("GIFWAIT");
    ASSERT_NE(wait, nullptr);
    WriteBytes(dir.Path("wait.gif"), Bytes(wait->data, wait->data + wait->size));
    CGifImage fromFile;
    CGifImage fromResource;
    ASSERT_TRUE(fromFile.LoadFile(dir.Path("wait.gif").string()));
    ASSERT_TRUE(fromResource.LoadResource("GifWait"));
    ASSERT_EQ(fromFile.GetFrameCount(), fromResource.GetFrameCount());
    EXPECT_EQ(fromFile.GetPixels(1), fromResource.GetPixels(1));

    EXPECT_FALSE(fromFile.LoadFile(dir.Path("missing.gif").string()));
    EXPECT_EQ(fromFile.GetFrameCount(), 0u);
    EXPECT_FALSE(fromResource.LoadResource("GIFNONE"));
    EXPECT_EQ(fromResource.GetFrameCount(), 0u);
}

} // namespace
