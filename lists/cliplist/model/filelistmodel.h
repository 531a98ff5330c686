#pragma once
// The file list without its windows: its settings, the search pattern, the
// rescan of the directory and the rows it shows.
//
// A rescan lists the entries of the pattern's directory whose names match
// its last part (any case, as the original file finder does), "." and ".."
// left out. A file already listed (same full path) keeps its row and is not
// read again while its length, creation time and last-write time stay; a
// new or changed file is probed for its stream type and bit rate, regular
// files only and never waiting on one (a FIFO or device keeps empty cells).
// Rows own their records and go when their file does.
//
// Everything runs on the control's user-interface thread.

#include "core/settings/qvproplist.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cliplist {

enum Column : int { kName, kSize, kMux, kMbps, kDate, kColumnCount };

struct FileTime
{
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    bool operator==(const FileTime&) const = default;
};

// One listed file.
struct ClipItem
{
    std::uint64_t length = 0;
    std::string name;  // the file name
    std::string path;  // the full path: the row's key and the selection's text
    std::string title; // the name without its extension
    FileTime creation; // meaningful only with hasCreation
    FileTime access;
    FileTime lastWrite;
    bool hasCreation = false; // the file system records a birth time
    bool regular = false;     // a regular file (only those are probed)
    bool stale = false;
};

struct ClipRow
{
    ClipItem item;
    std::array<std::string, kColumnCount> texts;
};

// The search pattern of a Path and a Filter: Path + Filter when Path ends
// with '\' or '/', else Path + "\" + Filter.
std::string MakePattern(std::string_view path, std::string_view filter);

// The entries a pattern finds (mapped to this system's paths), in name
// order, with their lengths and times.
std::vector<ClipItem> FindFiles(const std::string& pattern);

// The Mux and Mbps texts of a file: "m1s", "m2p" or "m2t" and "%.1f" of its
// bit rate in units of 1,048,576 bits per second; both empty for anything
// else and for what is not a regular file.
std::array<std::string, 2> ProbeFile(const ClipItem& item);

// The texts of a row.
std::array<std::string, kColumnCount> RowTexts(const ClipItem& item);

class FileListModel
{
public:
    // sorted: rows in ascending order of name (the small-font list); else in
    // the order files were first found.
    explicit FileListModel(bool sorted);

    // Section "QV" of "QvCtl.ini", then of "QvFileList.ini" (its values
    // win), both in the Windows directory.
    void ReadSettings();
    QvPropertyList& Settings() { return m_settings; }
    // Sets a setting, replacing one of the same name; used from the next
    // Start on.
    void SetProp(const std::string& name, const std::string& value);

    // Fills in the Filter "*.mpg" and the Path "c:\mpeg" where missing and
    // makes the pattern; false when started already.
    bool Start();
    void Stop() { m_started = false; }
    bool IsStarted() const { return m_started; }
    const std::string& Pattern() const { return m_pattern; }

    // Brings the rows up to date with the directory; true when any row
    // came, changed or went.
    bool Rescan();

    std::size_t NumRows() const { return m_rows.size(); }
    const ClipRow& Row(std::size_t row) const { return *m_rows.at(row); }
    // The row of a full path, or -1.
    long FindRow(const std::string& path) const;

private:
    void Insert(std::unique_ptr<ClipRow> row);

    const bool m_sorted;
    QvPropertyList m_settings;
    std::string m_pattern;
    bool m_started = false;
    std::vector<std::unique_ptr<ClipRow>> m_rows;
    std::unordered_map<std::string, ClipRow*> m_byPath;
};

} // namespace cliplist
