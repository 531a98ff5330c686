#pragma once
// The GStreamer side of the multicast source: the "castsource" element, a
// push source that reads its bytes through a CTalvexStream.

#include "castsource/castsource.h"

#include <memory>

namespace castsrc {

// Registers the element with GStreamer (initialising it when nobody has
// yet); false when GStreamer cannot be initialised. Safe to call again.
bool RegisterElement();

// A new element reading through `stream`, ready when `filter` says so. The
// caller owns the returned reference (not floating). Null on failure.
GstElement* MakeElement(std::shared_ptr<CTalvexStream> stream, IQvFileSourceFilter* filter);

// The filter is going away: the element keeps its stream but is no longer
// ready, so it refuses to start again.
void DetachFilter(GstElement* element);

} // namespace castsrc
