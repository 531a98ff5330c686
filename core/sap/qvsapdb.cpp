#include "core/sap/qvsapdb.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"

#include "platform/clock.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

// How long the scan thread rests between looks at the clock.
constexpr auto kScanPoll = std::chrono::milliseconds(50);

// The first number of a dotted address at and above which it is a group.
constexpr int kFirstGroupOctet = 224;

// The directory whose hook (or scan, or poll) the calling thread is running,
// so that Start and Stop called from there do not wait for themselves.
thread_local const QvSapDb* t_hookDirectory = nullptr;

UtCString NumberedKey(const char* prefix, int n)
{
    char name[32];
    std::snprintf(name, sizeof(name), "%s%d", prefix, n);
    return UtCString(name);
}

} // namespace

// ---- Entries --------------------------------------------------------------------------

// One filed session: its key, the scans it has left and the packet of the
// first announcement filed under the key.
class QvSapDbEntry
{
public:
    QvSapDbEntry(UtCString key, const QvSAPPacket& announcement, int lifetime)
        : m_key(std::move(key)), m_age(lifetime), m_packet(announcement.GetOptions())
    {
        // Only the text is kept; it is parsed again when someone asks for a
        // field, so an entry costs little more than its text until then.
        std::memcpy(m_packet.InBuffer(), announcement.GetPacketData(),
                    QvSAPPacketOptions::headerSize);
        m_packet.SetSdpText(announcement.GetPayload());
    }
    QvSapDbEntry(const QvSapDbEntry&) = delete;
    QvSapDbEntry& operator=(const QvSapDbEntry&) = delete;
    virtual ~QvSapDbEntry() = default;

    const UtCString& Key() const { return m_key; }
    std::string_view KeyView() const { return std::string_view(m_key.chars(), m_key.length()); }
    QvSAPPacket& Packet() { return m_packet; }
    const char* Text() const { return m_packet.GetPayload(); }

    void Refresh(int lifetime) { m_age = lifetime; }
    // One scan passes; true when the entry has expired. An age already at
    // or below 0 (a lifetime set that low) stays put rather than run past
    // the bottom of the int range.
    bool AgeOneScan()
    {
        if (m_age > 0) {
            --m_age;
        }
        return m_age <= 0;
    }

private:
    UtCString m_key;
    int m_age;
    QvSAPPacket m_packet;
};

// The entries in order of arrival, with an index by key (keys are unique:
// an announcement under a known key only refreshes its entry).
struct QvSapDb::EntryTable
{
    std::vector<std::unique_ptr<QvSapDbEntry>> entries;
    std::unordered_map<std::string_view, QvSapDbEntry*> byKey;

    QvSapDbEntry* Find(const UtCString& key) const
    {
        const auto found = byKey.find(std::string_view(key.chars(), key.length()));
        return found == byKey.end() ? nullptr : found->second;
    }

    void Add(std::unique_ptr<QvSapDbEntry> entry)
    {
        byKey.emplace(entry->KeyView(), entry.get());
        entries.push_back(std::move(entry));
    }

    bool Remove(const UtCString& key)
    {
        QvSapDbEntry* entry = Find(key);
        if (entry == nullptr) {
            return false;
        }
        byKey.erase(entry->KeyView());
        std::erase_if(entries, [entry](const auto& held) { return held.get() == entry; });
        return true;
    }

    // Ages every entry by one scan and removes those that expired; true when
    // any was removed.
    bool AgeAll()
    {
        const std::size_t before = entries.size();
        std::erase_if(entries, [this](const auto& entry) {
            if (!entry->AgeOneScan()) {
                return false;
            }
            byKey.erase(entry->KeyView());
            return true;
        });
        return entries.size() != before;
    }
};

// Marks the calling thread as running one of the directory's hooks while it
// lives; nests.
class QvSapDb::HookScope
{
public:
    explicit HookScope(const QvSapDb* db) : m_previous(t_hookDirectory) { t_hookDirectory = db; }
    ~HookScope() { t_hookDirectory = m_previous; }
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;

private:
    const QvSapDb* m_previous;
};

// ---- QvSapDbListener ------------------------------------------------------------------

