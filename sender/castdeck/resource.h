#pragma once
// Identifiers of castdeck's windows, controls and commands.

// Frames and the document template.
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDD_TRANSMIT = 129;
inline constexpr int IDR_QVTIDETYPE = 130;

// Controls of the transmission panel.
inline constexpr int IDC_FILENAME_BUTTON = 1000;
inline constexpr int IDC_FILENAME = 1001;
inline constexpr int IDC_ADDRESS = 1002;
inline constexpr int IDC_PORT = 1003;
inline constexpr int IDC_TTL = 1004;
inline constexpr int IDC_REWIND = 1005;
inline constexpr int IDC_SAP = 1006;
inline constexpr int IDC_PACKET_FORMAT = 1007;
inline constexpr int IDC_START = 1008;
inline constexpr int IDC_MUX = 1009;
inline constexpr int IDC_STATUS = 1011;
inline constexpr int IDC_BITRATE = 1025;
inline constexpr int IDC_PROGRESS = 1027;
inline constexpr int IDC_INTERFACE = 1047;

// The panel's timer.
inline constexpr int IDT_PANEL = 1;

// Commands of the View and Window menus (the Stream and Help menus use the
// stock identifiers: wxID_NEW, wxID_OPEN, wxID_CLOSE, wxID_EXIT, wxID_ABOUT).
inline constexpr int ID_VIEW_TOOLBAR = 6001;
inline constexpr int ID_VIEW_STATUS_BAR = 6002;
inline constexpr int ID_WINDOW_NEW = 6010;
inline constexpr int ID_WINDOW_ARRANGE = 6011;
inline constexpr int ID_WINDOW_CASCADE = 6012;
inline constexpr int ID_WINDOW_TILE_HORZ = 6013;

// The About box.
inline constexpr const char* kAboutTitle = "About";
inline constexpr const char* kAboutText = "castdeck Version 1.0\n"
                                          "MPEG Flowmill: MPEG over IP multicast\n"
                                          "Talvex";
inline constexpr const char* kWebsite = "http://www.example.com/";
