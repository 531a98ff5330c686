#include "core/settings/qvproplist.h"
#include "core/sap/qvsapdb.h"
#include "core/sap/qvsappacket.h"

#include "platform/clock.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using nettest::Ipv4;
using qvtest::UdpSocket;

namespace {

constexpr auto kArrival = 5s; // generous bound for a datagram or a scan to show

// ---- Packets and datagrams ------------------------------------------------------------

std::string Sdp(const std::string& origin, const std::string& name, const std::string& address,
                int port = 5004)
{
    return "v=0\no=" + origin + "\ns=" + name + "\nc=IN IP4 " + address + "/127\nt=0 0\nm=video " +
           std::to_string(port) + " RTP/AVP 32\n";
}

std::string Origin(int id, int version = 1)
{
    return "- " + std::to_string(id) + " " + std::to_string(version) + " IN IP4 127.0.0.1";
}

std::string Header(unsigned char first, char originLastByte = 1)
{
    const char bytes[8] = {static_cast<char>(first), 0, 0x34, 0x12, 127, 0, 0, originLastByte};
    return std::string(bytes, sizeof bytes);
}

std::string AnnouncementDatagram(const std::string& sdp)
{
    return Header(0x20) + sdp + std::string(1, '\0');
}

std::string DeletionDatagram(const std::string& sdp)
{
    return Header(0x24) + sdp + std::string(1, '\0');
}

QvSAPPacket Packet(const std::string& sdp, bool deletion = false)
{
    QvSAPPacket packet;
    if (deletion) {
        packet.InitDeletion();
    } else {
        packet.InitAnnouncement();
    }
    packet.SetSdpText(sdp.c_str());
    return packet;
}

std::uint16_t FreePort()
{
    UdpSocket probe;
    return probe.LocalPort();
}

// ---- A directory that records its hooks ------------------------------------------------

class RecordingDb : public QvSapDb
{
public:
    using QvSapDb::QvSapDb;
    ~RecordingDb() override { Stop(); }

    struct Counts
    {
        int announcements = 0;
        int deletions = 0;
        int changes = 0;
    };

    Counts Snapshot() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_counts;
    }
    std::vector<std::string> AnnouncedNames() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_announced;
    }
    std::vector<std::string> DeletedNames() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_deleted;
    }
    // Entry counts seen by OnChange, in order.
    std::vector<int> ChangeSizes() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_changeSizes;
    }

    // Runs in OnChange, under the directory lock.
    std::function<void(RecordingDb&)> changeAction;
    // Runs in OnAnnouncement, on the listener's thread.
    std::function<void(RecordingDb&, QvSAPPacket*)> announcementAction;

    // Waits for a condition, polling an owner-polled directory meanwhile.
    bool WaitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = kArrival)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            Worker();
            std::unique_lock<std::mutex> lock(m_lock);
            m_event.wait_for(lock, 5ms);
        }
        return true;
    }

    // The SDP names of the entries, in directory order, read under the lock.
    std::vector<std::string> EntryNames()
    {
        std::vector<std::string> names;
        LockDb();
        for (int i = 0; i < NumEntries(); ++i) {
            names.emplace_back(EnumEntries(i)->GetPropA("SesSesName"));
        }
        UnlockDb();
        return names;
    }

    void OnChange() override
    {
        const int size = NumEntries();
        if (changeAction) {
            changeAction(*this);
        }
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counts.changes;
        m_changeSizes.push_back(size);
        m_event.notify_all();
    }
    void OnAnnouncement(QvSAPPacket* packet) override
    {
        if (announcementAction) {
            announcementAction(*this, packet);
        }
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counts.announcements;
        m_announced.emplace_back(packet->GetPropA("SesSesName"));
        m_event.notify_all();
    }
    void OnDeletion(QvSAPPacket* packet) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counts.deletions;
        m_deleted.emplace_back(packet->GetPropA("SesSesName"));
        m_event.notify_all();
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_event;
    Counts m_counts;
    std::vector<std::string> m_announced;
    std::vector<std::string> m_deleted;
    std::vector<int> m_changeSizes;
};

// A directory without sockets: every interface is taken into use without a
// listener, and packets are fed through a listener that never starts. The
// scan is polled on a manual clock.
class OfflineDb : public RecordingDb
{
public:
    OfflineDb() : RecordingDb(false) { m_feeder.SetSapDb(this); }
    ~OfflineDb() override { Stop(); }

    int OnNewInterface(unsigned long, QvPropertyList*) override { return 0; }

