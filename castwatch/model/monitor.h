#pragma once
// The program monitor without its windows: the settings, the SAP directory,
// the output file, and what a directory change hands to the list.
//
// Settings live in the registry key "SOFTWARE\Talvex\SAPDatabase" (HKEY_LOCAL_MACHINE).
// At start the key is read into the settings; a key that cannot be read
// gets the two default listening pairs, is written back, and the directory
// starts; a key that can be read starts it only when it has SAPPort0. The
// output file is named by the key's Filename (see setupmodel.h).
//
// A writing monitor (the tray and the service) rewrites the output file
// whole after each directory change and empties it at start, after Setup
// and at the end; the desktop monitor never writes it.
//
// Threads. The directory calls OnChange on its own thread with its lock
// held. There the monitor builds the list and the file text, writes the
// file and hands the list to the sink, which must only pass it on (post it
// to the user-interface thread) and never wait for another thread. Start,
// ApplySetup and Shutdown belong to one owner thread (the user-interface
// thread, or the service thread); they stop the directory before they touch
// the file or the settings, so no change runs meanwhile. A list handed on
// before an ApplySetup carries an older generation than Generation() after
// it: the receiver drops such lists.

#include "castwatch/model/directoryview.h"
#include "castwatch/model/setupmodel.h"
#include "core/sap/qvsapdb.h"
#include "core/settings/qvproplist.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace castwatch {

struct ProgramList
{
    std::vector<ProgramPtr> programs;
    unsigned generation = 0;
};

class Monitor
{
public:
    using Sink = std::function<void(ProgramList list)>;

    // An empty sink hands the lists nowhere (the service).
    Monitor(bool writesFile, Sink sink);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Reads the settings, empties the output file and starts the directory
    // (see above). The directory's Start result, or 1 when it is left
    // stopped for want of SAPPort0.
    int Start();
    // Setup's OK: stops the directory, puts the edited keys into the
    // settings and writes them to the key, empties the output file it now
    // names (and the one it named before, when that differs) and starts the
    // directory again. The directory's Start result.
    int ApplySetup(const SetupModel& setup);
    // Stops the directory and empties the output file.
    void Shutdown();

    const QvPropertyList& Settings() const { return m_settings; }
    // The output file as the settings name it; "" when none.
    const std::string& OutputFile() const { return m_fileName; }
    bool WritesFile() const { return m_writesFile; }
    unsigned Generation() const { return m_generation.load(std::memory_order_acquire); }
    QvSapDb& Directory() { return m_directory; }

private:
    class MonitorDirectory : public QvSapDb
    {
    public:
        explicit MonitorDirectory(Monitor& owner);
        ~MonitorDirectory() override;
        void OnChange() override;
        void OnAnnouncement(QvSAPPacket* packet) override;

    private:
        Monitor& m_owner;
    };

    void EmptyOutputFile() const;

    const bool m_writesFile;
    const Sink m_sink;
    QvPropertyList m_settings;
    std::string m_fileName;
    std::atomic<unsigned> m_generation{0};
    SnapshotBuilder m_builder;
    MonitorDirectory m_directory; // last: it calls back into the members above
};

} // namespace castwatch