QvSapDbListener::QvSapDbListener(bool threaded) : QvSAPListen(threaded) {}

QvSapDbListener::QvSapDbListener(const QvSAPListenOptions& options) : QvSAPListen(options) {}

QvSapDbListener::~QvSapDbListener()
{
    Stop();
}

UtCString QvSapDbListener::GenerateKey(QvSAPPacket* packet)
{
    if (packet == nullptr) {
        return UtCString();
    }
    const UtCString origin = FindOriginLine(packet->GetPayload());
    if (origin.length() <= maxKeyLength) {
        return origin;
    }
    return UtCString(origin.chars(), maxKeyLength);
}

void QvSapDbListener::OnAnnouncement(QvSAPPacket* packet)
{
    if (m_db == nullptr || packet == nullptr) {
        return;
    }
    QvSapDb::HookScope scope(m_db);
    if (m_db->FileAnnouncement(*packet)) {
        m_db->OnAnnouncement(packet);
    }
}

void QvSapDbListener::OnDeletion(QvSAPPacket* packet)
{
    if (m_db == nullptr || packet == nullptr) {
        return;
    }
    QvSapDb::HookScope scope(m_db);
    if (m_db->RemoveSession(*packet)) {
        m_db->OnDeletion(packet);
    }
}

// ---- QvSapDb: life cycle ----------------------------------------------------------------

QvSapDb::QvSapDb(bool ownThread) : QvSapDb(ownThread, QvSAPPacketOptions::Standard()) {}

QvSapDb::QvSapDb(bool ownThread, const QvSAPPacketOptions& packetOptions)
    : QvThread(true), m_ownThread(ownThread), m_listenOptions([&] {
          QvSAPListenOptions options = QvSAPListenOptions::Standard(ownThread);
          options.packet = packetOptions;
          return options;
      }())
{
}

QvSapDb::~QvSapDb()
{
    Stop();
    JoinThread();
}

void QvSapDb::SetIgnoreUnicast(bool ignore)
{
    m_ignoreUnicast.store(ignore, std::memory_order_relaxed);
}

int QvSapDb::Start()
{
    if (InsideOwnHook()) {
        return -1;
    }
    std::lock_guard<std::mutex> control(m_control);
    if (m_started.load(std::memory_order_acquire)) {
        return -1;
    }
    QvDebugMsg("SAP Monitor starting");
    {
        std::lock_guard<std::recursive_mutex> lock(m_dbLock);
        m_entries = std::make_unique<EntryTable>();
        m_cursor = 0;
        m_changes = 0;
    }
    m_stopRequested.store(false, std::memory_order_release);
    ReadSettings();

    // Listeners may file announcements from here on.
    if (ScanInterfaces() != 0) {
        DeleteListeners();
        DropEntries();
        return -2;
    }
    m_lastScan.store(qvplat::TickCount(), std::memory_order_relaxed);
    if (m_ownThread && StartThread() == 0) {
        DeleteListeners();
        DropEntries();
        return -1;
    }
    m_started.store(true, std::memory_order_release);
    return 0;
}

void QvSapDb::ReadSettings()
{
    m_listenerSettings.reset();
    QvPropertyList* const settings = GetPropertyList();
    if (settings == nullptr) {
        return;
    }
    UtCString text;
    if (settings->FindProperty("SAPAddress", text)) {
        settings->AddProperty("SAPAddress0", text);
    }
    int number = 0;
    if (settings->FindProperty("SAPPort", number)) {
        settings->AddProperty("SAPPort0", number, QvPropertyList::Decimal);
    }
    if (settings->FindProperty("SAPEntryLifetime", number)) {
        m_lifetime.store(number, std::memory_order_relaxed);
    }
    if (settings->FindProperty("SAPDbScanPeriod", number)) {
        m_scanPeriod.store(number, std::memory_order_relaxed);
    }
    bool viewOutside = false;
    if (settings->FindProperty("ViewOutsideUnicasts", viewOutside)) {
        m_ignoreUnicast.store(!viewOutside, std::memory_order_relaxed);
    }
    // Each listener is told its interface by the scan. Its reader would read
    // the Interface key again and knows neither "DEFAULT" nor a missing
    // address, so the readers get the settings without it.
    m_listenerSettings = std::make_unique<QvPropertyList>(*settings);
    m_listenerSettings->ClearProperty("Interface");
}

