#pragma once
// The live directory of announced sessions.
//
// QvSapDb listens for SAP announcements on every configured listening pair
// (group address and port) on the host's interfaces, files each new session
// under the value of its SDP o= line together with the SAP header's
// originating source, forgets a session when its announcer deletes it or when
// it has not been announced for a number of scan periods, and tells its owner
// about changes through virtual hooks.
//
// What is filed: an announcement needs an o= line (at the start of the text
// or after a line feed); one naming a unicast connection address of another
// host is left out while the unicast filter is on. A deletion removes its
// session only when it comes from the address the announcement came from
// and carries the same originating source. Without authentication that is
// as far as it goes: a host that forges its source address can still delete.
// The directory holds at most SAPMaxEntries sessions: beyond that new ones
// are refused (logged once per scan period) and the ones held stay. Filing,
// refreshing, deleting and expiring take constant time per session, whatever
// the size of the directory. Its listeners are
// QvSapDbListener objects: SAP listeners that file what they receive into
// their directory.
//
// Settings, read from the list given with SetPropertyList during Start only:
//
//   SAPAddress<n>, SAPPort<n>  listening pairs, n = 0, 1, ... while
//                              SAPPort<n> exists; a pair without an address
//                              only binds the port and joins no group
//   SAPAddress, SAPPort        an older single pair: copied into the list as
//                              SAPAddress0 / SAPPort0, replacing those
//   SAPEntryLifetime           scans an entry survives unannounced (20)
//   SAPDbScanPeriod            milliseconds between scans (5000)
//   ViewOutsideUnicasts        TRUE files announcements naming a unicast
//                              address of another host; FALSE drops them
//                              (the default)
//   SAPMaxEntries              most sessions held at once (65536)
//   Interface                  "ANY", "DEFAULT" or a dotted address: which
//                              interfaces get listeners
//
// The owners keep these values, together with `SapDbFile` (the name of an
// output file some of them write), under the registry key registryKey;
// ReadRegistrySettings reads that key the way they do.
//
// Threads and hooks:
//   - OnAnnouncement and OnDeletion run on the listener thread that received
//     the packet (the owner's thread for an owner-polled directory), after
//     the directory lock has been left. The packet is valid only during the
//     call.
//   - OnChange runs on the directory's scan thread (or the polling owner's
//     thread) with the directory lock held, at most once per scan period
//     after any number of changes; it may enumerate without locking again.
//   - Other threads enumerate between LockDb and UnlockDb; the texts and
//     packets handed out belong to the entries and are valid only while the
//     lock is held. The lock nests.
//   - Start and Stop must not be called while the caller holds the directory
//     lock. Called from one of this directory's hooks, Start is refused and
//     Stop only asks the threads to end; the owner's own Stop (or the
//     destructor) then completes it.
//   - A subclass that overrides a hook calls Stop() first thing in its own
//     destructor, so that no hook runs on a half-destroyed object; the base
//     destructor stops as well, as a last safety net.

#include "core/qvexport.h"
#include "core/net/qvinterfaces.h"
#include "core/sap/qvsap.h"
#include "core/sap/qvsappacket.h"
#include "core/net/qvsocket.h"
#include "core/threads/qvthread.h"
#include "core/strings/utstring.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class QvPropertyList;
class QvSapDb;

// A SAP listener that files what it receives into its directory.
class QV_API QvSapDbListener : public QvSAPListen
{
public:
    explicit QvSapDbListener(bool threaded = true);
    explicit QvSapDbListener(const QvSAPListenOptions& options);
    // Ends the receive loop before this object goes.
    ~QvSapDbListener() override;

    // The owning directory; set before Start.
    void SetSapDb(QvSapDb* db) { m_db = db; }
    QvSapDb* GetSapDb() const { return m_db; }

    // The session part of a packet's entry key: the whole value of its
    // text's o= line; empty when the text has none. The directory keys its
    // entries on it together with the header's originating source.
    static UtCString GenerateKey(QvSAPPacket* packet);

    // File an announcement into the directory (a known key only refreshes
    // its entry) and remove the entry of a deletion; each calls the
    // directory's hook of the same name when the directory changed.
    void OnAnnouncement(QvSAPPacket* packet) override;
    void OnDeletion(QvSAPPacket* packet) override;

private:
    QvSapDb* m_db = nullptr;
};

class QV_API QvSapDb : public QvAllInterfaces, public QvThread
{
public:
    // The registry key (under HKEY_LOCAL_MACHINE) of the directory settings.
    static constexpr const char* registryKey = "SOFTWARE\\Talvex\\SAPDatabase";
    // At most this many listeners exist, whatever the pairs and interfaces.
    static constexpr int maxListeners = 64;
    static constexpr int defaultScanPeriod = 5000; // milliseconds
    static constexpr int defaultLifetime = 20;     // scans
    static constexpr int defaultMaxEntries = 65536;

