// SAP directory costs: how many announcements one directory files or
// refreshes per second, what withdrawing a session costs in directories of
// 10,000 and 1,000,000 sessions, what a directory of many sessions costs in
// memory and in scan time, and what a flood of a million distinct sessions
// leaves behind. Packets are fed straight to a directory listener's
// processing hooks (or to its datagram decoder), so no socket is involved,
// except in the burst benchmarks: a burst of distinct announcements sent
// over loopback to one listener, beside a plain recvmmsg loop on a listener's
// socket.

#include "bench/allocation_count.h"
#include "core/net/qvhostaddr.h"
#include "core/settings/qvproplist.h"
#include "core/sap/qvsap.h"
#include "core/sap/qvsapdb.h"
#include "core/sap/qvsappacket.h"

#include "platform/clock.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kLargeDirectory = 10000;
constexpr int kHugeDirectory = 1000000;

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
    explicit BenchDb(int lifetime = 1 << 30, int maxEntries = defaultMaxEntries) : QvSapDb(false)
    {
        m_settings.AddProperty("SAPEntryLifetime", lifetime, QvPropertyList::Decimal);
        m_settings.AddProperty("SAPDbScanPeriod", "100");
        m_settings.AddProperty("SAPMaxEntries", maxEntries, QvPropertyList::Decimal);
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
    auto db = std::make_unique<BenchDb>(1 << 30, std::max(sessions, QvSapDb::defaultMaxEntries));
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
BENCHMARK(BM_RefreshKnownSession)->Arg(1)->Arg(100)->Arg(kLargeDirectory)->Arg(kHugeDirectory);

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

// Filling an empty directory with 10,000 sessions arriving as datagrams, the
// heap allocations each new session costs (decoding, parsing, filing) and
// the heap the filled directory takes.
void BM_FillLargeDirectory(benchmark::State& state)
{
    Env();
    std::vector<std::string> datagrams;
    for (int id = 0; id < kLargeDirectory; ++id) {
        datagrams.push_back(Datagram(id));
    }
    double bytes = 0;
    double allocations = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        BenchDb db;
        db.Start();
        const std::uint64_t allocationsBefore = AllocationCount();
        for (const std::string& datagram : datagrams) {
            QvSAPPacket packet;
            if (QvSAPListen::DecodeDatagram(datagram.data(), datagram.size(), packet)) {
                db.Feeder().OnSAPReceive(&packet);
            }
        }
        allocations = static_cast<double>(AllocationCount() - allocationsBefore);
        bytes = static_cast<double>(mallinfo2().uordblks - before);
        state.PauseTiming();
        db.Stop();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLargeDirectory);
    state.counters["heap_MiB"] = bytes / (1024.0 * 1024.0);
    state.counters["bytes_per_entry"] = bytes / kLargeDirectory;
    state.counters["allocations_per_session"] = allocations / kLargeDirectory;
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

// The announcer's deletion of a session in a directory of the given size;
// the deleted sessions are filed again, untimed, when a batch is used up.
void BM_DeleteSession(benchmark::State& state)
{
    const int sessions = static_cast<int>(state.range(0));
    auto db = FilledDirectory(sessions);
    constexpr int kBatch = 4096;
    std::vector<QvSAPPacket> announcements;
    std::vector<QvSAPPacket> deletions;
    for (int i = 0; i < kBatch; ++i) {
        const int id = static_cast<int>((static_cast<long long>(i) * 7919) % sessions);
        announcements.push_back(Announcement(id));
        deletions.push_back(Announcement(id));
        deletions.back().InitDeletion();
    }
    int next = 0;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            for (QvSAPPacket& packet : announcements) {
                db->Feeder().OnAnnouncement(&packet);
            }
            next = 0;
            state.ResumeTiming();
        }
        db->Feeder().OnDeletion(&deletions[static_cast<std::size_t>(next++)]);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["entries"] = db->NumEntries();
}
BENCHMARK(BM_DeleteSession)->Arg(kLargeDirectory)->Arg(kHugeDirectory);

// A flood of a million distinct sessions, as datagrams, into a directory
// with the default cap: how many it keeps and the heap they take.
void BM_FloodOfDistinctSessions(benchmark::State& state)
{
    Env();
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        BenchDb db;
        db.Start();
        for (int id = 0; id < kHugeDirectory; ++id) {
            const std::string datagram = Datagram(id);
            QvSAPPacket packet;
            if (QvSAPListen::DecodeDatagram(datagram.data(), datagram.size(), packet)) {
                db.Feeder().OnSAPReceive(&packet);
            }
        }
        const auto bytes = static_cast<double>(mallinfo2().uordblks - before);
        state.counters["entries"] = db.NumEntries();
        state.counters["heap_MiB"] = bytes / (1024.0 * 1024.0);
        state.counters["bytes_per_entry"] = bytes / std::max(db.NumEntries(), 1);
        state.PauseTiming();
        db.Stop();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kHugeDirectory);
}
BENCHMARK(BM_FloodOfDistinctSessions)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Bursts over loopback ---------------------------------------------------------------