    void Announce(const std::string& sdp)
    {
        QvSAPPacket packet = Packet(sdp);
        m_feeder.OnSAPReceive(&packet);
    }
    void Delete(const std::string& sdp)
    {
        QvSAPPacket packet = Packet(sdp, true);
        m_feeder.OnSAPReceive(&packet);
    }
    // A whole datagram, as a listener hands it on, from the given address.
    void Receive(const std::string& datagram, const char* from)
    {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = Ipv4(from);
        source.sin_port = htons(9875);
        m_feeder.HandleDatagram(datagram.data(), datagram.size(), &source);
    }

private:
    struct Feeder : QvSapDbListener
    {
        Feeder() : QvSapDbListener(false) {}
        using QvSAPListen::HandleDatagram;
    };
    Feeder m_feeder;
};

class SapDbOffline : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_settings.AddProperty("SAPEntryLifetime", "3");
        m_settings.AddProperty("SAPDbScanPeriod", "100");
        m_db.emplace();
        m_db->SetPropertyList(&m_settings);
    }
    void TearDown() override { m_db.reset(); }

    // One scan period passes and the owner polls.
    void Scan()
    {
        m_clock.Advance(101);
        m_db->Worker();
    }

    nettest::ScopedHostAddresses m_hosts{{Ipv4("10.9.9.9"), Ipv4("192.168.7.1")}};
    qvplat::ManualClock m_clock{1000};
    qvplat::ScopedClockOverride m_clockOverride{m_clock};
    QvPropertyList m_settings;
    std::optional<OfflineDb> m_db;
};

} // namespace

// ---- Keys ----------------------------------------------------------------------------------

TEST(SapDbKey, IsTheOriginLineValue)
{
    QvSAPPacket packet = Packet(Sdp(Origin(7), "x", "239.1.1.1"));
    EXPECT_EQ(std::string(QvSapDbListener::GenerateKey(&packet).chars()), Origin(7));

    QvSAPPacket bare = Packet("o=" + Origin(8) + "\n", true);
    EXPECT_EQ(std::string(QvSapDbListener::GenerateKey(&bare).chars()), Origin(8));

    QvSAPPacket none = Packet("v=0\ns=none\n");
    EXPECT_EQ(QvSapDbListener::GenerateKey(&none).length(), 0u);
    EXPECT_EQ(QvSapDbListener::GenerateKey(nullptr).length(), 0u);
}

TEST(SapDbKey, LongOriginIsKeptWhole)
{
    const std::string origin = "- " + std::string(300, '7') + " 1 IN IP4 127.0.0.1";
    QvSAPPacket packet = Packet(Sdp(origin, "long", "239.1.1.1"));
    const UtCString key = QvSapDbListener::GenerateKey(&packet);
    EXPECT_EQ(std::string(key.chars(), key.length()), origin);
}

// ---- Filing, refresh, deletion and expiry (no sockets) ------------------------------------

TEST_F(SapDbOffline, StartsWithoutEntriesAndReadsItsSettings)
{
    EXPECT_EQ(m_db->NumEntries(), 0);
    EXPECT_EQ(m_db->GetFirstItem(), nullptr);
    ASSERT_EQ(m_db->Start(), 0);
    EXPECT_TRUE(m_db->IsStarted());
    EXPECT_EQ(m_db->GetLifetime(), 3);
    EXPECT_EQ(m_db->GetScanPeriod(), 100);
    EXPECT_EQ(m_db->NumEntries(), 0);
    EXPECT_EQ(m_db->GetFirstItem(), nullptr);
}

TEST_F(SapDbOffline, SecondStartIsRefusedAndLeavesTheDirectoryAlone)
{
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "one", "239.1.1.1"));
    EXPECT_EQ(m_db->Start(), -1);
    EXPECT_TRUE(m_db->IsStarted());
    EXPECT_EQ(m_db->NumEntries(), 1);
}

TEST_F(SapDbOffline, RepeatedAnnouncementRefreshesItsEntryOnly)
{
    ASSERT_EQ(m_db->Start(), 0);
    const std::string first = Sdp(Origin(1), "first", "239.1.1.1");
    m_db->Announce(first);
    // Same o= line, other text: still the first text, no second hook.
    m_db->Announce(Sdp(Origin(1), "renamed", "239.1.1.1"));
    EXPECT_EQ(m_db->NumEntries(), 1);
    EXPECT_EQ(m_db->Snapshot().announcements, 1);
    m_db->LockDb();
    EXPECT_STREQ(m_db->GetFirstItem(), first.c_str());
    m_db->UnlockDb();

    // Lifetime 3: two scans, a refresh, then the entry lives three more.
    Scan();
    Scan();
    m_db->Announce(first);
    Scan();
    Scan();
    EXPECT_EQ(m_db->NumEntries(), 1);
    Scan();
    EXPECT_EQ(m_db->NumEntries(), 0);
    EXPECT_EQ(m_db->Snapshot().deletions, 0) << "expiry calls no deletion hook";
}

