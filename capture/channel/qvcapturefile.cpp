#include "capture/channel/qvcapturefile.h"

UtCString QvCaptureTargetName(const UtCString& filename, const UtCString& path)
{
    if (filename.isNull() || filename.firstOf("\\/") != UtCString::npos || path.isNull()) {
        return filename;
    }
    const char last = path[path.length() - 1];
    return last == '\\' || last == '/' ? path + filename : path + "\\" + filename;
}
