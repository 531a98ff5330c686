#pragma once
// Dialog and control identifiers of the player's windows (the commands are
// in model/playerids.h).

namespace player {

inline constexpr int IDD_PROPPAGE = 200;
inline constexpr int IDR_TOOLBAR = 201;
inline constexpr int IDD_COLORDLG = 206;
inline constexpr int IDD_VOLUMEDLG = 207;
inline constexpr int IDD_CHANNELDLG = 208;

inline constexpr int IDC_CONTRAST = 206;
inline constexpr int IDC_BRIGHTNESS = 204;
inline constexpr int IDC_COLOR = 205;
inline constexpr int IDC_VOLUME = 203;
inline constexpr int IDC_MUTE = 207;
inline constexpr int IDC_CHANNELS = 211;
inline constexpr int IDC_SELECT = 1; // the OK button
inline constexpr int IDC_CANCEL = 2;

// The user type name of the control.
inline constexpr const char* kUserTypeName = "Veltora Wavelane Player, Ver 2.0";

} // namespace player
