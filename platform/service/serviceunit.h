#pragma once
// Services as a systemd-style service manager knows them: a unit file per
// service and the manager's command-line tool.
//
// A service named N is the unit file "N.service" in the unit directory:
//
//   $QV_SERVICE_UNIT_DIR            when set
//   /etc/systemd/system             for root
//   <config>/systemd/user           otherwise (<config> as in paths.h)
//
// The unit runs the program as a notify-type service (it tells the manager
// when it is ready and when it stops, see servicecontrol.h). Installing with
// auto start adds an [Install] section and enables the unit.
//
// The manager is "systemctl", run through the path search, with "--user"
// when the caller is not root; $QV_SERVICE_MANAGER names another program
// that takes the same arguments (tests use a fake one). Results are 0 for
// success, else the manager's exit status (128 + the signal when it was
// killed) or the errno of the failure to run it or to write the file.

#include <string>
#include <vector>

namespace qvplat {

struct ServiceUnitSpec
{
    std::string name;                   // the service name, without ".service"
    std::string program;                // absolute path of the program
    std::vector<std::string> arguments; // its arguments, each one word
    bool autoStart = false;             // started with the system (or the user session)
};

// The unit directory (made by the first install); "" when there is no
// configuration directory to put it in.
std::string ServiceUnitDirectory();
// "<unit directory>/<name>.service"; "" when the directory is unavailable or
// the name is not a plain file name.
std::string ServiceUnitPath(const std::string& name);

// The unit file's text. Each word of the command line is written in double
// quotes with the manager's escapes, so blanks, '%' and '$' stay literal.
// Empty when a word holds a control character, or the program's path a
// quote or a backslash: the manager refuses those.
std::string ServiceUnitText(const ServiceUnitSpec& spec);

// Writes the unit file (through a temporary file and a rename), lets the
// manager reload its units and, for auto start, enables the unit. A failed
// enable leaves the file installed and gives the enable's result.
int InstallServiceUnit(const ServiceUnitSpec& spec);
bool ServiceUnitInstalled(const std::string& name);
// Disables the unit (a failure there is ignored: it may never have been
// enabled), removes the file and lets the manager reload its units.
int RemoveServiceUnit(const std::string& name);

int StartServiceUnit(const std::string& name);
int StopServiceUnit(const std::string& name);

// Runs the manager with "--user" (when not root) and these arguments, and
// waits for it.
int RunServiceManager(const std::vector<std::string>& arguments);

} // namespace qvplat
