// giflib's decoder reading GIF bytes from memory: the oracle of the decoder
// tests and the yardstick of the GIF benchmark.
#pragma once

#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace giftest {

struct GiflibSource
{
    const std::vector<std::uint8_t>* file;
    std::size_t at = 0;
};

inline int ReadGiflibSource(GifFileType* gif, GifByteType* data, int length)
{
    auto* source = static_cast<GiflibSource*>(gif->UserData);
    const std::size_t count =
        std::min(static_cast<std::size_t>(length), source->file->size() - source->at);
    std::memcpy(data, source->file->data() + source->at, count);
    source->at += count;
    return static_cast<int>(count);
}

// DGifOpen on the source, which must outlive the handle; null on failure.
inline GifFileType* OpenWithGiflib(GiflibSource& source, int& error)
{
    return DGifOpen(&source, ReadGiflibSource, &error);
}

} // namespace giftest
