#include "mpeg/mpeganalysis.h"

#include "platform/paths.h"

#include <string>

namespace qvmpeg {

MpegFileReader::~MpegFileReader()
{
    Close();
}

bool MpegFileReader::Open(std::string_view path, FileKinds kinds)
{
    Close();
    const std::string mapped = qvplat::MapPath(path);
    if (mapped.empty())
        return false;
    if (!(kinds == FileKinds::RegularOnly ? file_.OpenReadRegular(mapped) : file_.OpenRead(mapped)))
        return false;
    if (file_.IsDirectory()) {
        file_.Close();
        return false;
    }
    size_ = file_.Size();
    file_.AdviseSequential();
    return true;
}

void MpegFileReader::Close()
{
    file_.Close();
    size_ = 0;
}

bool MpegFileReader::Rewind()
{
    return file_.IsOpen() && file_.Seek(0);
}

MpegFileReader::ReadResult MpegFileReader::Read(std::span<std::uint8_t> dst)
{
    if (!file_.IsOpen()) {
        ReadResult result;
        result.failed = true;
        return result;
    }
    return file_.Read(dst);
}

} // namespace qvmpeg
