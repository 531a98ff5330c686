#pragma once
// ctlhost's windows: the frame that hosts one control and runs a script
// against it, and the program's entry. The shipped ctlhost and its test
// driver (ctlhost_uitest, which adds verbs of its own) both run it.

#include "ctlhost/ctlsession.h"

#include <functional>
#include <memory>
#include <span>
#include <string>

class wxWindow;

namespace ctlhost {

// What a program adds to the frame: its name in messages, the verbs its
// scripts may use, and who runs the verbs that are not the user's.
struct HostProgram
{
    std::string name;
    std::span<const VerbSpec> verbs;
    // Called once the control's window exists; null for none.
    std::function<std::unique_ptr<ExtraVerbs>(wxWindow& frame, wxWindow& controlWindow)> extra;
};

// Parses the command line and the script and runs the frame; the exit
// status (0, 1 for a failed script command, 2 for a bad command line or a
// control that cannot be hosted).
int RunHost(int argc, char** argv, const HostProgram& program);

} // namespace ctlhost
