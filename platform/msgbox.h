#pragma once
// A replaceable message box.
//
// The system reports some errors and asks some questions through a modal
// message box. Here the box is a process-wide handler: by default it writes
// "caption: text" to stderr and answers without waiting for anyone; a GUI or a
// test installs its own handler with SetMessageBoxHandler.

#include <functional>

namespace qvplat {

// Buttons (low nibble of the flags).
inline constexpr unsigned MB_OK = 0x00000000u;
inline constexpr unsigned MB_OKCANCEL = 0x00000001u;
inline constexpr unsigned MB_YESNOCANCEL = 0x00000003u;
inline constexpr unsigned MB_YESNO = 0x00000004u;
inline constexpr unsigned MB_TYPEMASK = 0x0000000Fu;

// Icons.
inline constexpr unsigned MB_ICONERROR = 0x00000010u;
inline constexpr unsigned MB_ICONHAND = MB_ICONERROR;
inline constexpr unsigned MB_ICONSTOP = MB_ICONERROR;
inline constexpr unsigned MB_ICONQUESTION = 0x00000020u;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x00000030u;
inline constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr unsigned MB_ICONINFORMATION = 0x00000040u;
inline constexpr unsigned MB_ICONASTERISK = MB_ICONINFORMATION;
inline constexpr unsigned MB_ICONMASK = 0x000000F0u;

// Default button.
inline constexpr unsigned MB_DEFBUTTON1 = 0x00000000u;
inline constexpr unsigned MB_DEFBUTTON2 = 0x00000100u;
inline constexpr unsigned MB_DEFBUTTON3 = 0x00000200u;
inline constexpr unsigned MB_DEFMASK = 0x00000F00u;

// Modality.
inline constexpr unsigned MB_APPLMODAL = 0x00000000u;
inline constexpr unsigned MB_SYSTEMMODAL = 0x00001000u;
inline constexpr unsigned MB_TASKMODAL = 0x00002000u;

// Answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// A handler receives the text, the caption (both never null) and the flags,
// and returns the ID of the button chosen.
using MessageBoxFn = std::function<int(const char* text, const char* caption, unsigned flags)>;

// Shows a message box through the current handler and returns its answer.
// Null text or caption are passed on as "". Safe to call from any thread.
int MessageBox(const char* text, const char* caption, unsigned flags);

// Installs a handler and returns the previous one. An empty handler restores
// the default (DefaultMessageBox).
MessageBoxFn SetMessageBoxHandler(MessageBoxFn handler);

// The default handler: writes "caption: text" (or just the text when the
// caption is empty) as one line to stderr and returns the default button's
// answer (DefaultAnswer).
int DefaultMessageBox(const char* text, const char* caption, unsigned flags);

// The answer of the default button for these flags: the first button unless
// MB_DEFBUTTON2/3 selects another one (IDOK, IDYES, IDNO, IDCANCEL).
int DefaultAnswer(unsigned flags);

} // namespace qvplat
