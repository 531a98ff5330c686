// Feeds arbitrary bytes to the GIF decoder. Inputs that do not start like a
// GIF file are applied as edits (offset, byte) to one of the compiled-in
// animations instead, so that random inputs get past the signature and into
// the blocks, colour tables and LZW data. The sanitizers catch any access
// outside a buffer; the decoder's own limits bound its memory.
#include "player/gif/gifimage.h"
#include "player/gif/gifresources.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CGifImage gif;
    if (size >= 4 && std::memcmp(data, "GIF8", 4) == 0) {
        gif.LoadData(data, size);
    } else if (size >= 1) {
        const auto resources = GifResources();
        const GifResource& seed = resources[data[0] % resources.size()];
        std::vector<std::uint8_t> file(seed.data, seed.data + seed.size);
        // Edits of three bytes: a 16-bit offset scaled over the file, and
        // the new byte; a final odd byte cuts the file there.
        std::size_t at = 1;
        for (; at + 3 <= size; at += 3) {
            const std::size_t offset = (data[at] | (data[at + 1] << 8)) * file.size() / 65536;
            file[offset] = data[at + 2];
        }
        if (at < size) {
            file.resize(data[at] * file.size() / 256);
        }
        gif.LoadData(file.data(), file.size());
    }
    // Whatever loaded must be consistent.
    for (std::size_t index = 0; index < gif.GetFrameCount(); ++index) {
        GifImageInfo info;
        if (!gif.GetImageInfo(index, info) ||
            gif.GetPixels(index).size() != std::size_t{info.width} * info.height ||
            gif.GetPalette(index).empty()) {
            std::abort();
        }
        std::vector<std::uint8_t> rgb(3 * gif.GetPixels(index).size());
        gif.ExpandFrame(index, GifRgb{}, rgb.data(), 3 * std::size_t{info.width});
    }
    return 0;
}
