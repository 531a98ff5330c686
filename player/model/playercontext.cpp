#include "player/model/playercontext.h"

#include "core/settings/qvlog.h"

#include "platform/file.h"
#include "platform/paths.h"

#include <cstring>
#include <strings.h>

namespace {

// A name that is, or that any settings file would turn into, one of the
// graph's element settings.
bool IsGraphElementSetting(const UtCString& name)
{
    UtCString key = name;
    UtCString value;
    if (!QvPropertyList::AsReadBack(key, value)) {
        return false; // no file carries it, and no lookup finds it under those names
    }
    for (const char* setting : kGraphElementSettings) {
        if (::strcasecmp(key.chars(), setting) == 0) {
            return true;
        }
    }
    return false;
}

// Holds the directory lock when there is a directory.
class DirectoryLock
{
public:
    explicit DirectoryLock(QvSapDb* db) : m_db(db)
    {
        if (m_db != nullptr) {
            m_db->LockDb();
        }
    }
    ~DirectoryLock()
    {
        if (m_db != nullptr) {
            m_db->UnlockDb();
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    QvSapDb* m_db;
};

bool WriteFile(const std::string& path, const std::string& contents)
{
    qvplat::File file;
    if (!file.CreateAlways(path, 0644)) {
        return false;
    }
    const bool written = contents.empty() || file.WriteAll(contents.data(), contents.size());
    return file.Close() && written;
}

} // namespace

// ---- The directory ---------------------------------------------------------------------

CPlayerSapDb::CPlayerSapDb(QvPlayerContext& context) : QvSapDb(true), m_context(context) {}

CPlayerSapDb::~CPlayerSapDb()
{
    // No hook may run on a half-destroyed object.
    Stop();
}

std::string CPlayerSapDb::ConcatenatedTexts()
{
    std::string texts;
    LockDb();
    for (const char* text = GetFirstItem(); text != nullptr; text = GetNextItem()) {
        texts.append(text, std::strlen(text));
    }
    UnlockDb();
    return texts;
}

void CPlayerSapDb::OnChange()
{
    QvDebugMsg("OnChange");
    LockDb(); // held by the scan already; it nests
    const std::string path = m_context.SapOutputPathLocked();
    if (!path.empty()) {
        // A file that cannot be created is skipped silently.
        WriteFile(path, ConcatenatedTexts());
    }
    UnlockDb();
}

// ---- The context -----------------------------------------------------------------------

QvPlayerContext::QvPlayerContext() = default;

QvPlayerContext::~QvPlayerContext() = default;

void QvPlayerContext::SetSapOutput(const UtCString& file, bool use)
{
    DirectoryLock lock(directory);
    m_sapOutputFile = file;
    m_useSapFile = use;
}

UtCString QvPlayerContext::GetSapOutputFile()
{
    DirectoryLock lock(directory);
    return m_sapOutputFile;
}

std::string QvPlayerContext::SapOutputPathLocked() const
{
    if (!m_useSapFile || m_sapOutputFile.isNull()) {
        return {};
    }
    return qvplat::MapPath(std::string_view(m_sapOutputFile.chars(), m_sapOutputFile.length()));
}

bool QvPlayerContext::TruncateSapOutput()
{
    DirectoryLock lock(directory);
    const std::string path = SapOutputPathLocked();
    return path.empty() || WriteFile(path, {});
}

QvPropertyList QvPlayerContext::StreamSettings() const
{
    QvPropertyList user;
    user.ReadDefaults("QvCtl.ini", QvPropertyList::defaultSection);
    // Every spelling of the element settings goes, also one that only a
    // later reader (a settings file's trim) would take for one of them.
    QvPropertyList settings;
    for (const QvPropertyItem* item : *properties.GetListPtr()) {
        if (!IsGraphElementSetting(item->GetName())) {
            settings.AddProperty(item->GetName(), item->GetValue());
        }
    }
    for (const char* name : kGraphElementSettings) {
        UtCString value;
        if (user.FindProperty(name, value)) {
            settings.AddProperty(name, value);
        }
    }
    return settings;
}
