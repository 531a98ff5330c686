#pragma once
// Named shared memory as the capture control and the capture engine use it.
//
// QvSharedMemory is one named block of memory with its guard mutex (name +
// "-QV_Synchronization_Mutex~|"), held by every Read and Write, and its size
// record (name + "-QV_Memory_Size~|", 11 bytes of decimal text) that tells
// another process the size its creator gave. QvSharedBlock is a data block
// plus its listener list (name + "_ListenerArray"): the names of the events
// to set when something in the block changed.
//
// A failing system call leaves its errno in the error word; later reads and
// writes then fail at once. A guard mutex not obtained within 5000 ms fails
// that one call without recording an error.

#include "core/strings/utstring.h"
#include "platform/named.h"

#include <atomic>
#include <cstdint>
#include <memory>

class QvCommMgrListener;

class QvSharedMemory
{
public:
    // Read and Write modes.
    static constexpr int kText = 0;   // a NUL-terminated text
    static constexpr int kBinary = 1; // bytes of a given length
    static constexpr std::uint32_t kGuardTimeoutMs = 5000;
    static constexpr const char* kMutexSuffix = "-QV_Synchronization_Mutex~|";
    static constexpr const char* kSizeSuffix = "-QV_Memory_Size~|";
    static constexpr std::uint32_t kSizeRecordSize = 11;

    // Creates the block (zero-filled) or opens it when it exists; a block
    // that exists but is smaller than `size` is an error.
    QvSharedMemory(const UtCString& name, std::uint32_t size);
    // Opens an existing block; an error when nobody holds it.
    explicit QvSharedMemory(const UtCString& name);
    ~QvSharedMemory();
    QvSharedMemory(const QvSharedMemory&) = delete;
    QvSharedMemory& operator=(const QvSharedMemory&) = delete;

    // Zero-fills `length` bytes at `destination` and copies into them: in
    // kText mode the text up to its NUL, at most length - 1 characters and
    // never past the block, terminated; in kBinary mode min(length, size)
    // bytes.
    bool Read(void* destination, std::uint32_t length, int mode);
    // kText: the text of at most `length` characters (up to its NUL) with
    // its NUL; refused, before taking the mutex, when it does not fit the
    // block. kBinary: `length` bytes, at most the block's size.
    bool Write(const void* source, std::uint32_t length, int mode);

    // Holds the guard mutex across several Reads and Writes (it is
    // recursive for its holder). False on time-out or failure.
    bool Lock();
    void Unlock();

    // The size from the size record (a record itself answers 11); -1 as
    // unsigned with an error.
    std::uint32_t GetSize();
    // The size mapped here (the block's real size); 0 when not mapped.
    std::uint32_t GetMappedSize() const;

    void* GetView() const { return m_memory.Data(); }
    bool Existed() const { return m_memory.Existed(); }
    int GetError() const { return m_error; }

private:
    bool Attach(const UtCString& name, std::uint32_t size, bool create);
    bool Failed(int error);

    qvplat::SharedMemory m_memory;
    qvplat::NamedMutex m_guard;
    std::unique_ptr<QvSharedMemory> m_sizeRecord; // none for a size record itself
    bool m_isSizeRecord = false;
    std::atomic<int> m_error{0};
};

class QvSharedBlock
{
public:
    static constexpr std::uint32_t kListSize = 100;
    static constexpr const char* kListSuffix = "_ListenerArray";

    // Creates or opens the data block and its listener list.
    QvSharedBlock(const UtCString& name, std::uint32_t size, std::uint32_t listSize = kListSize);

    // Both memories are there and nothing failed.
    bool IsValid() const;
    // The data block's view; null when invalid.
    void* GetView() const;
    // The data block did not exist before.
    bool IsNew() const { return !m_data.Existed(); }
    int GetError() const { return m_error; }

    // Enters the listener's event name into the list, once. False when the
    // block or the listener is invalid or the name does not fit.
    bool AddListener(const QvCommMgrListener& listener);
    bool AddListener(const UtCString& eventName);
    // Takes a name out of the list; true when it is not there afterwards.
    bool RemoveListener(const UtCString& eventName);
    // Sets every event the list names; names whose event is gone leave the
    // list. True when the list was written back.
    bool Signal();

    bool Write(const void* data, std::uint32_t length, int mode);
    bool Read(void* data, std::uint32_t length, int mode);

    QvSharedMemory& Data() { return m_data; }
    QvSharedMemory& List() { return m_list; }

private:
    bool CopyListError();
    // Reads the list under its mutex, lets `edit` change the text and
    // writes it back when edit returns true.
    template <class Edit> bool EditList(Edit edit);

    QvSharedMemory m_data;
    QvSharedMemory m_list;
    std::uint32_t m_listSize;
    std::atomic<int> m_error{0};
};
