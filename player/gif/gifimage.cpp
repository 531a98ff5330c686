#include "player/gif/gifimage.h"

#include "core/settings/qvlog.h"
#include "player/gif/gifresources.h"

#include "platform/file.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImageSeparator = 0x2C;
constexpr std::uint8_t kGraphicControl = 0xF9;
constexpr unsigned kMaxCodeBits = 12;
constexpr unsigned kTableSize = 1u << kMaxCodeBits;

// Logs why a load failed; returns false for the caller to pass on.
bool Fail(const std::string& label, const char* format, ...) QV_PRINTF_FORMAT(2, 3);

bool Fail(const std::string& label, const char* format, ...)
{
    char text[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    QvDebugMsg("CGifImage: %s: %s", label.c_str(), text);
    return false;
}

// Reads the file's bytes in order; every read is checked against the end.
class ByteReader
{
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::size_t Position() const { return m_at; }

    bool Byte(std::uint8_t& value)
    {
        if (m_at >= m_size) {
            return false;
        }
        value = m_data[m_at++];
        return true;
    }

    bool Take(std::size_t count, const std::uint8_t*& bytes)
    {
        if (count > m_size - m_at) {
            return false;
        }
        bytes = m_data + m_at;
        m_at += count;
        return true;
    }

    // Data sub-blocks up to and including the zero length, appended to out
    // (or skipped when out is null). False when the data ends first.
    bool SubBlocks(std::vector<std::uint8_t>* out)
    {
        for (;;) {
            std::uint8_t length = 0;
            const std::uint8_t* bytes = nullptr;
            if (!Byte(length)) {
                return false;
            }
            if (length == 0) {
                return true;
            }
            if (!Take(length, bytes)) {
                return false;
            }
            if (out != nullptr) {
                out->insert(out->end(), bytes, bytes + length);
            }
        }
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

std::uint16_t Le16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

enum class LzwResult {
    Done,
    BadCode,
};

// Decodes the LZW codes in data (least significant bit first) into pixels.
// A clear code restarts the table, the end code or the end of the data
// finishes. Bytes beyond the buffer are dropped. A full table stays as it is
// until the next clear code. A code beyond the next free one, or a first
// code after a clear code that is not in the table, is invalid.
LzwResult DecodeLzw(unsigned minCodeSize, const std::vector<std::uint8_t>& data,
                    std::uint8_t* pixels, std::size_t total)
{
    const unsigned clear = 1u << minCodeSize;
    const unsigned end = clear + 1;
    std::array<std::uint16_t, kTableSize> prefix;
    std::array<std::uint8_t, kTableSize> suffix;
    std::array<std::uint8_t, kTableSize> first;
    std::array<std::uint16_t, kTableSize> length;
    for (unsigned code = 0; code < clear; ++code) {
        first[code] = static_cast<std::uint8_t>(code);
        length[code] = 1;
    }
    unsigned next = clear + 2;
    unsigned width = minCodeSize + 1;
    unsigned previous = kTableSize; // none
    std::size_t out = 0;

    std::uint32_t bits = 0;
    unsigned bitCount = 0;
    std::size_t at = 0;
    const std::size_t size = data.size();
    for (;;) {
        while (bitCount < width) {
            if (at == size) {
                return LzwResult::Done;
            }
            bits |= static_cast<std::uint32_t>(data[at++]) << bitCount;
            bitCount += 8;
        }
        const unsigned code = bits & ((1u << width) - 1);
        bits >>= width;
        bitCount -= width;

        if (code == clear) {
            next = clear + 2;
            width = minCodeSize + 1;
            previous = kTableSize;
            continue;
        }
        if (code == end) {
            return LzwResult::Done;
        }
        if (previous == kTableSize) {
            if (code > end) {
                return LzwResult::BadCode;
            }
        } else {
            if (code > next) {
                return LzwResult::BadCode;
            }
            if (next < kTableSize) {
                // The previous string plus the first byte of this one; for
                // the code being defined right now that is the previous
                // string's own first byte.
                prefix[next] = static_cast<std::uint16_t>(previous);
                suffix[next] = code == next ? first[previous] : first[code];
                first[next] = first[previous];
                length[next] = static_cast<std::uint16_t>(length[previous] + 1);
                ++next;
            }
        }
        // The width grows once the next free code no longer fits it (for
        // minimum code sizes 0 and 1 that is already after the first code).
        if (next >= (1u << width) && width < kMaxCodeBits) {
            ++width;
        }
        previous = code;

        // Output the string of the code, written back to front.
        const std::size_t count = length[code];
        if (out >= total) {
            continue;
        }
        if (count <= total - out) {
            std::uint8_t* p = pixels + out + count;
            unsigned c = code;
            while (c >= clear) {
                *--p = suffix[c];
                c = prefix[c];
            }
            *--p = static_cast<std::uint8_t>(c);
            out += count;
        } else {
            std::size_t position = out + count;
            unsigned c = code;
            for (;;) {
                --position;
                const bool root = c < clear;
                if (position < total) {
                    pixels[position] = root ? static_cast<std::uint8_t>(c) : suffix[c];
                }
                if (root) {
                    break;
                }
                c = prefix[c];
            }
            out = total;
        }
    }
}

// Rows of an interlaced image in the order they are stored: every 8th from
// 0, every 8th from 4, every 4th from 2, every 2nd from 1.
void Deinterlace(const std::vector<std::uint8_t>& stored, std::vector<std::uint8_t>& pixels,
                 std::size_t width, std::size_t height)
{
    static constexpr std::size_t kStart[] = {0, 4, 2, 1};
    static constexpr std::size_t kStep[] = {8, 8, 4, 2};
    std::size_t source = 0;
    for (int pass = 0; pass < 4; ++pass) {
        for (std::size_t row = kStart[pass]; row < height; row += kStep[pass]) {
            std::memcpy(pixels.data() + row * width, stored.data() + source * width, width);
            ++source;
        }
    }
}

} // namespace

bool CGifImage::LoadResource(const std::string& name)
{
    Reset();
    const GifResource* resource = FindGifResource(name);
    if (resource == nullptr || resource->size == 0) {
        return Fail(name, "no such animation");
    }
    return LoadData(resource->data, resource->size, name);
}

bool CGifImage::LoadFile(const std::string& path)
{
    Reset();
    // A name from a page may be a FIFO or a device: only a regular file is
    // read, and opening never waits.
    qvplat::File in;
    if (!in.OpenReadRegular(path)) {
        return Fail(path, "cannot open the file as a regular file");
    }
    const std::uint64_t length = in.Size();
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(length, SIZE_MAX));
    if (length > kMaxFileBytes) {
        return Fail(path, "the file has %zu bytes, more than %zu", size, kMaxFileBytes);
    }
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(size);
    } catch (const std::bad_alloc&) {
        return Fail(path, "no memory for %zu bytes", size);
    }
    const qvplat::File::ReadResult read = in.Read(bytes);
    if (read.failed || read.bytes != size) {
        return Fail(path, "cannot read the file");
    }
    return LoadData(bytes.data(), bytes.size(), path);
}

