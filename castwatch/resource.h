#pragma once
// Identifiers and texts of castwatch's windows.

// Main dialog.
inline constexpr int IDD_MONITOR = 102;
inline constexpr int IDC_PROGRAMS = 1002;
inline constexpr int IDC_SDP = 1003;
inline constexpr int IDC_SETUP = 1004;
inline constexpr int IDC_SELECTED = 1005;
inline constexpr int IDC_ABOUT = 1014;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int kRunningTimer = 1;
inline constexpr int kRunningTimerMs = 1000;

// Setup dialog.
inline constexpr int IDD_SETUP = 129;
inline constexpr int IDC_BROWSE = 1006;
inline constexpr int IDC_ADDRESS = 1008;
inline constexpr int IDC_ADD = 1009;
inline constexpr int IDC_REMOVE = 1010;
inline constexpr int IDC_PORT = 1011;
inline constexpr int IDC_PAIRS = 1012;
inline constexpr int IDC_FILENAME = 1013;
inline constexpr int IDC_VIEW_OUTSIDE = 1016;

inline constexpr const char* kTitle = "Vigilo";
inline constexpr const char* kSetupTitle = "Vigilo Setup";
inline constexpr const char* kAboutTitle = "About Vigilo";
inline constexpr const char* kAboutText = "Vigilo Version 1.0\n"
                                          "Program monitor: the directory of announced programs";
inline constexpr const char* kAlreadyRunning = "Vigilo is already running!";
inline constexpr const char* kExitQuestion = "Are you sure you want to exit?";
inline constexpr const char* kBadPair =
    "Not a listening address and port: the address must be a "
    "dotted IPv4 address and the port a number from 1 to 65535.";
