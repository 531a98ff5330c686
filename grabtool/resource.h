#pragma once
// Identifiers of grabtool's dialog and its controls.

inline constexpr int IDD_GRABTOOL_DIALOG = 102;

inline constexpr int IDC_EXIT = 101;
inline constexpr int IDC_LOG = 1000;
inline constexpr int IDC_BYTES_RECEIVED = 1002;
inline constexpr int IDC_LOST_RECOVERED = 1003;
inline constexpr int IDC_ADDRESS = 1005;
inline constexpr int IDC_PORT = 1006;
inline constexpr int IDC_START = 1007;
inline constexpr int IDC_MBPS = 1008;
inline constexpr int IDC_FILENAME = 1009;
inline constexpr int IDC_FILENAME_BUTTON = 1010;
inline constexpr int IDC_UNICAST = 1011;
inline constexpr int IDC_PACKET_FORMAT = 1012;
inline constexpr int IDC_INTERFACE = 1014;
inline constexpr int IDC_MUX = 1016;
