#pragma once
// Process-wide diagnostic logging and error reports.
//
// A process keeps up to two text files: the debug file and the log file. The
// writers below format a printf-style message and send it, as one complete
// and flushed line, to one or both of them; a writer whose files are not open
// writes nothing. One process-wide lock covers formatting and writing, so lines
// from different threads never interleave.
//
// Every line is at most 255 characters long. A message that would not fit is
// cut so that the time stamp and the line ending still do.

#include "core/qvexport.h"

#include <ctime>

#if defined(__GNUC__)
#define QV_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define QV_PRINTF_FORMAT(fmtIndex, firstArg)
#endif

extern "C" {

// Opens the debug file for appending (mode "a"). The name may be a Windows
// style path ("c:\\QvDebug.log"). A file set earlier is flushed and closed and
// later output goes to the new one. When the file cannot be opened, a message
// box says "Failed to open debug log file: <name>" and the previous setting
// (file or none) stays in force.
QV_API void QvSetDebugFile(const char* fileName);

// Opens the log file for reading and appending (mode "a+"); otherwise as
// QvSetDebugFile, with the message "Failed to open log file: <name>".
QV_API void QvSetLogFile(const char* fileName);

// The formatted text, unchanged, to the debug file.
QV_API void QvDebugOut(const char* format, ...) QV_PRINTF_FORMAT(1, 2);

// The formatted text and "\n" to the debug file.
QV_API void QvDebugMsg(const char* format, ...) QV_PRINTF_FORMAT(1, 2);

// "HH:MM:SS  <text>\n" (local time) to the debug file.
QV_API void QvDebugMsgTime(const char* format, ...) QV_PRINTF_FORMAT(1, 2);

// "HH:MM:SS  <text>\n" (local time) to the debug file and to the log file.
QV_API void QvLog(const char* format, ...) QV_PRINTF_FORMAT(1, 2);

// Does nothing when the condition holds; otherwise writes the formatted text
// and "\n" to the debug file and to the log file.
QV_API void QvErrorMsg(bool condition, const char* format, ...) QV_PRINTF_FORMAT(2, 3);

// Does nothing when the condition holds; otherwise writes the formatted text
// followed by "\n\nExiting..." to the debug file and to the log file, flushes
// them, shows the same text in a message box and ends the process with exit
// code 1. Static destructors and exit handlers do not run, so threads that are
// still working cannot trip over objects torn down beneath them.
QV_API void QvErrorExit(bool condition, const char* format, ...) QV_PRINTF_FORMAT(2, 3);

} // extern "C"

// The clock of the timed writers: returns the current local time. The default
// reads the system clock; tests install a fixed one.
using QvLogClock = std::tm (*)();

// Installs the clock of the timed writers and returns the previous one. A null
// clock restores the system clock.
QV_API QvLogClock QvSetLogClock(QvLogClock clock);

// Flushes and closes both files and clears the output selection, so later
// writers write nothing until a file is set again. For orderly shutdown and
// for tests that need a fresh start.
QV_API void QvCloseLogFiles();