TEST_F(SapDbOffline, LifetimeAtTheBottomOfTheIntRangeExpiresAtTheFirstScan)
{
    m_settings.AddProperty("SAPEntryLifetime", "-2147483648");
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "short", "239.1.1.1"));
    EXPECT_EQ(m_db->NumEntries(), 1);
    Scan();
    EXPECT_EQ(m_db->NumEntries(), 0);
}

TEST_F(SapDbOffline, NewSessionVersionIsANewEntryAndTheOldOneExpires)
{
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1, 1), "v1", "239.1.1.1"));
    Scan();
    m_db->Announce(Sdp(Origin(1, 2), "v2", "239.1.1.1"));
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"v1", "v2"}));
    Scan();
    Scan();
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"v2"}));
}

TEST_F(SapDbOffline, OnChangeComesOncePerScanAfterAnyNumberOfChanges)
{
    ASSERT_EQ(m_db->Start(), 0);
    Scan();
    EXPECT_EQ(m_db->Snapshot().changes, 0) << "no change, no hook";
    m_db->Announce(Sdp(Origin(1), "a", "239.1.1.1"));
    m_db->Announce(Sdp(Origin(2), "b", "239.1.1.1"));
    m_db->Delete(Sdp(Origin(1), "a", "239.1.1.1"));
    EXPECT_EQ(m_db->Snapshot().changes, 0) << "hooks wait for the scan";
    m_db->Worker(); // not due yet
    EXPECT_EQ(m_db->Snapshot().changes, 0);
    Scan();
    EXPECT_EQ(m_db->ChangeSizes(), (std::vector<int>{1}));
    Scan();
    EXPECT_EQ(m_db->Snapshot().changes, 1);
    // The entry expires at its third scan; that scan reports the change.
    Scan();
    EXPECT_EQ(m_db->ChangeSizes(), (std::vector<int>{1, 0}));
}

TEST_F(SapDbOffline, DeletionByFullTextOrByOriginLineRemovesTheEntry)
{
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "one", "239.1.1.1"));
    m_db->Announce(Sdp(Origin(2), "two", "239.1.1.1"));
    m_db->Announce(Sdp(Origin(3), "three", "239.1.1.1"));

    m_db->Delete(Sdp(Origin(2), "two", "239.1.1.1"));
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"one", "three"}));
    // A deletion may carry the o= line alone.
    m_db->Delete("o=" + Origin(1) + "\n");
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"three"}));
    // Unknown sessions and repeated deletions change nothing.
    m_db->Delete(Sdp(Origin(9), "nine", "239.1.1.1"));
    m_db->Delete(Sdp(Origin(2), "two", "239.1.1.1"));
    EXPECT_EQ(m_db->NumEntries(), 1);
    EXPECT_EQ(m_db->Snapshot().deletions, 2);
    EXPECT_EQ(m_db->DeletedNames(), (std::vector<std::string>{"two", ""}));
}

TEST_F(SapDbOffline, TextsWithoutOriginLineAreRefused)
{
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce("v=0\ns=first\nc=IN IP4 239.1.1.1/1\n");
    m_db->Announce("v=0\ns=second\nc=IN IP4 239.1.1.2/1\nx=o=- 1 1 IN IP4 1.2.3.4\n");
    EXPECT_EQ(m_db->NumEntries(), 0);
    EXPECT_EQ(m_db->Snapshot().announcements, 0);
}

TEST_F(SapDbOffline, OriginsAlikeInTheirFirst255CharactersAreTwoSessions)
{
    ASSERT_EQ(m_db->Start(), 0);
    const std::string stem = "- " + std::string(260, '4');
    m_db->Announce(Sdp(stem + "1 1 IN IP4 127.0.0.1", "first", "239.1.1.1"));
    m_db->Announce(Sdp(stem + "2 1 IN IP4 127.0.0.1", "second", "239.1.1.1"));
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"first", "second"}));
}

// Only the announcer withdraws a session: the deletion must come from the
// address the announcement came from and carry the same originating source.
struct DeletionCase
{
    const char* name;
    const char* from;
    char originLastByte;
    bool removes;
};

class SapDbDeletion : public SapDbOffline, public ::testing::WithParamInterface<DeletionCase>
{
};

