#pragma once
// The name of the file a capture writes, as the engine makes it from the
// settings "Filename" and "Path" and as the control checks it before a
// start: a Filename holding a backslash or a slash is used as it is;
// otherwise it is joined to Path ("d:\caps" + "x.mpg" -> "d:\caps\x.mpg"),
// or taken alone when Path is empty. "" when Filename is empty.

#include "core/strings/utstring.h"

UtCString QvCaptureTargetName(const UtCString& filename, const UtCString& path);