bool CGifImage::LoadData(const std::uint8_t* data, std::size_t size, const std::string& label)
{
    Reset();
    bool ok = false;
    try {
        ok = Decode(data, size, label);
    } catch (const std::bad_alloc&) {
        ok = Fail(label, "no memory");
    }
    if (!ok) {
        Reset();
    }
    return ok;
}

void CGifImage::Reset()
{
    m_screenWidth = 0;
    m_screenHeight = 0;
    m_frames.clear();
    m_frames.shrink_to_fit();
}

bool CGifImage::Decode(const std::uint8_t* data, std::size_t size, const std::string& label)
{
    ByteReader reader(data, size);
    const std::uint8_t* signature = nullptr;
    if (!reader.Take(6, signature)) {
        return Fail(label, "too short for a GIF file");
    }
    if (std::memcmp(signature, "GIF8", 4) != 0 || (signature[4] != '7' && signature[4] != '9') ||
        signature[5] != 'a') {
        return Fail(label, "not a GIF87a or GIF89a file");
    }
    const std::uint8_t* screen = nullptr;
    if (!reader.Take(7, screen)) {
        return Fail(label, "the screen descriptor is truncated");
    }
    const std::uint8_t screenFlags = screen[4];
    // Images without a table of their own use as many entries of the
    // global table as the screen flags give, whether it is present or not
    // (an absent one is black).
    std::array<GifRgb, 256> global{};
    const std::size_t globalCount = std::size_t{2} << (screenFlags & 7);
    if ((screenFlags & 0x80) != 0) {
        const std::uint8_t* table = nullptr;
        if (!reader.Take(3 * globalCount, table)) {
            return Fail(label, "the global colour table is truncated");
        }
        for (std::size_t i = 0; i < globalCount; ++i) {
            global[i] = {table[3 * i], table[3 * i + 1], table[3 * i + 2]};
        }
    }

    std::vector<Frame> frames;
    std::size_t budget = kMaxTotalBytes;
    std::uint32_t control = 0;
    std::vector<std::uint8_t> blocks;
    for (;;) {
        std::uint8_t introducer = 0;
        if (!reader.Byte(introducer)) {
            return Fail(label, "the data ends before the trailer");
        }
        if (introducer == kTrailer) {
            break;
        }
        if (introducer == kExtension) {
            std::uint8_t extension = 0;
            if (!reader.Byte(extension)) {
                return Fail(label, "an extension is truncated");
            }
            if (extension != kGraphicControl) {
                if (!reader.SubBlocks(nullptr)) {
                    return Fail(label, "an extension is truncated");
                }
                continue;
            }
            blocks.clear();
            if (!reader.SubBlocks(&blocks)) {
                return Fail(label, "a graphic control extension is truncated");
            }
            if (blocks.size() != 4) {
                return Fail(label, "a graphic control extension has %zu bytes instead of 4",
                            blocks.size());
            }
            control = static_cast<std::uint32_t>(blocks[0]) |
                      static_cast<std::uint32_t>(blocks[1]) << 8 |
                      static_cast<std::uint32_t>(blocks[2]) << 16 |
                      static_cast<std::uint32_t>(blocks[3]) << 24;
            continue;
        }
        if (introducer != kImageSeparator) {
            return Fail(label, "unexpected byte 0x%02X at offset %zu", introducer,
                        reader.Position() - 1);
        }

        const std::size_t number = frames.size();
        const std::uint8_t* descriptor = nullptr;
        if (!reader.Take(9, descriptor)) {
            return Fail(label, "image %zu: the descriptor is truncated", number);
        }
        Frame frame;
        frame.info.left = Le16(descriptor);
        frame.info.top = Le16(descriptor + 2);
        frame.info.width = Le16(descriptor + 4);
        frame.info.height = Le16(descriptor + 6);
        const std::uint8_t flags = descriptor[8];
        const std::size_t width = frame.info.width;
        const std::size_t height = frame.info.height;
        const std::size_t pixelCount = width * height;
        if (width > kMaxSide || height > kMaxSide || pixelCount > kMaxImagePixels) {
            return Fail(label, "image %zu has %zux%zu pixels, more than allowed", number, width,
                        height);
        }
        const std::uint8_t* localTable = nullptr;
        std::size_t colours = globalCount;
        if ((flags & 0x80) != 0) {
            colours = std::size_t{2} << (flags & 7);
            if (!reader.Take(3 * colours, localTable)) {
                return Fail(label, "image %zu: the colour table is truncated", number);
            }
        }
        const std::size_t cost = pixelCount + 3 * colours + sizeof(Frame);
        if (cost > budget) {
            return Fail(label, "image %zu: the images take more than %zu MiB", number,
                        kMaxTotalBytes >> 20);
        }
        budget -= cost;
        frame.palette.resize(colours);
        for (std::size_t i = 0; i < colours; ++i) {
            frame.palette[i] = localTable != nullptr ? GifRgb{localTable[3 * i],
                                                              localTable[3 * i + 1],
                                                              localTable[3 * i + 2]}
                                                     : global[i];
        }

        frame.info.delay = static_cast<std::uint16_t>(control >> 8);
        frame.info.transparent = (control & 1) != 0 ? static_cast<std::uint16_t>(control >> 24)
                                                    : kNoTransparency;
        frame.info.disposal = static_cast<std::uint8_t>(control & 0x1C);

        std::uint8_t minCodeSize = 0;
        if (!reader.Byte(minCodeSize)) {
            return Fail(label, "image %zu: the data is truncated", number);
        }
        blocks.clear();
        if (!reader.SubBlocks(&blocks)) {
            return Fail(label, "image %zu: the data is truncated", number);
        }
        blocks.insert(blocks.end(), 3, 0);
        if (minCodeSize >= 9) {
            return Fail(label, "image %zu: minimum code size %u", number, minCodeSize);
        }
        frame.pixels.assign(pixelCount, 0);
        const bool interlaced = (flags & 0x40) != 0;
        std::vector<std::uint8_t> stored;
        if (interlaced) {
            stored.assign(pixelCount, 0);
        }
        std::uint8_t* target = interlaced ? stored.data() : frame.pixels.data();
        if (DecodeLzw(minCodeSize, blocks, target, pixelCount) != LzwResult::Done) {
            return Fail(label, "image %zu: invalid LZW code", number);
        }
        if (interlaced && pixelCount > 0) {
            Deinterlace(stored, frame.pixels, width, height);
        }
        frames.push_back(std::move(frame));
        control = 0;
    }

    if (frames.size() > 1) {
        for (Frame& frame : frames) {
            if (frame.info.delay == 0) {
                frame.info.delay = 10;
            }
        }
    }
    m_screenWidth = Le16(screen);
    m_screenHeight = Le16(screen + 2);
    m_frames = std::move(frames);
    return true;
}