TEST_P(SapDbDeletion, RemovesOnlyTheAnnouncersOwnSession)
{
    const DeletionCase deletion = GetParam();
    ASSERT_EQ(m_db->Start(), 0);
    const std::string text = Sdp(Origin(1), "kept", "239.1.1.1");
    m_db->Receive(Header(0x20) + text + '\0', "10.9.9.9");
    ASSERT_EQ(m_db->NumEntries(), 1);
    m_db->Receive(Header(0x24, deletion.originLastByte) + "o=" + Origin(1) + "\n" + '\0',
                  deletion.from);
    EXPECT_EQ(m_db->NumEntries(), deletion.removes ? 0 : 1);
    EXPECT_EQ(m_db->Snapshot().deletions, deletion.removes ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Senders, SapDbDeletion,
                         ::testing::Values(DeletionCase{"Announcer", "10.9.9.9", 1, true},
                                           DeletionCase{"OtherHost", "10.6.6.6", 1, false},
                                           DeletionCase{"OtherOrigin", "10.9.9.9", 2, false}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SapDbOffline, FullDirectoryKeepsItsSessionsAndRefusesNewOnes)
{
    nettest::DebugLogCapture log;
    m_settings.AddProperty("SAPMaxEntries", "3");
    ASSERT_EQ(m_db->Start(), 0);
    for (int i = 0; i < 5; ++i) {
        m_db->Announce(Sdp(Origin(i), "s" + std::to_string(i), "239.1.1.1"));
    }
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"s0", "s1", "s2"}));
    const std::string full = "SAP directory full (3 sessions): new sessions are not filed\n";
    EXPECT_EQ(log.Text(), "SAP Monitor starting\n" + full);
    // Held sessions are refreshed and outlive the refused ones' attempts.
    Scan();
    Scan();
    m_db->Announce(Sdp(Origin(0), "s0", "239.1.1.1"));
    m_db->Announce(Sdp(Origin(9), "s9", "239.1.1.1"));
    EXPECT_EQ(log.Text(), "SAP Monitor starting\n" + full + full) << "once per scan period";
    Scan();
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"s0"}));
    m_db->Announce(Sdp(Origin(9), "s9", "239.1.1.1"));
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"s0", "s9"}));
}

TEST_F(SapDbOffline, UnicastFilterKeepsOtherHostsOut)
{
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "elsewhere", "10.1.2.3"));
    m_db->Announce(Sdp(Origin(2), "group", "239.1.1.1"));
    m_db->Announce(Sdp(Origin(3), "here", "192.168.7.1"));
    m_db->Announce(Sdp(Origin(4), "top", "224.0.0.1"));
    m_db->Announce("v=0\no=" + Origin(5) + "\ns=nowhere\n");
    // Addresses that do not parse are neither groups nor this host's.
    m_db->Announce(Sdp(Origin(6), "malformed", "999.8.8.8"));
    m_db->Announce(Sdp(Origin(7), "word", "240-ish"));
    m_db->Announce(Sdp(Origin(8), "short", "239"));
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"group", "here", "top", "nowhere"}));
    EXPECT_EQ(m_db->Snapshot().announcements, 4);
}

TEST_F(SapDbOffline, ViewOutsideUnicastsLetsOtherHostsIn)
{
    m_settings.AddProperty("ViewOutsideUnicasts", "TRUE");
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "elsewhere", "10.1.2.3"));
    EXPECT_EQ(m_db->EntryNames(), (std::vector<std::string>{"elsewhere"}));
}

TEST_F(SapDbOffline, SettingOverridesSetIgnoreUnicastAtStart)
{
    m_db->SetIgnoreUnicast(false);
    m_settings.AddProperty("ViewOutsideUnicasts", "no");
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "elsewhere", "10.1.2.3"));
    EXPECT_EQ(m_db->NumEntries(), 0);

    // Without the setting, the owner's choice stands.
    ASSERT_EQ(m_db->Stop(), 0);
    m_settings.ClearProperty("ViewOutsideUnicasts");
    m_db->SetIgnoreUnicast(false);
    ASSERT_EQ(m_db->Start(), 0);
    m_db->Announce(Sdp(Origin(1), "elsewhere", "10.1.2.3"));
    EXPECT_EQ(m_db->NumEntries(), 1);
}

