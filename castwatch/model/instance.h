#pragma once
// The mark of the running desktop or tray monitor: an exclusive lock on
// "Vigilo.lock" in the runtime directory (see platform/paths.h) that records
// the holder's process id. A second monitor finds it taken and ends; "-kill"
// reads the holder from it and asks it to end. The lock goes with the
// process, however it ends. The service takes no part in it.

#include "platform/file.h"

#include <string>

namespace castwatch {

class MonitorInstance
{
public:
    enum class Result {
        Acquired,    // this process is the running monitor
        Running,     // another monitor runs
        Unavailable, // no lock file can be made: run unchecked
    };

    static std::string LockPath();
    // The process id of the running monitor; 0 when none runs.
    static int RunningPid();

    Result Acquire();

private:
    qvplat::File m_file;
};

} // namespace castwatch