int QvSapDb::OnNewInterface(unsigned long address, QvPropertyList* settings)
{
    if (settings == nullptr) {
        return -1;
    }
    QvPropertyList* readerSettings =
        m_listenerSettings != nullptr ? m_listenerSettings.get() : settings;
    int started = 0;
    for (int n = 0;; ++n) {
        int port = 0;
        if (!settings->FindProperty(NumberedKey("SAPPort", n), port)) {
            break;
        }
        if (m_listenerCount.load(std::memory_order_acquire) >= maxListeners) {
            break;
        }
        UtCString group;
        const unsigned long groupAddress =
            settings->FindProperty(NumberedKey("SAPAddress", n), group) ? inet_addr(group.chars())
                                                                        : 0;
        auto listener = std::make_unique<QvSapDbListener>(m_listenOptions);
        listener->SetInterface(address);
        listener->SetPropertyList(readerSettings);
        listener->SetAddress(groupAddress, static_cast<unsigned int>(port));
        listener->SetSapDb(this);
        QvSapDbListener* added = listener.get();
        {
            std::lock_guard<std::mutex> lock(m_listenersLock);
            m_listeners.push_back(std::move(listener));
            m_listenerCount.store(static_cast<int>(m_listeners.size()), std::memory_order_release);
        }
        // A listener that fails to start keeps its slot.
        if (added->Start() == 0) {
            ++started;
        }
    }
    return started > 0 ? 0 : -1;
}

int QvSapDb::Stop()
{
    if (InsideOwnHook()) {
        RequestStop();
        return 0;
    }
    std::lock_guard<std::mutex> control(m_control);
    if (!m_started.load(std::memory_order_acquire)) {
        return 0;
    }
    DeleteListeners();
    if (m_ownThread) {
        StopThread();
    }
    DropEntries();
    m_started.store(false, std::memory_order_release);
    return 0;
}

void QvSapDb::RequestStop()
{
    m_stopRequested.store(true, std::memory_order_release);
    StopThreadNoWait();
    std::lock_guard<std::mutex> lock(m_listenersLock);
    for (const auto& listener : m_listeners) {
        listener->StopThreadNoWait();
    }
}

void QvSapDb::DeleteListeners()
{
    std::vector<std::unique_ptr<QvSapDbListener>> listeners;
    {
        std::lock_guard<std::mutex> lock(m_listenersLock);
        listeners.swap(m_listeners);
        m_listenerCount.store(0, std::memory_order_release);
    }
    // Each Stop waits for its receive thread, so no hook runs once they are
    // gone.
    for (auto& listener : listeners) {
        listener->Stop();
    }
    listeners.clear();
}

void QvSapDb::DropEntries()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    m_entries.reset();
    m_cursor = 0;
    m_changes = 0;
}

bool QvSapDb::InsideOwnHook() const
{
    return t_hookDirectory == this;
}

// ---- Filing -------------------------------------------------------------------------------

bool QvSapDb::FileAnnouncement(QvSAPPacket& packet)
{
    const UtCString key = QvSapDbListener::GenerateKey(&packet);
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr) {
        return false;
    }
    const int lifetime = m_lifetime.load(std::memory_order_relaxed);
    if (QvSapDbEntry* known = m_entries->Find(key)) {
        known->Refresh(lifetime);
        return false;
    }
    if (!PassesUnicastFilter(packet)) {
        return false;
    }
    m_entries->Add(std::make_unique<QvSapDbEntry>(key, packet, lifetime));
    ++m_changes;
    return true;
}

bool QvSapDb::RemoveSession(QvSAPPacket& packet)
{
    const UtCString key = QvSapDbListener::GenerateKey(&packet);
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr || !m_entries->Remove(key)) {
        return false;
    }
    ++m_changes;
    return true;
}

