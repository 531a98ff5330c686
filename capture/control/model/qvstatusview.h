#pragma once
// What the capture control's status window shows: a progress bar over the
// capture's duration (201), the elapsed time "%02d:%02d:%02d" (202, hours
// modulo 24), the Stop button (203) and the bytes written "%.1f MB" (204).
// The window's timer ticks once a second while a capture runs.
//
// The fields come from a status block that another process writes: any
// value is shown without harm (negative or huge times, NaN sizes).

#include "capture/channel/qvblocks.h"

#include <cstdint>
#include <string>

class QvStatusView
{
public:
    static constexpr int kTimerMs = 1000;
    static constexpr double kBytesPerMegabyte = 1048576.0;

    // A capture started: Stop enabled, the bar from 0 to the duration (at
    // least 1), the timer on.
    void Start(std::int32_t duration);
    // One timer tick.
    void Tick(const QvStatusBlock& status);
    void StopTimer() { m_timerRunning = false; }
    // The Stop button was pressed (the control's Stop is called too).
    void StopPressed() { m_stopEnabled = false; }

    bool IsStopEnabled() const { return m_stopEnabled; }
    bool IsTimerRunning() const { return m_timerRunning; }
    int GetRange() const { return m_range; }
    int GetPosition() const { return m_position; }
    const std::string& GetTimeText() const { return m_timeText; }
    const std::string& GetBytesText() const { return m_bytesText; }

    static std::string FormatTime(std::int32_t elapsedSeconds);
    static std::string FormatBytes(double bytes);

private:
    bool m_stopEnabled = false;
    bool m_timerRunning = false;
    int m_range = 1;
    int m_position = 0;
    std::string m_timeText = FormatTime(0);
    std::string m_bytesText = FormatBytes(0.0);
};