constexpr int kBurst = 10000;

// A socket that sends to 127.0.0.1 at the given port.
int BurstSender(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    return fd;
}

std::uint16_t BoundPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A listener on a free port of 127.0.0.1, threaded or not.
std::unique_ptr<QvSapDbListener> BurstListener(bool threaded, BenchDb* db)
{
    auto listener = std::make_unique<QvSapDbListener>(QvSAPListenOptions::Standard(threaded));
    listener->SetSapDb(db);
    for (std::uint16_t port = 20000 + static_cast<std::uint16_t>(getpid() % 20000);; ++port) {
        listener->SetAddress(inet_addr("127.0.0.1"), port);
        if (listener->Start() == 0) {
            return listener;
        }
    }
}

// Sends the burst as fast as the kernel takes it.
void SendBurst(int fd, const std::vector<std::string>& datagrams)
{
    for (const std::string& datagram : datagrams) {
        send(fd, datagram.data(), datagram.size(), 0);
    }
}

std::vector<std::string> BurstDatagrams(int round)
{
    std::vector<std::string> datagrams;
    for (int id = 0; id < kBurst; ++id) {
        datagrams.push_back(Datagram(round * kBurst + id));
    }
    return datagrams;
}

// One threaded listener filing a burst of distinct announcements into its
// directory: the share filed and the rate of filing, from the first send to
// the last session filed.
void BM_ListenerFilesABurst(benchmark::State& state)
{
    Env();
    double filed = 0;
    double seconds = 0;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<std::string> datagrams = BurstDatagrams(round++);
        BenchDb db;
        db.Start();
        auto listener = BurstListener(true, &db);
        const int fd = BurstSender(static_cast<std::uint16_t>(listener->GetPort()));
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        SendBurst(fd, datagrams);
        auto last = std::chrono::steady_clock::now();
        int count = 0;
        while (std::chrono::steady_clock::now() - last < std::chrono::milliseconds(200)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int now = db.NumEntries();
            if (now != count) {
                count = now;
                last = std::chrono::steady_clock::now();
            }
        }
        filed += count;
        seconds += std::chrono::duration<double>(last - begin).count();
        state.PauseTiming();
        listener->Stop();
        close(fd);
        state.ResumeTiming();
    }
    const auto rounds = static_cast<double>(state.iterations());
    state.counters["filed_pct"] = 100.0 * filed / (rounds * kBurst);
    state.counters["filed_per_s"] = filed / seconds;
}
BENCHMARK(BM_ListenerFilesABurst)->Unit(benchmark::kMillisecond)->Iterations(5);

// The same burst taken off a listener's socket (same receive buffer) by a
// plain recvmmsg loop that does nothing with the datagrams.
void BM_RecvmmsgTakesABurst(benchmark::State& state)
{
    Env();
    double received = 0;
    double seconds = 0;
    constexpr unsigned kBatchSize = 64;
    std::vector<std::array<char, QvSAPListen::receiveLimit>> buffers(kBatchSize);
    std::vector<iovec> vectors(kBatchSize);
    std::vector<mmsghdr> messages(kBatchSize);
    for (unsigned i = 0; i < kBatchSize; ++i) {
        vectors[i] = {buffers[i].data(), buffers[i].size()};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<std::string> datagrams = BurstDatagrams(0);
        BenchDb db;
        auto listener = BurstListener(false, &db);
        const int socketFd = listener->GetHandle();
        const int fd = BurstSender(BoundPort(socketFd));
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        std::thread sender([&] { SendBurst(fd, datagrams); });
        auto last = begin;
        int count = 0;
        for (;;) {
            pollfd entry{socketFd, POLLIN, 0};
            if (poll(&entry, 1, 200) <= 0) {
                break;
            }
            const int got = recvmmsg(socketFd, messages.data(), kBatchSize, MSG_DONTWAIT, nullptr);
            if (got > 0) {
                count += got;
                last = std::chrono::steady_clock::now();
            }
        }
        sender.join();
        received += count;
        seconds += std::chrono::duration<double>(last - begin).count();
        state.PauseTiming();
        listener->Stop();
        close(fd);
        state.ResumeTiming();
    }
    const auto rounds = static_cast<double>(state.iterations());
    state.counters["received_pct"] = 100.0 * received / (rounds * kBurst);
    state.counters["received_per_s"] = received / seconds;
}
BENCHMARK(BM_RecvmmsgTakesABurst)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
