#include "capture/channel/qvsharedmem.h"

#include "capture/channel/qvcommchannel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view View(const UtCString& text)
{
    return {text.chars(), text.length()};
}

} // namespace

// ---- QvSharedMemory ---------------------------------------------------------------

QvSharedMemory::QvSharedMemory(const UtCString& name, std::uint32_t size)
{
    Attach(name, size, true);
}

QvSharedMemory::QvSharedMemory(const UtCString& name)
{
    Attach(name, 0, false);
}

QvSharedMemory::~QvSharedMemory()
{
    // Block and size record go under the guard, as they are made: a process
    // that opens the block meanwhile finds both or neither, never a block
    // whose record its last other holder has just taken away.
    const bool locked =
        m_guard.IsOpen() && m_guard.Lock(kGuardTimeoutMs) == qvplat::NamedWait::Done;
    m_sizeRecord.reset();
    m_memory.Close();
    if (locked) {
        m_guard.Unlock();
    }
}

bool QvSharedMemory::Failed(int error)
{
    m_error = error != 0 ? error : EIO;
    return false;
}

bool QvSharedMemory::Attach(const UtCString& name, std::uint32_t size, bool create)
{
    m_isSizeRecord = name.indexOf(kSizeSuffix) != UtCString::npos;
    const UtCString mutexName = name + kMutexSuffix;
    if (!(create ? m_guard.Create(View(mutexName)) : m_guard.Open(View(mutexName)))) {
        return Failed(m_guard.Error());
    }
    // Block and size record are made under the guard, so a process that
    // finds the block also finds its record.
    const qvplat::NamedWait locked = m_guard.Lock(kGuardTimeoutMs);
    if (locked != qvplat::NamedWait::Done) {
        return Failed(locked == qvplat::NamedWait::Timeout ? ETIMEDOUT : m_guard.Error());
    }
    bool ok = create ? m_memory.Create(View(name), size) : m_memory.Open(View(name));
    if (!ok) {
        Failed(m_memory.Error());
    } else if (!m_isSizeRecord) {
        const UtCString recordName = name + kSizeSuffix;
        if (create && !m_memory.Existed()) {
            m_sizeRecord = std::make_unique<QvSharedMemory>(recordName, kSizeRecordSize);
            char text[kSizeRecordSize];
            std::snprintf(text, sizeof text, "%u", size);
            ok = m_sizeRecord->Write(text, kSizeRecordSize, kText);
        } else {
            m_sizeRecord = std::make_unique<QvSharedMemory>(recordName);
        }
        if (m_sizeRecord->GetError() != 0 || !ok) {
            Failed(m_sizeRecord->GetError());
        }
    }
    m_guard.Unlock();
    return m_error == 0;
}

bool QvSharedMemory::Lock()
{
    if (m_error != 0) {
        return false;
    }
    switch (m_guard.Lock(kGuardTimeoutMs)) {
    case qvplat::NamedWait::Done:
        return true;
    case qvplat::NamedWait::Timeout:
        return false;
    default:
        return Failed(m_guard.Error());
    }
}

void QvSharedMemory::Unlock()
{
    m_guard.Unlock();
}

std::uint32_t QvSharedMemory::GetMappedSize() const
{
    return static_cast<std::uint32_t>(std::min<std::size_t>(m_memory.Size(), UINT32_MAX));
}

bool QvSharedMemory::Read(void* destination, std::uint32_t length, int mode)
{
    if (m_error != 0 || destination == nullptr || length == 0 || !Lock()) {
        return false;
    }
    std::memset(destination, 0, length);
    const auto* view = static_cast<const char*>(m_memory.Data());
    const std::uint32_t size = GetMappedSize();
    if (mode == kText) {
        const std::size_t n = strnlen(view, std::min(length - 1, size));
        std::memcpy(destination, view, n);
    } else {
        std::memcpy(destination, view, std::min(length, size));
    }
    Unlock();
    return true;
}

bool QvSharedMemory::Write(const void* source, std::uint32_t length, int mode)
{
    if (m_error != 0 || source == nullptr) {
        return false;
    }
    const std::uint32_t size = GetMappedSize();
    std::size_t n = std::min(length, size);
    if (mode == kText) {
        n = strnlen(static_cast<const char*>(source), length);
        if (n >= size) {
            return false;
        }
    }
    if (!Lock()) {
        return false;
    }
    auto* view = static_cast<char*>(m_memory.Data());
    std::memcpy(view, source, n);
    if (mode == kText) {
        view[n] = '\0';
    }
    Unlock();
    return true;
}

