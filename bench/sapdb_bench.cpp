// SAP directory costs: how many announcements one directory files or
// refreshes per second, and what a directory of many sessions costs in memory
// and in scan time. Packets are fed straight to a directory listener's
// processing hooks (or to its datagram decoder), so no socket is involved.

#include "core/net/qvhostaddr.h"
#include "core/settings/qvproplist.h"
#include "core/sap/qvsap.h"
#include "core/sap/qvsapdb.h"
#include "core/sap/qvsappacket.h"

#include "platform/clock.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kLargeDirectory = 10000;

std::vector<std::uint32_t> BenchHost()
{
    return {inet_addr("10.9.9.9")};
}

std::string SessionText(int id)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 10.9.9.9\ns=Session " +
           std::to_string(id) + "\ni=/media/clip.mpg\nc=IN IP4 239.1." +
           std::to_string((id >> 8) & 0xff) + "." + std::to_string(id & 0xff) +
           "/64\nb=X-QV:1500000\nt=0 0\na=mux:m2p\na=packetformat:OPV\na=packetsize:8196\n"
           "m=video 5004 UDP 0\nm=audio 5004 UDP 0\n";
}

QvSAPPacket Announcement(int id)
{
    QvSAPPacket packet;
    packet.InitAnnouncement();
    packet.SetSdpText(SessionText(id).c_str());
    return packet;
}

std::string Datagram(int id)
{
    const char header[8] = {0x20, 0, 0x34, 0x12, 10, 9, 9, 9};
    return std::string(header, sizeof header) + SessionText(id) + std::string(1, '\0');
}

// A directory without sockets: it takes every interface into use without
// creating listeners, is polled by its owner, and is fed through a listener
// that never starts.
class BenchDb : public QvSapDb
{
public:
    explicit BenchDb(int lifetime = 1 << 30) : QvSapDb(false)
    {
        m_settings.AddProperty("SAPEntryLifetime", lifetime, QvPropertyList::Decimal);
        m_settings.AddProperty("SAPDbScanPeriod", "100");
        SetPropertyList(&m_settings);
        m_feeder.SetSapDb(this);
    }
    ~BenchDb() override { Stop(); }

    int OnNewInterface(unsigned long, QvPropertyList*) override { return 0; }

    QvSapDbListener& Feeder() { return m_feeder; }

private:
    QvPropertyList m_settings;
    QvSapDbListener m_feeder{false};
};

// Host addresses and clock for the whole benchmark run.
struct Environment
{
    Environment()
    {
        QvSetHostAddressProvider(&BenchHost);
        static qvplat::ManualClock manual(1000);
        static qvplat::ScopedClockOverride useClock(manual);
        clock = &manual;
    }
    qvplat::ManualClock* clock = nullptr;
};

Environment& Env()
{
    static Environment environment;
    return environment;
}

std::unique_ptr<BenchDb> FilledDirectory(int sessions)
{
    Env();
    auto db = std::make_unique<BenchDb>();
    db->Start();
    for (int id = 0; id < sessions; ++id) {
        QvSAPPacket packet = Announcement(id);
        db->Feeder().OnAnnouncement(&packet);
    }
    return db;
}

