#pragma once
// The channel list without its windows: the control's own SAP directory, its
// settings, the page's questions about entries, and the rows the list shows.
//
// Threads. The directory calls OnChange on its scan thread with its lock
// held; all that happens there is a copy of the entries' texts and origins
// and a raised change counter. The control's user-interface thread polls the
// counter (timer 5) and builds the rows from the copy; it takes the
// directory lock only for the page's questions and to resolve a selected
// row, and nothing ever waits for the user-interface thread while holding
// that lock.
//
// Rows are snapshots: each keeps its texts, its entry's key and SDP text, so
// a row whose entry has gone can still be shown and selected.

#include "core/sap/qvsapdb.h"
#include "core/settings/qvproplist.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tunerlist {

enum Column : int { kProgram, kPort, kAddress, kMux, kRate, kSource, kColumnCount };

// What the list shows of one directory entry.
struct TunerRow
{
    std::array<std::string, kColumnCount> texts;
    // The directory's identity of the entry: its o= value and the origin of
    // its announcement.
    std::string key;
    // The entry's SDP text.
    std::string sdp;
};

// The Mbps column: "%.1f" of a Bitrate (bits per second) in units of
// 1,048,576, or "*" when the value is empty or not a number.
std::string FormatRate(const char* bitrate);

// The row of an entry whose SDP text and announcement origin are given.
TunerRow BuildTunerRow(const std::string& sdp, std::uint32_t origin);

// The key a row keeps for an entry's packet (see TunerRow::key).
std::string EntryKey(QvSAPPacket& packet);

// The text and origin of one entry, as copied under the directory lock.
struct EntryCopy
{
    std::string sdp;
    std::uint32_t origin = 0;
};
using EntryList = std::vector<std::shared_ptr<const EntryCopy>>;

// Copies a directory's entries, in its order; under the directory's lock.
EntryList CopyEntries(QvSapDb& db);

// Builds the rows of a list of entry copies, sorted by program name (any
// case). An entry of the previous list (same text and origin) keeps its row.
class RowBuilder
{
public:
    using Rows = std::vector<std::shared_ptr<const TunerRow>>;
    Rows Build(const EntryList& entries);

private:
    struct Key
    {
        std::string_view sdp; // the text of the copy held in Built
        std::uint32_t origin;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash
    {
        std::size_t operator()(const Key& key) const;
    };
    struct Built
    {
        std::shared_ptr<const EntryCopy> entry;
        std::shared_ptr<const TunerRow> row;
    };
    std::unordered_map<Key, Built, KeyHash> m_built;
};

// The control's directory: listens with the channel list's smaller packet
// and keeps a copy of its entries for the user-interface thread.
class CTunerSapDb : public QvSapDb
{
public:
    CTunerSapDb();
    ~CTunerSapDb() override;

    // On the scan thread, the directory lock held: copies the entries and
    // raises the change counter.
    void OnChange() override;

    // The entries of the latest change when the counter is not 0 (it is
    // then reset); false when nothing changed since the last call.
    bool TakeChange(EntryList& entries);

private:
    std::mutex m_lock; // guards the two below; never held while waiting
    int m_changes = 0;
    EntryList m_latest;
};

// The control's behaviour: Start/Stop, the page's questions and the rows.
class TunerListModel
{
public:
    TunerListModel();
    ~TunerListModel();
    TunerListModel(const TunerListModel&) = delete;
    TunerListModel& operator=(const TunerListModel&) = delete;

    // The control's property list.
    QvPropertyList& Properties() { return m_properties; }
    CTunerSapDb& Directory() { return m_db; }

    // Adds section "QV" of "QvCtl.ini" in the Windows directory to the
    // property list; without SAPPort0 then the values of the directory's
    // registry key; still without it the four default values, which are
    // also added to that key (its other values stay). Starts the directory
    // on the directory keys of the list: 0, or -1 when it does not start
    // (also when it runs already).
    int Start();
    // Stops the directory when a Start succeeded before.
    void Stop();
    bool IsStarted() const { return m_started; }

    // Property name of entry item; "" for an item that names no entry.
    std::string GetItemValue(int item, const std::string& name);
    int NumItems();
    // The SDP text of entry item; "" for an item that names no entry.
    std::string GetSDP(int item);

    // Timer 5: true when the directory changed since the last call; Rows
    // then shows the new list (sorted by program name).
    bool Refresh();
    const RowBuilder::Rows& Rows() const { return m_rows; }
    // The row with this key, or -1.
    long FindRow(const std::string& key) const;

    struct Selection
    {
        int entry = -1; // the entry's index now, or -1 when it has gone
        std::string sdp;
    };
    // A double click on a row: its entry resolved under the directory lock
    // by the row's key, and the row's SDP text; nothing for no row.
    std::optional<Selection> Select(long row);

private:
    QvPropertyList m_properties;
    QvPropertyList m_dbSettings;
    CTunerSapDb m_db;
    bool m_started = false;

    RowBuilder m_builder;
    RowBuilder::Rows m_rows;
};

} // namespace tunerlist