std::uint32_t QvSharedMemory::GetSize()
{
    if (m_error != 0) {
        return UINT32_MAX;
    }
    if (m_isSizeRecord) {
        return kSizeRecordSize;
    }
    char text[kSizeRecordSize] = {};
    if (!m_sizeRecord->Read(text, sizeof text, kText)) {
        if (m_sizeRecord->GetError() != 0) {
            Failed(m_sizeRecord->GetError());
        }
        return UINT32_MAX;
    }
    // At most ten digits; whatever else the record holds ends the number.
    std::uint64_t value = 0;
    for (int i = 0; i < 10 && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, UINT32_MAX));
}

// ---- QvSharedBlock ----------------------------------------------------------------

QvSharedBlock::QvSharedBlock(const UtCString& name, std::uint32_t size, std::uint32_t listSize)
    : m_data(name, size), m_list(name + kListSuffix, listSize), m_listSize(listSize)
{
}

bool QvSharedBlock::IsValid() const
{
    return m_error == 0 && m_data.GetError() == 0 && m_list.GetError() == 0 &&
           m_data.GetView() != nullptr && m_list.GetView() != nullptr;
}

void* QvSharedBlock::GetView() const
{
    return IsValid() ? m_data.GetView() : nullptr;
}

bool QvSharedBlock::CopyListError()
{
    if (m_list.GetError() != 0) {
        m_error = m_list.GetError();
    }
    return false;
}

bool QvSharedBlock::AddListener(const QvCommMgrListener& listener)
{
    return listener.IsValid() && AddListener(listener.GetName());
}

template <class Edit> bool QvSharedBlock::EditList(Edit edit)
{
    if (!IsValid()) {
        return false;
    }
    // One step under the list's mutex, so that two editors (a Signal and
    // an AddListener, say) cannot drop each other's change.
    if (!m_list.Lock()) {
        return CopyListError();
    }
    std::vector<char> text(m_listSize);
    bool ok = m_list.Read(text.data(), m_listSize, QvSharedMemory::kText);
    if (ok) {
        std::string list(text.data());
        if (edit(list)) {
            ok = m_list.Write(list.c_str(), m_listSize, QvSharedMemory::kText);
        }
    }
    m_list.Unlock();
    return ok || CopyListError();
}

namespace {

// Calls fn(name) for each blank-separated name of a list text.
template <class Fn> void ForEachName(const std::string& list, Fn fn)
{
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = std::min(list.find(' ', at), list.size());
        fn(std::string_view(list).substr(at, end - at));
        at = end + 1;
    }
}

} // namespace

bool QvSharedBlock::AddListener(const UtCString& eventName)
{
    const std::string_view name = View(eventName);
    if (name.empty() || name.find(' ') != std::string_view::npos) {
        return false;
    }
    bool fits = true;
    const bool written = EditList([&](std::string& list) {
        bool present = false;
        ForEachName(list, [&](std::string_view entry) { present = present || entry == name; });
        if (present) {
            return false;
        }
        fits = list.size() + name.size() + 1 < m_listSize;
        if (fits) {
            list.append(name).append(" ");
        }
        return fits;
    });
    return written && fits;
}

bool QvSharedBlock::RemoveListener(const UtCString& eventName)
{
    const std::string_view name = View(eventName);
    return EditList([&](std::string& list) {
        std::string kept;
        ForEachName(list, [&](std::string_view entry) {
            if (!entry.empty() && entry != name) {
                kept.append(entry).append(" ");
            }
        });
        const bool changed = kept != list;
        list = std::move(kept);
        return changed;
    });
}

bool QvSharedBlock::Signal()
{
    return EditList([](std::string& list) {
        std::string kept;
        std::vector<std::string_view> seen;
        ForEachName(list, [&](std::string_view name) {
            if (name.empty() || std::find(seen.begin(), seen.end(), name) != seen.end()) {
                return;
            }
            seen.push_back(name);
            qvplat::NamedEvent event;
            if (event.Open(name)) {
                event.Set();
            } else if (event.Error() == ENOENT || event.Error() == EINVAL) {
                return; // nobody listens under this name any more
            }
            kept.append(name).append(" ");
        });
        list = std::move(kept);
        return true;
    });
}

bool QvSharedBlock::Write(const void* data, std::uint32_t length, int mode)
{
    if (m_data.Write(data, length, mode)) {
        return true;
    }
    if (m_data.GetError() != 0) {
        m_error = m_data.GetError();
    }
    return false;
}

bool QvSharedBlock::Read(void* data, std::uint32_t length, int mode)
{
    if (m_data.Read(data, length, mode)) {
        return true;
    }
    if (m_data.GetError() != 0) {
        m_error = m_data.GetError();
    }
    return false;
}