TEST_F(SapDbOffline, EnumerationWalksEntriesInOrderOfArrival)
{
    ASSERT_EQ(m_db->Start(), 0);
    std::vector<std::string> texts;
    for (int i = 0; i < 4; ++i) {
        texts.push_back(Sdp(Origin(i), "s" + std::to_string(i), "239.1.1.1"));
        m_db->Announce(texts.back());
    }
    m_db->LockDb();
    std::vector<std::string> walked;
    for (const char* text = m_db->GetFirstItem(); text != nullptr; text = m_db->GetNextItem()) {
        walked.emplace_back(text);
    }
    EXPECT_EQ(m_db->GetNextItem(), nullptr);
    EXPECT_EQ(m_db->EnumEntries(-1), nullptr);
    EXPECT_EQ(m_db->EnumEntries(4), nullptr);
    ASSERT_NE(m_db->EnumEntries(3), nullptr);
    EXPECT_STREQ(m_db->EnumEntries(3)->GetPropA("Address"), "239.1.1.1");
    m_db->UnlockDb();
    EXPECT_EQ(walked, texts);

    ASSERT_EQ(m_db->Stop(), 0);
    EXPECT_FALSE(m_db->IsStarted());
    EXPECT_EQ(m_db->NumEntries(), 0);
    EXPECT_EQ(m_db->GetFirstItem(), nullptr);
    EXPECT_EQ(m_db->GetNextItem(), nullptr);
    EXPECT_EQ(m_db->EnumEntries(0), nullptr);
    // Announcements reaching a stopped directory are not filed.
    m_db->Announce(texts.front());
    EXPECT_EQ(m_db->NumEntries(), 0);
}

TEST_F(SapDbOffline, OnChangeMayEnumerateAndStopFromItOnlyAsks)
{
    ASSERT_EQ(m_db->Start(), 0);
    std::vector<std::string> seen;
    int startResult = 0;
    m_db->changeAction = [&](RecordingDb& db) {
        db.LockDb(); // nests inside the scan's hold
        for (const char* text = db.GetFirstItem(); text != nullptr; text = db.GetNextItem()) {
            seen.emplace_back(text);
        }
        db.UnlockDb();
        startResult = db.Start();
        EXPECT_EQ(db.Stop(), 0);
    };
    const std::string text = Sdp(Origin(1), "one", "239.1.1.1");
    m_db->Announce(text);
    Scan();
    EXPECT_EQ(seen, std::vector<std::string>{text});
    EXPECT_EQ(startResult, -1);
    // The request ends the polling; the owner's Stop completes it.
    EXPECT_TRUE(m_db->IsStarted());
    Scan();
    EXPECT_EQ(m_db->Snapshot().changes, 1);
    ASSERT_EQ(m_db->Stop(), 0);
    EXPECT_FALSE(m_db->IsStarted());
    m_db->changeAction = nullptr;
    ASSERT_EQ(m_db->Start(), 0);
}

TEST_F(SapDbOffline, OlderSinglePairBecomesPairZeroInTheCallersList)
{
    m_settings.AddProperty("SAPAddress", "239.3.3.3");
    m_settings.AddProperty("SAPPort", "0x2000");
    m_settings.AddProperty("SAPAddress0", "239.9.9.9");
    ASSERT_EQ(m_db->Start(), 0);
    EXPECT_STREQ(m_settings.GetCharProperty("SAPAddress0"), "239.3.3.3");
    EXPECT_STREQ(m_settings.GetCharProperty("SAPPort0"), "8192");
}

TEST(SapDbSettings, DefaultsAndNoPairs)
{
    nettest::ScopedHostAddresses hosts({Ipv4("10.9.9.9")});
    nettest::DebugLogCapture log;
    RecordingDb db(false);
    EXPECT_EQ(db.GetLifetime(), 20);
    EXPECT_EQ(db.GetScanPeriod(), 5000);
    EXPECT_FALSE(db.IsStarted());

    // No settings, then settings without SAPPort0: no listener anywhere.
    EXPECT_EQ(db.Start(), -2);
    QvPropertyList settings;
    settings.AddProperty("SAPAddress0", "239.1.1.1");
    db.SetPropertyList(&settings);
    EXPECT_EQ(db.Start(), -2);
    EXPECT_FALSE(db.IsStarted());
    EXPECT_EQ(db.NumEntries(), 0);
    EXPECT_NE(log.Text().find("SAP Monitor starting\n"), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("No Interface Initialized\n"), std::string::npos) << log.Text();
}

