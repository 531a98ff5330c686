#pragma once
// Helpers for settings files that several processes read and write.
//
// Writers hold an exclusive flock on a side file "<file>.lock" while they
// read, change and replace the file; the new contents go to a temporary file
// in the same directory that is renamed over the old one, so a reader (who
// takes no lock) always sees either the old or the new file, never a mix.

#include <string>

namespace qvplat {

// An exclusive lock on "<path>.lock", held for the life of the object.
class SharedFileLock
{
public:
    explicit SharedFileLock(const std::string& path);
    ~SharedFileLock();
    SharedFileLock(const SharedFileLock&) = delete;
    SharedFileLock& operator=(const SharedFileLock&) = delete;

    // False when the lock file could not be opened or locked.
    bool IsLocked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

enum class FileReadStatus {
    Ok,
    Missing,
    Failed,
};

// Reads the whole file into contents.
FileReadStatus ReadWholeFile(const std::string& path, std::string& contents);

// Replaces the file by the contents through a temporary file and a rename.
// An existing file keeps its permission bits. Returns false on any failure,
// leaving the old file as it was.
bool ReplaceFileContents(const std::string& path, const std::string& contents);

} // namespace qvplat
