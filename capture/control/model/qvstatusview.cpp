#include "capture/control/model/qvstatusview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void QvStatusView::Start(std::int32_t duration)
{
    m_stopEnabled = true;
    m_range = std::max<std::int32_t>(duration, 1);
    m_position = 0;
    m_timerRunning = true;
}

void QvStatusView::Tick(const QvStatusBlock& status)
{
    m_position = std::clamp<std::int32_t>(status.elapsed, 0, m_range);
    m_bytesText = FormatBytes(status.bytesCaptured);
    m_timeText = FormatTime(status.elapsed);
}

std::string QvStatusView::FormatTime(std::int32_t elapsedSeconds)
{
    const std::int32_t seconds = std::max<std::int32_t>(elapsedSeconds, 0);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds / 3600 % 24),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

std::string QvStatusView::FormatBytes(double bytes)
{
    // Nothing sensible is shown for a value that no capture can have.
    const double megabytes =
        std::isfinite(bytes) && bytes > 0.0 ? std::min(bytes, 1e18) / kBytesPerMegabyte : 0.0;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", megabytes);
    return text;
}