bool CGifImage::GetImageInfo(std::size_t index, GifImageInfo& info) const
{
    if (index >= m_frames.size()) {
        return false;
    }
    info = m_frames[index].info;
    return true;
}

const std::vector<std::uint8_t>& CGifImage::GetPixels(std::size_t index) const
{
    static const std::vector<std::uint8_t> none;
    return index < m_frames.size() ? m_frames[index].pixels : none;
}

const std::vector<GifRgb>& CGifImage::GetPalette(std::size_t index) const
{
    static const std::vector<GifRgb> none;
    return index < m_frames.size() ? m_frames[index].palette : none;
}

unsigned CGifImage::GetIntervalMs(std::size_t index) const
{
    if (index >= m_frames.size()) {
        return 0;
    }
    return std::max(kMinIntervalMs, 10u * m_frames[index].info.delay);
}

bool CGifImage::ExpandFrame(std::size_t index, GifRgb transparentColour, std::uint8_t* rgb,
                            std::size_t stride) const
{
    if (index >= m_frames.size()) {
        return false;
    }
    const Frame& frame = m_frames[index];
    std::array<GifRgb, 256> colours{};
    std::copy(frame.palette.begin(), frame.palette.end(), colours.begin());
    if (frame.info.transparent < frame.palette.size()) {
        colours[frame.info.transparent] = transparentColour;
    }
    const std::size_t width = frame.info.width;
    const std::uint8_t* source = frame.pixels.data();
    for (std::size_t row = 0; row < frame.info.height; ++row) {
        std::uint8_t* out = rgb + row * stride;
        for (std::size_t column = 0; column < width; ++column) {
            const GifRgb& colour = colours[*source++];
            *out++ = colour.red;
            *out++ = colour.green;
            *out++ = colour.blue;
        }
    }
    return true;
}