bool QvSapDb::PassesUnicastFilter(QvSAPPacket& packet) const
{
    // Without the filter the text need not even be parsed.
    if (!m_ignoreUnicast.load(std::memory_order_relaxed)) {
        return true;
    }
    const char* address = packet.GetPropA("Address");
    // A session without a connection address names no other host, so the
    // filter has nothing to hold against it.
    if (address[0] == '\0' || std::atoi(address) >= kFirstGroupOctet) {
        return true;
    }
    for (int i = 0;; ++i) {
        const UtCString own = EnumInterface(i);
        if (own.isNull()) {
            return false;
        }
        if (own == address) {
            return true;
        }
    }
}

// ---- Ageing -------------------------------------------------------------------------------

bool QvSapDb::Worker()
{
    if (m_ownThread || InsideOwnHook()) {
        return true;
    }
    std::lock_guard<std::mutex> control(m_control);
    if (!m_started.load(std::memory_order_acquire)) {
        return true;
    }
    HookScope scope(this);
    if (!m_stopRequested.load(std::memory_order_acquire)) {
        ScanIfDue();
    }
    for (const auto& listener : m_listeners) {
        if (m_stopRequested.load(std::memory_order_acquire)) {
            break;
        }
        listener->Worker();
    }
    return true;
}

void QvSapDb::ProcessThread()
{
    HookScope scope(this);
    m_lastScan.store(qvplat::TickCount(), std::memory_order_relaxed);
    while (IsThreadRunning()) {
        ScanIfDue();
        std::this_thread::sleep_for(kScanPoll);
    }
}

void QvSapDb::ScanIfDue()
{
    const int period = std::max(m_scanPeriod.load(std::memory_order_relaxed), 0);
    const std::uint32_t elapsed =
        qvplat::ElapsedMs(qvplat::TickCount(), m_lastScan.load(std::memory_order_relaxed));
    if (elapsed > static_cast<std::uint32_t>(period)) {
        WatchDog();
        m_lastScan.store(qvplat::TickCount(), std::memory_order_relaxed);
    }
}

void QvSapDb::WatchDog()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr) {
        return;
    }
    if (m_entries->AgeAll()) {
        ++m_changes;
    }
    if (m_changes != 0) {
        // The hook may enumerate, which can move the cursor; so may anyone
        // else who holds the lock, so nothing here relies on it.
        OnChange();
        m_changes = 0;
    }
}

// ---- Enumeration --------------------------------------------------------------------------

void QvSapDb::LockDb()
{
    m_dbLock.lock();
}

void QvSapDb::UnlockDb()
{
    m_dbLock.unlock();
}

const char* QvSapDb::GetFirstItem()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    m_cursor = 0;
    if (m_entries == nullptr || m_entries->entries.empty()) {
        return nullptr;
    }
    return m_entries->entries.front()->Text();
}

const char* QvSapDb::GetNextItem()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr || m_cursor >= m_entries->entries.size()) {
        return nullptr;
    }
    ++m_cursor;
    if (m_cursor >= m_entries->entries.size()) {
        return nullptr;
    }
    return m_entries->entries[m_cursor]->Text();
}

QvSAPPacket* QvSapDb::EnumEntries(int i)
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr || i < 0 || static_cast<std::size_t>(i) >= m_entries->entries.size()) {
        return nullptr;
    }
    return &m_entries->entries[static_cast<std::size_t>(i)]->Packet();
}

int QvSapDb::NumEntries()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    return m_entries == nullptr ? 0 : static_cast<int>(m_entries->entries.size());
}

// ---- Hooks and settings -------------------------------------------------------------------

void QvSapDb::OnChange() {}

void QvSapDb::OnDeletion(QvSAPPacket*) {}

void QvSapDb::OnAnnouncement(QvSAPPacket*) {}

void QvSapDb::AddDefaultPairs(QvPropertyList& settings)
{
    settings.AddProperty("SAPAddress0", "224.2.127.254");
    settings.AddProperty("SAPPort0", "9875");
    settings.AddProperty("SAPAddress1", "226.0.0.0");
    settings.AddProperty("SAPPort1", "6318");
}

int QvSapDb::ReadRegistrySettings(QvPropertyList& settings)
{
    if (settings.ReadRegistry(registryKey, qvplat::RegRoot::LocalMachine) != 0) {
        return 1;
    }
    AddDefaultPairs(settings);
    settings.WriteRegistry(registryKey, qvplat::RegRoot::LocalMachine);
    return 0;
}
