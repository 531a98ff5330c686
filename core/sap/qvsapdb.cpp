#include "core/sap/qvsapdb.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"

#include "platform/clock.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

// One filed session: its key, the address its announcement came from, the
// packet of the first announcement filed under the key, and its places in
// the table's two orders.
class QvSapDbEntry
{
public:
    QvSapDbEntry(std::string key, std::uint32_t source, const QvSAPPacket& announcement)
        : m_key(std::move(key)), m_source(source), m_packet(announcement.GetOptions())
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

    std::string_view Key() const { return m_key; }
    std::uint32_t Source() const { return m_source; }
    QvSAPPacket& Packet() { return m_packet; }
    const char* Text() const { return m_packet.GetPayload(); }

    std::size_t position = 0;      // in the arrival order
    std::uint64_t expiresAt = 0;   // the scan that removes it unless announced again
    QvSapDbEntry* older = nullptr; // neighbours in the order of last announcement
    QvSapDbEntry* newer = nullptr;

private:
    std::string m_key;
    std::uint32_t m_source;
    QvSAPPacket m_packet;
};

// The entries, indexed by key (keys are unique: an announcement under a known
// key only refreshes its entry), in order of arrival for enumeration, and in
// order of their last announcement for expiry. Under one lifetime the least
// recently announced entry always expires first, so a scan looks only at the
// entries that expire, and removing an entry leaves a hole in the arrival
// order that is closed up later: nothing walks the whole table but an
// enumeration.
struct QvSapDb::EntryTable
{
    std::unordered_map<std::string_view, std::unique_ptr<QvSapDbEntry>> byKey;
    std::vector<QvSapDbEntry*> arrival; // null where an entry left
    std::size_t holes = 0;
    QvSapDbEntry* oldest = nullptr;
    QvSapDbEntry* newest = nullptr;
    std::uint64_t scans = 0;

    std::size_t Size() const { return byKey.size(); }

    QvSapDbEntry* Find(std::string_view key) const
    {
        const auto found = byKey.find(key);
        return found == byKey.end() ? nullptr : found->second.get();
    }

    void Add(std::unique_ptr<QvSapDbEntry> entry, int lifetime)
    {
        QvSapDbEntry* added = entry.get();
        added->position = arrival.size();
        arrival.push_back(added);
        byKey.emplace(added->Key(), std::move(entry));
        LinkNewest(added, lifetime);
    }

    void Refresh(QvSapDbEntry* entry, int lifetime)
    {
        Unlink(entry);
        LinkNewest(entry, lifetime);
    }

    void Remove(QvSapDbEntry* entry)
    {
        Unlink(entry);
        arrival[entry->position] = nullptr;
        ++holes;
        // Holes are closed once they are half the order: a constant cost per
        // removal over time.
        if (holes > arrival.size() / 2) {
            Compact();
        }
        byKey.erase(byKey.find(entry->Key()));
    }

    // One scan passes; removes the entries it expires and says whether any.
    bool Age()
    {
        ++scans;
        bool removed = false;
        while (oldest != nullptr && oldest->expiresAt <= scans) {
            Remove(oldest);
            removed = true;
        }
        return removed;
    }

    // The entries in order of arrival, without holes.
    const std::vector<QvSapDbEntry*>& InArrivalOrder()
    {
        if (holes != 0) {
            Compact();
        }
        return arrival;
    }

private:
    void LinkNewest(QvSapDbEntry* entry, int lifetime)
    {
        // An entry lives `lifetime` scans after its last announcement; a
        // lifetime of 0 or less ends it at the first scan.
        entry->expiresAt = scans + static_cast<std::uint64_t>(std::max(lifetime, 1));
        entry->older = newest;
        entry->newer = nullptr;
        if (newest != nullptr) {
            newest->newer = entry;
        } else {
            oldest = entry;
        }
        newest = entry;
    }

    void Unlink(QvSapDbEntry* entry)
    {
        (entry->older != nullptr ? entry->older->newer : oldest) = entry->newer;
        (entry->newer != nullptr ? entry->newer->older : newest) = entry->older;
        entry->older = nullptr;
        entry->newer = nullptr;
    }

    void Compact()
    {
        std::size_t kept = 0;
        for (QvSapDbEntry* entry : arrival) {
            if (entry != nullptr) {
                entry->position = kept;
                arrival[kept++] = entry;
            }
        }
        arrival.resize(kept);
        holes = 0;
    }
};

namespace {

// The directory's key of a packet: its originating source and the value of
// its o= line.
std::string EntryKey(const QvSAPPacket& packet, const UtCString& session)
{
    std::string key(reinterpret_cast<const char*>(packet.GetPacketData()->origSrc),
                    sizeof(SAPPacket::origSrc));
    key.append(session.chars(), session.length());
    return key;
}

} // namespace

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
    return FindOriginLine(packet->GetPayload());
}