TEST(SapDbSettings, RegistryKeyIsReadOrSeededWithTheDefaultPairs)
{
    const qvtest::TempDir dir("sapdb");
    ASSERT_TRUE(dir.Valid());
    const char* saved = std::getenv("QV_REGISTRY_DIR");
    const std::optional<std::string> previous =
        saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
    setenv("QV_REGISTRY_DIR", dir.Path().c_str(), 1);

    QvPropertyList first;
    first.AddProperty("ViewOutsideUnicasts", "TRUE");
    EXPECT_EQ(QvSapDb::ReadRegistrySettings(first), 0);
    EXPECT_STREQ(first.GetCharProperty("SAPAddress0"), "224.2.127.254");
    EXPECT_STREQ(first.GetCharProperty("SAPPort0"), "9875");
    EXPECT_STREQ(first.GetCharProperty("SAPAddress1"), "226.0.0.0");
    EXPECT_STREQ(first.GetCharProperty("SAPPort1"), "6318");

    // The owner's file name and its own values come back from the key.
    QvPropertyList stored;
    ASSERT_EQ(stored.ReadRegistry(QvSapDb::registryKey, qvplat::RegRoot::LocalMachine), 1);
    EXPECT_EQ(stored.GetCount(), 5);
    stored.AddProperty("SapDbFile", "/tmp/sapdb.dat");
    ASSERT_EQ(stored.WriteRegistry(QvSapDb::registryKey, qvplat::RegRoot::LocalMachine), 1);
    QvPropertyList second;
    second.AddProperty("SAPPort0", "1");
    EXPECT_EQ(QvSapDb::ReadRegistrySettings(second), 1);
    EXPECT_STREQ(second.GetCharProperty("SAPPort0"), "9875");
    EXPECT_STREQ(second.GetCharProperty("SapDbFile"), "/tmp/sapdb.dat");
    EXPECT_TRUE(second.GetBoolProperty("ViewOutsideUnicasts"));

    if (previous) {
        setenv("QV_REGISTRY_DIR", previous->c_str(), 1);
    } else {
        unsetenv("QV_REGISTRY_DIR");
    }
}

// ---- On the network -------------------------------------------------------------------------

namespace {

class SapDbNetTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_port = FreePort();
        m_settings.AddProperty("SAPAddress0", m_group);
        m_settings.AddProperty("SAPPort0", static_cast<int>(m_port), QvPropertyList::Decimal);
        m_settings.AddProperty("SAPDbScanPeriod", "50");
        m_sender.emplace("127.0.0.1");
    }
    void TearDown() override
    {
        m_sender.reset();
        NetnsTest::TearDown();
    }

    void Send(const std::string& datagram)
    {
        ASSERT_TRUE(m_sender->SendTo(m_group, m_port, datagram));
    }

    const char* m_group = "239.7.7.7";
    std::uint16_t m_port = 0;
    QvPropertyList m_settings;
    std::optional<UdpSocket> m_sender;
};

} // namespace

TEST_F(SapDbNetTest, AnnouncementsAndDeletionsReachTheirHooks)
{
    RecordingDb db;
    db.SetPropertyList(&m_settings);
    ASSERT_EQ(db.Start(), 0);
    EXPECT_EQ(db.GetNumListeners(), 1);
    EXPECT_EQ(db.GetNumInterfaces(), 1);

    const std::string text = Sdp(Origin(1), "camera", "239.1.2.3", 6000);
    Send(AnnouncementDatagram(text));
    Send(AnnouncementDatagram(text));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().changes >= 1; }));
    EXPECT_EQ(db.AnnouncedNames(), std::vector<std::string>{"camera"});
    db.LockDb();
    ASSERT_EQ(db.NumEntries(), 1);
    EXPECT_STREQ(db.GetFirstItem(), text.c_str());
    EXPECT_STREQ(db.EnumEntries(0)->GetPropA("Port"), "6000");
    db.UnlockDb();

    Send(DeletionDatagram(text));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().deletions == 1; }));
    EXPECT_EQ(db.NumEntries(), 0);
    EXPECT_EQ(db.DeletedNames(), std::vector<std::string>{"camera"});
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().changes >= 2; }));
    EXPECT_EQ(db.ChangeSizes().back(), 0);
}

TEST_F(SapDbNetTest, OwnerPolledDirectoryWorksThroughWorker)
{
    RecordingDb db(false);
    db.SetPropertyList(&m_settings);
    ASSERT_EQ(db.Start(), 0);
    // The second start of an owner-polled directory is refused too.
    EXPECT_EQ(db.Start(), -1);
    Send(AnnouncementDatagram(Sdp(Origin(1), "polled", "239.1.2.3")));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().changes == 1; }));
    EXPECT_EQ(db.EntryNames(), std::vector<std::string>{"polled"});
}