    // With ownThread the ageing scan runs on the directory's own thread and
    // every listener runs its own receive thread; otherwise the owner calls
    // Worker periodically. The listeners' packets have the given layout
    // (the channel list and the program monitor use a smaller one).
    explicit QvSapDb(bool ownThread = true);
    QvSapDb(bool ownThread, const QvSAPPacketOptions& packetOptions);
    // Stops the directory (listeners, then its thread, then the entries).
    ~QvSapDb() override;

    QvSapDb(const QvSapDb&) = delete;
    QvSapDb& operator=(const QvSapDb&) = delete;

    // The settings list is set with QvAllInterfaces::SetPropertyList and read
    // by Start only (not owned; it must live until Start returns). Start may
    // write SAPAddress0 / SAPPort0 into it.
    // Sets the unicast filter; overridden at the next Start when the
    // settings hold ViewOutsideUnicasts.
    void SetIgnoreUnicast(bool ignore);
    int GetLifetime() const { return m_lifetime.load(std::memory_order_relaxed); }
    int GetScanPeriod() const { return m_scanPeriod.load(std::memory_order_relaxed); }
    int GetMaxEntries() const { return m_maxEntries.load(std::memory_order_relaxed); }
    bool IsStarted() const { return m_started.load(std::memory_order_acquire); }
    // Listeners created by the last Start, started or not.
    int GetNumListeners() const { return m_listenerCount.load(std::memory_order_acquire); }

    // 0 started; -1 already started, called from a hook, or the thread did
    // not start; -2 the interface scan failed (no host address, or no
    // listener started on any interface).
    int Start();
    // Ends the listeners and the thread, then destroys the entries; 0.
    int Stop();

    void LockDb();
    void UnlockDb();

    // Enumeration, under LockDb. The SDP text of the first entry, or null
    // when there is none; resets the cursor.
    const char* GetFirstItem();
    // The text of the entry after the cursor's, or null past the end.
    const char* GetNextItem();
    // The packet of entry i (0 <= i < NumEntries), else null.
    QvSAPPacket* EnumEntries(int i);
    // The number of entries; 0 when stopped.
    int NumEntries();

    // For an owner-polled directory: runs the scan when it is due, then lets
    // each listener handle at most one waiting datagram. Does nothing for a
    // directory with its own thread. Always true.
    bool Worker();

    // Creates and starts the listeners of one interface (network byte
    // order): 0 when at least one of them started, else -1.
    int OnNewInterface(unsigned long address, QvPropertyList* settings) override;

    // Hooks, empty here; see the threads note above.
    virtual void OnChange();
    virtual void OnDeletion(QvSAPPacket* packet);
    virtual void OnAnnouncement(QvSAPPacket* packet);

    // Adds the listening pairs the owners use when nothing is configured:
    // 224.2.127.254 port 9875 and 226.0.0.0 port 6318.
    static void AddDefaultPairs(QvPropertyList& settings);
    // Adds the values of registryKey to the list (they replace values of the
    // same name) and returns 1. When the key cannot be read, adds the default
    // pairs, writes the whole list to the key and returns 0.
    static int ReadRegistrySettings(QvPropertyList& settings);

protected:
    void ProcessThread() override;

private:
    friend class QvSapDbListener;
    struct EntryTable;
    class HookScope;

    // Filing and removing, for the listeners; `source` is the address the
    // datagram came from (network order). True when the directory changed
    // (a new entry, a removed one).
    bool FileAnnouncement(QvSAPPacket& packet, std::uint32_t source);
    bool RemoveSession(QvSAPPacket& packet, std::uint32_t source);
    // Whether an announcement may be filed, by the connection address it
    // names.
    bool PassesUnicastFilter(QvSAPPacket& packet) const;

    void ReadSettings();
    void ScanIfDue();
    void WatchDog();
    bool InsideOwnHook() const;
    void RequestStop();
    // Stops and deletes the listeners; they may still be running.
    void DeleteListeners();
    void DropEntries();

    const bool m_ownThread;
    const QvSAPListenOptions m_listenOptions;
    // Never opened; keeps the socket layer counted while the directory lives.
    QvSocket m_socketLibrary;
    // The settings as the listeners' readers see them: the directory picks
    // the interface, so the Interface key is left out.
    std::unique_ptr<QvPropertyList> m_listenerSettings;

    std::vector<std::unique_ptr<QvSapDbListener>> m_listeners;
    std::atomic<int> m_listenerCount{0};
    std::mutex m_listenersLock; // guards m_listeners against a stop request
    std::mutex m_control;       // serialises Start, Stop and Worker

    std::atomic<int> m_scanPeriod{defaultScanPeriod};
    std::atomic<int> m_lifetime{defaultLifetime};
    std::atomic<int> m_maxEntries{defaultMaxEntries};
    std::atomic<bool> m_ignoreUnicast{true};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<std::uint32_t> m_lastScan{0};

    // The directory lock and what it guards.
    std::recursive_mutex m_dbLock;
    std::unique_ptr<EntryTable> m_entries; // null while stopped
    std::size_t m_cursor = 0;
    int m_changes = 0;
    bool m_fullLogged = false; // the cap was logged since the last scan
};
