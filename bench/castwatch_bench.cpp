// The program monitor's directory change with 10,000 sessions: what its
// OnChange does while it holds the directory's lock (the list and the output
// text rebuilt, the output file replaced through a temporary file and a
// rename), so how long listeners and enumerating threads wait for the lock.
//
//   castwatch_bench [google benchmark options]
//
// The directory is fed straight through a listener's hooks (no socket), as
// in sapdb_bench; the output file goes to a temporary directory on the disk
// that holds /tmp. "warm" is the steady state: the sessions were described
// when they were first announced (off the lock), and one new session has
// arrived since the last change. "cold" describes every session under the
// lock, as a monitor without that cache would.

#include "castwatch/model/directoryview.h"
#include "core/net/qvhostaddr.h"
#include "core/sap/qvsapdb.h"
#include "core/sap/qvsappacket.h"
#include "core/settings/qvproplist.h"
#include "platform/testsupport/tempfiles.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int kSessions = 10000;

std::vector<std::uint32_t> BenchHost()
{
    return {inet_addr("10.9.9.9")};
}

std::string SessionText(int id)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 10.9.9.9\ns=Session " +
           std::to_string(id) + "\ni=/media/clip.mpg\nc=IN IP4 239.1." +
           std::to_string((id >> 8) & 0xff) + "." + std::to_string(id & 0xff) +
           "/64\nb=X-QV:1500000\nt=0 0\na=x-mux:m2p\na=x-packetformat:OPV\n"
           "m=video 5004 UDP 0\nm=audio 5004 UDP 0\n";
}

QvSAPPacket Announcement(int id)
{
    QvSAPPacket packet(QvSAPPacketOptions::Monitor());
    packet.InitAnnouncement();
    packet.SetSdpText(SessionText(id).c_str());
    return packet;
}

// A directory without sockets, polled by its owner and fed by a listener
// that never starts.
class BenchDb : public QvSapDb
{
public:
    BenchDb() : QvSapDb(false, QvSAPPacketOptions::Monitor())
    {
        m_settings.AddProperty("SAPEntryLifetime", 1 << 30, QvPropertyList::Decimal);
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

// One directory change as the monitor makes it, timed from taking the lock
// to leaving it.
void DirectoryChange(benchmark::State& state, bool warm)
{
    QvSetHostAddressProvider(&BenchHost);
    BenchDb db;
    db.Start();
    auto builder = std::make_unique<castwatch::SnapshotBuilder>();
    for (int id = 0; id < kSessions; ++id) {
        QvSAPPacket packet = Announcement(id);
        db.Feeder().OnAnnouncement(&packet);
        if (warm) {
            builder->Prepare(packet.GetPayload());
        }
    }
    qvtest::TempDir dir("castwatch-bench");
    const std::string output = dir.File("programs.dat");
    std::size_t fileBytes = 0;
    double longest = 0;
    int next = kSessions;
    for (auto _ : state) {
        // A new session came in, and on the way out an old one left.
        QvSAPPacket arrived = Announcement(next);
        db.Feeder().OnAnnouncement(&arrived);
        if (warm) {
            builder->Prepare(arrived.GetPayload());
        } else {
            builder = std::make_unique<castwatch::SnapshotBuilder>();
        }
        const auto begin = std::chrono::steady_clock::now();
        db.LockDb();
        const castwatch::DirectorySnapshot snapshot = builder->Build(db);
        castwatch::WriteOutputFile(output, snapshot.fileText);
        db.UnlockDb();
        const double held =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        state.SetIterationTime(held);
        longest = std::max(longest, held);
        fileBytes = snapshot.fileText.size();
        QvSAPPacket left = Announcement(next - kSessions);
        left.InitDeletion();
        db.Feeder().OnDeletion(&left);
        ++next;
    }
    state.counters["sessions"] = db.NumEntries();
    state.counters["file_bytes"] = static_cast<double>(fileBytes);
    state.counters["longest_ms"] = longest * 1000;
}

void BM_DirectoryChangeWarm(benchmark::State& state)
{
    DirectoryChange(state, true);
}
BENCHMARK(BM_DirectoryChangeWarm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_DirectoryChangeCold(benchmark::State& state)
{
    DirectoryChange(state, false);
}
BENCHMARK(BM_DirectoryChangeCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// The parts: the rebuild alone (warm), and the file replacement alone.
void BM_RebuildOnly(benchmark::State& state)
{
    QvSetHostAddressProvider(&BenchHost);
    BenchDb db;
    db.Start();
    castwatch::SnapshotBuilder builder;
    for (int id = 0; id < kSessions; ++id) {
        QvSAPPacket packet = Announcement(id);
        db.Feeder().OnAnnouncement(&packet);
        builder.Prepare(packet.GetPayload());
    }
    for (auto _ : state) {
        db.LockDb();
        benchmark::DoNotOptimize(builder.Build(db));
        db.UnlockDb();
    }
}
BENCHMARK(BM_RebuildOnly)->Unit(benchmark::kMillisecond);

void BM_AtomicWriteOnly(benchmark::State& state)
{
    std::string text;
    for (int id = 0; id < kSessions; ++id) {
        text += castwatch::DescribeProgram(SessionText(id)).rebuilt;
    }
    qvtest::TempDir dir("castwatch-bench");
    const std::string output = dir.File("programs.dat");
    for (auto _ : state) {
        castwatch::WriteOutputFile(output, text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_AtomicWriteOnly)->Unit(benchmark::kMillisecond);

// Describing one session (parse and rebuild): the work the cache moves off
// the lock to the listener that filed it.
void BM_DescribeProgram(benchmark::State& state)
{
    const std::string text = SessionText(1234);
    for (auto _ : state) {
        benchmark::DoNotOptimize(castwatch::DescribeProgram(text));
    }
}
BENCHMARK(BM_DescribeProgram)->Unit(benchmark::kMicrosecond);

} // namespace