// A repeated announcement of a known session: the common case, every
// session is announced again every few seconds.
void BM_RefreshKnownSession(benchmark::State& state)
{
    const int sessions = static_cast<int>(state.range(0));
    auto db = FilledDirectory(sessions);
    std::vector<QvSAPPacket> packets;
    for (int id = 0; id < std::min(sessions, 256); ++id) {
        packets.push_back(Announcement(id));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        db->Feeder().OnAnnouncement(&packets[next]);
        next = next + 1 == packets.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["entries"] = db->NumEntries();
}
BENCHMARK(BM_RefreshKnownSession)->Arg(1)->Arg(100)->Arg(kLargeDirectory);

// A new session filed (copied, checked against the unicast filter) and then
// withdrawn by its deletion, in a directory of the given size; both arrive as
// datagrams and pass the receive rules first, as they do off the network.
void BM_FileAndDeleteSession(benchmark::State& state)
{
    const int sessions = static_cast<int>(state.range(0));
    auto db = FilledDirectory(sessions);
    const std::string announcement = Datagram(sessions + 1);
    const std::string deletion = std::string(1, 0x24) + announcement.substr(1);
    for (auto _ : state) {
        for (const std::string* datagram : {&announcement, &deletion}) {
            QvSAPPacket packet;
            if (QvSAPListen::DecodeDatagram(datagram->data(), datagram->size(), packet)) {
                db->Feeder().OnSAPReceive(&packet);
            }
        }
    }
    state.SetItemsProcessed(2 * static_cast<int64_t>(state.iterations()));
    state.counters["entries"] = db->NumEntries();
}
BENCHMARK(BM_FileAndDeleteSession)->Arg(0)->Arg(kLargeDirectory);

// The whole per-datagram path after the socket: the receive rules, the
// dispatch by message type and the directory lookup.
void BM_DatagramToDirectory(benchmark::State& state)
{
    auto db = FilledDirectory(kLargeDirectory);
    std::vector<std::string> datagrams;
    for (int id = 0; id < 256; ++id) {
        datagrams.push_back(Datagram(id * 37));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        const std::string& datagram = datagrams[next];
        QvSAPPacket packet;
        if (QvSAPListen::DecodeDatagram(datagram.data(), datagram.size(), packet)) {
            db->Feeder().OnSAPReceive(&packet);
        }
        next = next + 1 == datagrams.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DatagramToDirectory);

// Filling an empty directory with 10,000 sessions arriving as datagrams, and
// the heap the filled directory takes.
void BM_FillLargeDirectory(benchmark::State& state)
{
    Env();
    std::vector<std::string> datagrams;
    for (int id = 0; id < kLargeDirectory; ++id) {
        datagrams.push_back(Datagram(id));
    }
    double bytes = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        BenchDb db;
        db.Start();
        for (const std::string& datagram : datagrams) {
            QvSAPPacket packet;
            if (QvSAPListen::DecodeDatagram(datagram.data(), datagram.size(), packet)) {
                db.Feeder().OnSAPReceive(&packet);
            }
        }
        bytes = static_cast<double>(mallinfo2().uordblks - before);
        state.PauseTiming();
        db.Stop();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLargeDirectory);
    state.counters["heap_MiB"] = bytes / (1024.0 * 1024.0);
    state.counters["bytes_per_entry"] = bytes / kLargeDirectory;
}
BENCHMARK(BM_FillLargeDirectory)->Unit(benchmark::kMillisecond);

// One ageing scan over 10,000 sessions, none expiring: the work the scan
// thread does under the directory lock every period.
void BM_ScanLargeDirectory(benchmark::State& state)
{
    auto db = FilledDirectory(kLargeDirectory);
    qvplat::ManualClock& clock = *Env().clock;
    for (auto _ : state) {
        clock.Advance(101);
        db->Worker();
    }
    state.counters["entries"] = db->NumEntries();
}
BENCHMARK(BM_ScanLargeDirectory)->Unit(benchmark::kMicrosecond);

// Enumerating 10,000 sessions under the lock, as an owner refilling its list
// does.
void BM_EnumerateLargeDirectory(benchmark::State& state)
{
    auto db = FilledDirectory(kLargeDirectory);
    for (auto _ : state) {
        db->LockDb();
        std::size_t total = 0;
        for (const char* text = db->GetFirstItem(); text != nullptr; text = db->GetNextItem()) {
            total += text[0] == 'v' ? 1 : 0;
        }
        db->UnlockDb();
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLargeDirectory);
}
BENCHMARK(BM_EnumerateLargeDirectory)->Unit(benchmark::kMicrosecond);

} // namespace
