#pragma once
// Files and lock files.
//
// File owns one open file. Every call that a signal can interrupt is resumed
// here (EINTR never reaches a caller), and reads and writes go on until done,
// so no other part of the system loops over interrupted or short calls.
//
// Locks are whole-file advisory locks (flock) on the open file: shared or
// exclusive, taken at once, within a time limit or without one. They belong
// to the open file, not to the process, so two File objects of one process
// on the same path exclude each other just as two processes do. A lock ends
// with Unlock, with Close (also by the destructor) and with the end of the
// process, however it ends. Descriptors are close-on-exec: a program started
// from here never inherits a lock (a child made by fork alone shares it until
// it closes its copy or starts a program).
//
// A lock file can also record the process that holds it (WritePid and
// ReadPid), so another process that finds the lock taken can name the holder
// and, say, ask it to end. The record is only meaningful while the lock is
// held: the holder writes it after locking, and one that ended without
// Unlock leaves its old record behind.
//
//     qvplat::File lock;
//     if (lock.OpenReadWrite(qvplat::RuntimeDirectory() + "/tool.lock", true) &&
//         lock.Lock(qvplat::LockMode::Exclusive, 0) == qvplat::LockResult::Acquired) {
//         lock.WritePid(); // this process is the one instance
//     } else if (lock.IsOpen()) {
//         const int holder = lock.ReadPid(); // 0 when none is recorded
//     }
//
// Settings files that several processes read and write go through
// ReadWholeFile and ReplaceFileContents: writers hold an exclusive lock on a
// side file "<file>.lock" (LockForUpdate) while they read, change and replace
// the file; the new contents go to a temporary file in the same directory
// that is renamed over the old one, so a reader (who takes no lock) always
// sees either the old or the new file, never a mix.

#include "platform/sync.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qvplat {

enum class LockMode {
    Shared,    // any number of shared holders, no exclusive one
    Exclusive, // one holder, no shared ones
};

// Whether an open follows a symbolic link that the path ends in.
enum class FinalLink {
    Follow,
    Refuse, // the open fails with ELOOP
};

enum class LockResult {
    Acquired,
    Busy,   // held by another open file (at once, or until the time ran out)
    Failed, // the file is not open or the system refused: see File::Error
};

class File
{
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Each open closes a file already open first, and returns false (see
    // Error) when the file cannot be opened.

    // Opens an existing file for reading.
    bool OpenRead(const std::string& path);
    // Opens an existing regular file for reading. The open itself never
    // waits (a FIFO without a writer, a device); anything but a regular file
    // is closed again and refused with EINVAL.
    bool OpenReadRegular(const std::string& path, FinalLink link = FinalLink::Follow);
    // Opens a file for reading and writing; with `create` a missing one is
    // made with the permission bits (less the umask).
    bool OpenReadWrite(const std::string& path, bool create, unsigned permissions = 0600);
    // Opens a lock file for reading and writing, made (0600 less the umask)
    // when missing and never emptied. Only a regular file is taken: a final
    // symbolic link fails with ELOOP, anything else with EINVAL, without
    // waiting.
    bool OpenLockFile(const std::string& path);
    // Makes a new file for writing; fails with EEXIST when the name exists.
    bool CreateNew(const std::string& path, unsigned permissions);
    // Opens a file for writing, made when missing and emptied when present.
    // Only a regular file is taken: a final symbolic link fails with ELOOP,
    // anything else (a FIFO, a device) with EINVAL, without waiting for a
    // reader.
    bool CreateAlways(const std::string& path, unsigned permissions);

    // Closes the file, which also ends its lock; false when the system
    // reported an error on closing (a write that did not reach the file).
    bool Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The errno of the last failed operation on this object.
    int Error() const { return m_error; }

    struct ReadResult
    {
        std::size_t bytes = 0;  // bytes read into the buffer
        bool endOfFile = false; // the file ended before the buffer was full
        bool failed = false;    // a read failed (see Error); `bytes` still counts
    };
    // Reads from the current position until the buffer is full or the file
    // ends.
    ReadResult Read(std::span<std::uint8_t> buffer);
    // Writes all bytes at the current position.
    bool WriteAll(const void* data, std::size_t size);
    // Moves the position to an offset from the start.
    bool Seek(std::uint64_t offset);
    bool Truncate(std::uint64_t size);
    // Writes the file's data through to the disk.
    bool Sync();
    bool SetPermissions(unsigned permissions);
    // The file's permission bits (07777 of its mode).
    bool GetPermissions(unsigned& permissions);
    // The size of a regular file; 0 for anything else or on failure.
    std::uint64_t Size();
    bool IsDirectory();
    // Tells the system that the file will be read from start to end; only
    // a hint.
    void AdviseSequential();

    // Takes the lock in the given mode. timeoutMs 0 tries once, kInfinite
    // waits without a limit; another value waits that long at most (the
    // lock is tried again every few milliseconds). A lock held in the other
    // mode by this object is converted, which is not atomic: it is let go
    // before the new one is taken.
    LockResult Lock(LockMode mode, std::uint32_t timeoutMs = kInfinite);
    // Lets the lock go; the file stays open.
    void Unlock();

    // The process that holds an exclusive lock (Lock with Exclusive) on
    // this file now, as the system lists its locks; 0 when none does or the
    // list cannot be read.
    int ExclusiveLockHolder();

    // Replaces the contents by this process's id in decimal.
    bool WritePid();
    // The process id recorded in the file; 0 when none is.
    int ReadPid();

private:
    bool Fail();
    bool OpenWith(const std::string& path, int flags, unsigned permissions);
    // OpenWith for a regular file only: the open never waits, and anything
    // else is closed again and refused with EINVAL.
    bool OpenRegular(const std::string& path, int flags, unsigned permissions);

    int m_fd = -1;
    int m_error = 0;
};

// Locks "<path>.lock" exclusively for an update of the settings file at
// `path`, waiting as long as it takes; false when the lock file cannot be
// opened or locked. The lock lasts until `lock` is closed.
bool LockForUpdate(File& lock, const std::string& path);

enum class FileReadStatus {
    Ok,
    Missing,
    Failed,
};

// Reads the whole file into contents.
FileReadStatus ReadWholeFile(const std::string& path, std::string& contents);

// Replaces the file by the contents through a temporary file and a rename.
// An existing regular file keeps its read, write and execute bits as far as
// the umask allows; a new file, or one replacing anything else at the path (a
// symbolic link is replaced, not followed), gets read and write less the
// umask. Setuid, setgid and sticky bits are never set. Returns false on any
// failure, leaving the old file as it was.
bool ReplaceFileContents(const std::string& path, const std::string& contents);

} // namespace qvplat