TEST_F(SapDbNetTest, EntriesExpireAfterTheirLifetime)
{
    m_settings.AddProperty("SAPEntryLifetime", "2");
    RecordingDb db;
    db.SetPropertyList(&m_settings);
    ASSERT_EQ(db.Start(), 0);
    Send(AnnouncementDatagram(Sdp(Origin(1), "brief", "239.1.2.3")));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().announcements == 1; }));
    ASSERT_TRUE(db.WaitUntil([&] { return db.NumEntries() == 0; }));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().changes >= 2; }));
    EXPECT_EQ(db.ChangeSizes().front(), 1);
    EXPECT_EQ(db.ChangeSizes().back(), 0);
    EXPECT_EQ(db.Snapshot().deletions, 0);
}

TEST_F(SapDbNetTest, DefaultInterfaceGivesEachListenerTheScannedAddress)
{
    m_settings.AddProperty("Interface", "default");
    RecordingDb db;
    db.SetPropertyList(&m_settings);
    ASSERT_EQ(db.Start(), 0);
    EXPECT_EQ(db.GetNumListeners(), 1);
    Send(AnnouncementDatagram(Sdp(Origin(1), "by default", "239.1.2.3")));
    ASSERT_TRUE(db.WaitUntil([&] { return db.NumEntries() == 1; }));
    // The caller's list keeps its Interface key.
    EXPECT_STREQ(m_settings.GetCharProperty("Interface"), "default");
}

TEST_F(SapDbNetTest, InterfaceTheHostLacksStartsNothing)
{
    nettest::DebugLogCapture log;
    m_settings.AddProperty("Interface", "10.200.200.200");
    RecordingDb db;
    db.SetPropertyList(&m_settings);
    EXPECT_EQ(db.Start(), -2);
    EXPECT_FALSE(db.IsStarted());
    EXPECT_EQ(db.GetNumListeners(), 0);
    EXPECT_NE(log.Text().find("Local interface not available."), std::string::npos) << log.Text();
}

TEST_F(SapDbNetTest, StartStopCyclesLeaveNoSocketOrThreadBehind)
{
    const std::size_t before = nettest::OpenFdCount();
    {
        RecordingDb db;
        db.SetPropertyList(&m_settings);
        for (int round = 0; round < 5; ++round) {
            ASSERT_EQ(db.Start(), 0);
            EXPECT_EQ(nettest::OpenFdCount(), before + 1);
            Send(AnnouncementDatagram(Sdp(Origin(round), "r", "239.1.2.3")));
            ASSERT_TRUE(db.WaitUntil([&] { return db.NumEntries() == 1; }));
            ASSERT_EQ(db.Stop(), 0);
            EXPECT_EQ(db.NumEntries(), 0);
            EXPECT_EQ(db.Stop(), 0);
        }
        // Destroyed while started.
        ASSERT_EQ(db.Start(), 0);
    }
    EXPECT_EQ(nettest::OpenFdCount(), before);
}

TEST_F(SapDbNetTest, HooksMayStopTheDirectoryWithoutWaitingForThemselves)
{
    RecordingDb db;
    db.SetPropertyList(&m_settings);
    std::atomic<int> startResult{0};
    std::atomic<int> stopResult{1};
    db.announcementAction = [&](RecordingDb& self, QvSAPPacket*) {
        startResult = self.Start();
        stopResult = self.Stop();
    };
    ASSERT_EQ(db.Start(), 0);
    Send(AnnouncementDatagram(Sdp(Origin(1), "stopper", "239.1.2.3")));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().announcements == 1; }));
    EXPECT_EQ(startResult.load(), -1);
    EXPECT_EQ(stopResult.load(), 0);
    EXPECT_EQ(db.Stop(), 0);
    EXPECT_FALSE(db.IsStarted());
}

