#pragma once
// Command, timer and message numbers of the player control and its frame,
// and the toolbar's button bits.

#include <cstdint>

namespace player {

// Commands of the frame's toolbar (and of the frame and the control).
inline constexpr int ID_PAUSE = 32771;
inline constexpr int ID_PLAY = 32772;
inline constexpr int ID_STOP = 32773;
inline constexpr int ID_POPUP = 32776;
inline constexpr int ID_EMBED = 32777;
inline constexpr int ID_COLOR = 32778;
inline constexpr int ID_VOLUME = 32779;
inline constexpr int ID_SNAPSHOT = 32780;
inline constexpr int ID_BUTTON32781 = 32781; // a button without a handler, never present
inline constexpr int ID_BUTTON32782 = 32782; // likewise
inline constexpr int ID_CAPTURE = 32783;
inline constexpr int ID_ADJUST = 32784; // handled by the control
inline constexpr int ID_CHANNELS = 32785;
inline constexpr int ID_OPENFILE = 32786;
inline constexpr int ID_ABOUT = 32787;

// Commands posted between the player's windows.
inline constexpr int ID_STARTUP = 101;       // to the control: run the start-up sequence
inline constexpr int ID_CLOSEDIALOGS = 105;  // to the frame: close its modeless dialogs
inline constexpr int ID_RESTART = 111;       // to the frame: stop, then play
inline constexpr int WM_STREAMMESSAGE = 2101; // to the control: fire StreamEvent

// Timers of the control.
inline constexpr int kControlStartupTimer = 1;     // 200 ms, once
inline constexpr int kControlBackgroundTimer = 101; // the background animation
inline constexpr int kControlWatchTimer = 105;     // every 60000 ms
inline constexpr int kStartupRetryMs = 200;
inline constexpr int kWatchPeriodMs = 60000;

// Timers of the frame.
inline constexpr int kFrameMessageTimer = 1; // every 500 ms
inline constexpr int kFrameLowerTimer = 2;   // 1000 ms after Play, once
inline constexpr int kFrameLogoTimer = 100;  // the logo animation
inline constexpr int kMessagePeriodMs = 500;
inline constexpr int kLowerDelayMs = 1000;

// The first timer period of an animation.
inline constexpr int kAnimationStartMs = 10;

// The toolbar's height while shown, taken off the video area.
inline constexpr int kToolbarHeight = 30;

// The button bits of the toolbar masks, in ascending order.
struct ButtonBit
{
    std::uint32_t bit;
    int command;
};
inline constexpr ButtonBit kButtonBits[] = {
    {0x001, ID_PLAY},    {0x002, ID_PAUSE},    {0x004, ID_STOP},     {0x008, ID_BUTTON32782},
    {0x010, ID_BUTTON32781}, {0x020, ID_VOLUME}, {0x040, ID_COLOR},  {0x080, ID_EMBED},
    {0x100, ID_POPUP},   {0x200, ID_SNAPSHOT}, {0x400, ID_CAPTURE},  {0x800, ID_CHANNELS},
};

inline constexpr std::uint32_t kBitPlay = 0x001;
inline constexpr std::uint32_t kBitPause = 0x002;
inline constexpr std::uint32_t kBitStop = 0x004;
inline constexpr std::uint32_t kBitEmbed = 0x080;
inline constexpr std::uint32_t kBitPopup = 0x100;
inline constexpr std::uint32_t kBitSnapshotCapture = 0x600;

// The masks the start-up sequence sets.
inline constexpr std::uint32_t kStartupPresent = 0xFFFFFFA7; // all but 32782, 32781, colour
inline constexpr std::uint32_t kStartupShown = 0xFFFFFF7D;   // all but Pause and embed
inline constexpr std::uint32_t kStartupEnabled = 0x00000FE1; // Play, volume .. channels

// The toolbar in order; 0 is a separator.
inline constexpr int kToolbarLayout[] = {ID_PLAY,     ID_PAUSE,    ID_STOP,     ID_BUTTON32781,
                                         ID_BUTTON32782, 0,        ID_COLOR,    ID_VOLUME,
                                         ID_SNAPSHOT, ID_CAPTURE,  ID_OPENFILE, ID_CHANNELS,
                                         0,           ID_POPUP,    ID_EMBED,    ID_ABOUT};

// The bit of a command, 0 for commands without one (open file, about).
std::uint32_t ButtonBitOf(int command);

} // namespace player