void QvSapDbListener::OnAnnouncement(QvSAPPacket* packet)
{
    if (m_db == nullptr || packet == nullptr) {
        return;
    }
    QvSapDb::HookScope scope(m_db);
    if (m_db->FileAnnouncement(*packet, GetDatagramSource().sin_addr.s_addr)) {
        m_db->OnAnnouncement(packet);
    }
}

void QvSapDbListener::OnDeletion(QvSAPPacket* packet)
{
    if (m_db == nullptr || packet == nullptr) {
        return;
    }
    QvSapDb::HookScope scope(m_db);
    if (m_db->RemoveSession(*packet, GetDatagramSource().sin_addr.s_addr)) {
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
    if (settings->FindProperty("SAPMaxEntries", number)) {
        if (number > 0) {
            m_maxEntries.store(number, std::memory_order_relaxed);
        } else {
            QvDebugMsg("SAPMaxEntries %d ignored; the directory holds up to %d sessions.", number,
                       m_maxEntries.load(std::memory_order_relaxed));
        }
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
    m_fullLogged = false;
}

bool QvSapDb::InsideOwnHook() const
{
    return t_hookDirectory == this;
}

// ---- Filing -------------------------------------------------------------------------------

bool QvSapDb::FileAnnouncement(QvSAPPacket& packet, std::uint32_t source)
{
    const UtCString session = QvSapDbListener::GenerateKey(&packet);
    if (session.length() == 0) {
        // A description without an o= line names no session.
        return false;
    }
    const std::string key = EntryKey(packet, session);
    const int lifetime = m_lifetime.load(std::memory_order_relaxed);
    const auto knownOrFull = [&] {
        if (QvSapDbEntry* known = m_entries->Find(key)) {
            m_entries->Refresh(known, lifetime);
            return true;
        }
        const int cap = m_maxEntries.load(std::memory_order_relaxed);
        if (m_entries->Size() >= static_cast<std::size_t>(cap)) {
            if (!m_fullLogged) {
                QvDebugMsg("SAP directory full (%d sessions): new sessions are not filed", cap);
                m_fullLogged = true;
            }
            return true;
        }
        return false;
    };
    {
        std::lock_guard<std::recursive_mutex> lock(m_dbLock);
        if (m_entries == nullptr || knownOrFull()) {
            return false;
        }
    }
    // The filter parses the text and the entry copies it: both outside the
    // lock, which enumerating owners share.
    if (!PassesUnicastFilter(packet)) {
        return false;
    }
    auto entry = std::make_unique<QvSapDbEntry>(key, source, packet);
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    // Another listener may have filed the session meanwhile.
    if (m_entries == nullptr || knownOrFull()) {
        return false;
    }
    m_entries->Add(std::move(entry), lifetime);
    ++m_changes;
    return true;
}

bool QvSapDb::RemoveSession(QvSAPPacket& packet, std::uint32_t source)
{
    const UtCString session = QvSapDbListener::GenerateKey(&packet);
    if (session.length() == 0) {
        return false;
    }
    const std::string key = EntryKey(packet, session);
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr) {
        return false;
    }
    // Only the announcer withdraws a session: the deletion must come from
    // the address the announcement came from (the originating source is in
    // the key already).
    QvSapDbEntry* entry = m_entries->Find(key);
    if (entry == nullptr || entry->Source() != source) {
        return false;
    }
    m_entries->Remove(entry);
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
    if (address[0] == '\0') {
        return true;
    }
    in_addr named{};
    if (inet_pton(AF_INET, address, &named) != 1) {
        // Not an address: neither a group nor one of this host's.
        return false;
    }
    if ((ntohl(named.s_addr) >> 24) >= kFirstGroupOctet) {
        return true;
    }
    for (int i = 0;; ++i) {
        const UtCString own = EnumInterface(i);
        if (own.isNull()) {
            return false;
        }
        in_addr ownAddress{};
        if (inet_pton(AF_INET, own.chars(), &ownAddress) == 1 &&
            ownAddress.s_addr == named.s_addr) {
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
    m_fullLogged = false;
    if (m_entries->Age()) {
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
    if (m_entries == nullptr || m_entries->Size() == 0) {
        return nullptr;
    }
    return m_entries->InArrivalOrder().front()->Text();
}

const char* QvSapDb::GetNextItem()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr) {
        return nullptr;
    }
    const std::vector<QvSapDbEntry*>& entries = m_entries->InArrivalOrder();
    if (m_cursor >= entries.size()) {
        return nullptr;
    }
    ++m_cursor;
    if (m_cursor >= entries.size()) {
        return nullptr;
    }
    return entries[m_cursor]->Text();
}

QvSAPPacket* QvSapDb::EnumEntries(int i)
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    if (m_entries == nullptr || i < 0 || static_cast<std::size_t>(i) >= m_entries->Size()) {
        return nullptr;
    }
    return &m_entries->InArrivalOrder()[static_cast<std::size_t>(i)]->Packet();
}

int QvSapDb::NumEntries()
{
    std::lock_guard<std::recursive_mutex> lock(m_dbLock);
    return m_entries == nullptr ? 0 : static_cast<int>(m_entries->Size());
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
