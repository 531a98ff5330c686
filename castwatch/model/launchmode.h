#pragma once
// How castwatch runs, decided from its command line.
//
// The command line is read as a property list: each argument is property
// text, so a bare word is a property with the value "TRUE" and names are
// compared without regard to case. The first of these that applies decides:
//
//   StartService   the service (headless; it writes the output file)
//   Hide           the monitor in the tray (writes the output file)
//   -kill          ends a running desktop or tray monitor
//   anything else  the service's standard arguments (-ver, -inst, ...)
//   nothing        the monitor's dialog, with the About box at start
//
// A service has no desktop, so the service runs without windows and writes
// the output file as the tray monitor does; the desktop dialog writes none.
// Only the desktop and tray monitors are single instances.

#include "core/settings/qvproplist.h"

namespace castwatch {

enum class LaunchMode {
    Service,
    Tray,
    Kill,
    StandardArgs,
    Desktop,
};

struct ModeTraits
{
    bool windows = true;         // has the dialog (else headless)
    bool tray = false;           // lives hidden in the tray
    bool writesFile = false;     // writes the output file
    bool aboutAtStart = false;   // shows the About box at start
    bool singleInstance = false; // refuses to run twice
};

QvPropertyList CommandLineProperties(int argc, const char* const* argv);
LaunchMode ChooseLaunchMode(const QvPropertyList& commandLine);
ModeTraits TraitsOf(LaunchMode mode);

} // namespace castwatch
