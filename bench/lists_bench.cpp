// The list controls' costs. Channel list: how long the directory lock is held
// while its entries are copied for the list (10,000 sessions), and building
// and sorting the rows from a copy (rows of known entries kept, or all new). File list: a rescan of
// 1,000 unchanged files, with the read calls it makes, and the probe of new files.

#include "core/net/qvhostaddr.h"
#include "core/sap/qvsapdb.h"
#include "core/settings/qvproplist.h"
#include "lists/cliplist/model/filelistmodel.h"
#include "lists/tunerlist/model/tunerlistmodel.h"
#include "platform/clock.h"
#include "platform/testsupport/tempfiles.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr int kSessions = 10000;
constexpr int kFiles = 1000;

std::string SessionText(int id)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 10.9.9.9\ns=Session " +
           std::to_string((id * 7919) % kSessions) + "\ni=/media/clip.mpg\nc=IN IP4 239.1." +
           std::to_string((id >> 8) & 0xff) + "." + std::to_string(id & 0xff) +
           "/64\nb=X-QV:1500000\nt=0 0\na=mux:m2p\na=packetformat:OPV\na=packetsize:8196\n"
           "m=video 5004 UDP 0\nm=audio 5004 UDP 0\n";
}

// A directory without sockets, filled through a listener that never starts.
class BenchDb : public QvSapDb
{
public:
    BenchDb() : QvSapDb(false, QvSAPPacketOptions::ChannelList())
    {
        m_settings.AddProperty("SAPEntryLifetime", "1000000");
        SetPropertyList(&m_settings);
        m_feeder.SetSapDb(this);
    }
    ~BenchDb() override { Stop(); }

    int OnNewInterface(unsigned long, QvPropertyList*) override { return 0; }

    void Fill(int sessions)
    {
        for (int id = 0; id < sessions; ++id) {
            QvSAPPacket packet(QvSAPPacketOptions::ChannelList());
            packet.InitAnnouncement();
            packet.SetOrigSrc(inet_addr("10.9.9.9"));
            packet.SetSdpText(SessionText(id).c_str());
            m_feeder.OnAnnouncement(&packet);
        }
    }

private:
    QvPropertyList m_settings;
    QvSapDbListener m_feeder{false};
};

std::vector<std::uint32_t> BenchHost()
{
    return {inet_addr("10.9.9.9")};
}

std::unique_ptr<BenchDb> FilledDirectory()
{
    QvSetHostAddressProvider(&BenchHost);
    auto db = std::make_unique<BenchDb>();
    db->Start();
    db->Fill(kSessions);
    return db;
}

// The directory lock held for the copy, as the scan's OnChange does.
void BM_TunerCopyUnderLock(benchmark::State& state)
{
    auto db = FilledDirectory();
    for (auto _ : state) {
        db->LockDb();
        benchmark::DoNotOptimize(tunerlist::CopyEntries(*db));
        db->UnlockDb();
    }
    state.counters["entries"] = db->NumEntries();
}
BENCHMARK(BM_TunerCopyUnderLock)->Unit(benchmark::kMillisecond);

// Rows of a copy on the user-interface thread: every row built and sorted
// (the first change), or only sorted again (rows kept from the last list).
void BM_TunerRefill(benchmark::State& state)
{
    const bool allNew = state.range(0) != 0;
    auto db = FilledDirectory();
    db->LockDb();
    const tunerlist::EntryList first = tunerlist::CopyEntries(*db);
    db->UnlockDb();
    tunerlist::RowBuilder builder;
    builder.Build(first);
    for (auto _ : state) {
        // Each change brings fresh copies.
        state.PauseTiming();
        db->LockDb();
        const tunerlist::EntryList entries = tunerlist::CopyEntries(*db);
        db->UnlockDb();
        if (allNew) {
            builder = tunerlist::RowBuilder();
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(builder.Build(entries));
    }
    state.counters["rows"] = static_cast<double>(first.size());
}
BENCHMARK(BM_TunerRefill)->ArgName("allNew")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Read calls of this process so far.
std::uint64_t ReadCalls()
{
    std::ifstream io("/proc/self/io");
    std::string name;
    std::uint64_t value = 0;
    while (io >> name >> value) {
        if (name == "syscr:") {
            return value;
        }
    }
    return 0;
}

// A rescan that finds every file unchanged: the directory listing and a
// status call per file, no file read.
void BM_ClipRescanUnchanged(benchmark::State& state)
{
    qvtest::TempDir folder("listsbench");
    const std::string sample = std::string(QV_SOURCE_DIR) + "/samples/m2p_testsrc.mpg";
    for (int i = 0; i < kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "clip%04d.mpg", i);
        std::filesystem::copy_file(sample, folder.Path() / name);
    }
    cliplist::FileListModel model(true);
    model.SetProp("Path", folder.Path().string());
    model.Start();
    model.Rescan();
    // What looking at the count costs in read calls itself.
    const std::uint64_t first = ReadCalls();
    const std::uint64_t ownReads = ReadCalls() - first;
    std::uint64_t reads = 0;
    for (auto _ : state) {
        const std::uint64_t before = ReadCalls();
        benchmark::DoNotOptimize(model.Rescan());
        reads += ReadCalls() - before - ownReads;
    }
    state.counters["files"] = static_cast<double>(model.NumRows());
    state.counters["reads/rescan"] =
        static_cast<double>(reads) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ClipRescanUnchanged)->Unit(benchmark::kMillisecond);

// The probe of a new file (stream type and bit rate), per sample.
void BM_ClipProbe(benchmark::State& state)
{
    static const char* const kSamples[] = {"m1s_testsrc.mpg", "m2p_testsrc.mpg", "m2t_testsrc2.ts"};
    cliplist::ClipItem item;
    item.path = std::string(QV_SOURCE_DIR) + "/samples/" + kSamples[state.range(0)];
    item.regular = true;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cliplist::ProbeFile(item));
    }
    state.SetLabel(kSamples[state.range(0)]);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ClipProbe)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

} // namespace
