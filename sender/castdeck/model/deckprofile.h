#pragma once
// What castdeck keeps outside its windows: the mark of the running instance
// and the list of recent files.
//
// One castdeck runs per user session. The running one holds an exclusive
// lock on "QvTidewell_AB12.lock" in the user's runtime directory
// ($XDG_RUNTIME_DIR, else the castnet configuration directory) and records
// its process id in it; a second one finds the lock taken and ends. The lock
// goes with the process, however it ends.
//
// The recent-file list lives in the registry store under the current user's
// "Software\Talvex\castdeck\Recent File List", as values "File1" (the most
// recent) to "File4".

#include "platform/file.h"

#include <cstddef>
#include <string>
#include <vector>

namespace castdeck {

class InstanceLock
{
public:
    enum class Result {
        Acquired,      // this process is the running instance
        HeldElsewhere, // another instance runs
        Unavailable,   // the lock file cannot be made: run unchecked
    };

    // The name that marks the running instance.
    static constexpr const char* kMarker = "QvTidewell_AB12";

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock file at `path` without waiting and records this
    // process in it. A lock already held by this object is released first.
    Result Acquire(const std::string& path);
    void Release();
    bool IsHeld() const { return m_file.IsOpen(); }

    // "<runtime directory>/QvTidewell_AB12.lock"; "" when no directory is
    // available.
    static std::string DefaultPath();

private:
    qvplat::File m_file;
};

// The registry key of castdeck's settings below the current user's root.
inline constexpr const char* kSettingsKey = "Software\\Talvex\\castdeck";
inline constexpr const char* kRecentFilesKey = "Software\\Talvex\\castdeck\\Recent File List";
inline constexpr std::size_t kRecentFileCount = 4;

// The stored recent files, most recent first, at most `count`; empty
// entries and a missing key give a shorter list.
std::vector<std::string> LoadRecentFiles(std::size_t count = kRecentFileCount);

// Replaces the stored list by these files (most recent first; only the
// first kRecentFileCount are kept). False when the store cannot be written.
bool SaveRecentFiles(const std::vector<std::string>& files);

} // namespace castdeck