TEST_F(SapDbNetTest, EnumerationUnderTheLockWhileAnnouncementsFloodIn)
{
    m_settings.AddProperty("SAPDbScanPeriod", "5");
    m_settings.AddProperty("SAPEntryLifetime", "3");
    constexpr int kSessions = 200;
    auto db = std::make_unique<RecordingDb>();
    db->SetPropertyList(&m_settings);
    std::atomic<long> walkedInHook{0};
    db->changeAction = [&](RecordingDb& self) {
        for (int i = 0; i < self.NumEntries(); ++i) {
            walkedInHook +=
                static_cast<long>(std::strlen(self.EnumEntries(i)->GetPropA("SesSesName")));
        }
    };
    ASSERT_EQ(db->Start(), 0);

    std::atomic<bool> sending{true};
    std::thread sender([&] {
        UdpSocket socket("127.0.0.1");
        for (int round = 0; sending; ++round) {
            for (int i = 0; i < kSessions && sending; ++i) {
                const std::string text =
                    Sdp(Origin(i), "session " + std::to_string(i), "239.1.2.3");
                socket.SendTo(m_group, m_port,
                              (round + i) % 3 == 0 ? DeletionDatagram(text)
                                                   : AnnouncementDatagram(text));
            }
            std::this_thread::sleep_for(1ms);
        }
    });

    long walked = 0;
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end) {
        db->LockDb();
        const int count = db->NumEntries();
        EXPECT_LE(count, kSessions);
        for (const char* text = db->GetFirstItem(); text != nullptr; text = db->GetNextItem()) {
            walked += static_cast<long>(std::strlen(text));
        }
        for (int i = 0; i < count; ++i) {
            walked += static_cast<long>(std::strlen(db->EnumEntries(i)->GetPropA("Address")));
        }
        db->UnlockDb();
    }
    // Destroyed while the flood goes on: listeners and scan end before the
    // entries go.
    db.reset();
    sending = false;
    sender.join();
    EXPECT_GT(walked, 0);
    EXPECT_GT(walkedInHook.load(), 0);
}

// ---- Two listening pairs on two interfaces ---------------------------------------------------

namespace {

class SapDbTwoLinks : public qvtest::TwoHostTest
{
protected:
    SapDbTwoLinks() : TwoHostTest(2) {}

    void PeerSendsVia(std::size_t link, const char* group, std::uint16_t port,
                      const std::string& datagram)
    {
        const std::string source = Link(link).peerAddress;
        Peer().Run([&] {
            UdpSocket sender(source);
            sender.SetMulticastInterface(source);
            ASSERT_TRUE(sender.SendTo(group, port, datagram));
        });
    }
};

} // namespace

TEST_F(SapDbTwoLinks, TwoPairsOnTwoInterfacesGiveFourListeners)
{
    const std::uint16_t ports[2] = {FreePort(), FreePort()};
    const char* groups[2] = {"239.1.1.1", "239.2.2.2"};
    QvPropertyList settings;
    for (int n = 0; n < 2; ++n) {
        settings.AddProperty(("SAPAddress" + std::to_string(n)).c_str(), groups[n]);
        settings.AddProperty(("SAPPort" + std::to_string(n)).c_str(), ports[n],
                             QvPropertyList::Decimal);
    }
    settings.AddProperty("SAPDbScanPeriod", "50");
    RecordingDb db;
    db.SetPropertyList(&settings);
    ASSERT_EQ(db.Start(), 0);
    EXPECT_EQ(db.GetNumInterfaces(), 2);
    EXPECT_EQ(db.GetNumListeners(), 4);

    // One session per pair and link: each reaches only the listener joined
    // on its link, so all four are filed only when all four listen.
    std::vector<std::string> expected;
    for (std::size_t link = 0; link < 2; ++link) {
        for (int n = 0; n < 2; ++n) {
            const std::string name = "link" + std::to_string(link) + "pair" + std::to_string(n);
            expected.push_back(name);
            PeerSendsVia(link, groups[n], ports[n],
                         AnnouncementDatagram(
                             Sdp(Origin(static_cast<int>(link) * 10 + n), name, "239.1.2.3")));
        }
    }
    ASSERT_TRUE(db.WaitUntil([&] { return db.NumEntries() == 4; })) << db.NumEntries();
    // Four receive threads: the order of filing is theirs.
    std::vector<std::string> names = db.EntryNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
}

TEST_F(SapDbTwoLinks, PeerUnicastSessionsAreFiltered)
{
    const std::uint16_t port = FreePort();
    QvPropertyList settings;
    settings.AddProperty("SAPAddress0", "239.1.1.1");
    settings.AddProperty("SAPPort0", port, QvPropertyList::Decimal);
    RecordingDb db;
    db.SetPropertyList(&settings);
    ASSERT_EQ(db.Start(), 0);

    // A stream sent to the peer's own address is of no use here; one sent
    // to this host's second link is.
    PeerSendsVia(0, "239.1.1.1", port,
                 AnnouncementDatagram(Sdp(Origin(1), "peer", Link(0).peerAddress)));
    PeerSendsVia(0, "239.1.1.1", port,
                 AnnouncementDatagram(Sdp(Origin(2), "mine", Link(1).localAddress)));
    ASSERT_TRUE(db.WaitUntil([&] { return db.Snapshot().announcements == 1; }));
    EXPECT_EQ(db.EntryNames(), std::vector<std::string>{"mine"});
}
