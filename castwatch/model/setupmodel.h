#pragma once
// What the "Vigilo Setup" dialog edits: the listening pairs, the output file
// and the unicast view, taken from the monitor's settings and put back on OK.
//
// The pairs are listed as "<address> - <port>" in the sorted order of those
// lines (the dialog's list is sorted) and are numbered from 0 in that order
// when they are put back. Putting back replaces every pair of the settings
// (and the older single pair SAPAddress/SAPPort, which the directory would
// otherwise copy over pair 0 again) and keeps every other key as it was:
// SAPEntryLifetime, SAPDbScanPeriod, SapDbFile and whatever else is there.

#include "core/settings/qvproplist.h"

#include <cstddef>
#include <string>
#include <vector>

namespace castwatch {

// The settings key of the output file. The player names its own output
// file with SapDbFile in the same key and rewrites that file in place, so
// the monitor keeps a key of its own.
inline constexpr const char* kOutputFileKey = "Filename";

struct ListeningPair
{
    std::string address;
    std::string port;

    std::string Line() const { return address + " - " + port; }
    bool operator==(const ListeningPair&) const = default;
};

class SetupModel
{
public:
    // Opens on the monitor's settings.
    explicit SetupModel(const QvPropertyList& settings);

    const std::string& FileName() const { return m_fileName; }
    void SetFileName(std::string name) { m_fileName = std::move(name); }
    bool ViewOutsideUnicasts() const { return m_viewOutsideUnicasts; }
    void SetViewOutsideUnicasts(bool view) { m_viewOutsideUnicasts = view; }

    // In list order.
    const std::vector<ListeningPair>& Pairs() const { return m_pairs; }

    // "Add" is enabled when both fields hold text.
    static bool CanAdd(const std::string& address, const std::string& port);
    // Adds a pair at its place in the list and returns that index; -1, and
    // nothing added, when the address is not a dotted IPv4 address or the
    // port not a number from 1 to 65535 (no listener could use them).
    int Add(const std::string& address, const std::string& port);
    // Removes the pair at index; false when there is none.
    bool Remove(std::size_t index);

    // OK: writes the edited keys into the settings (see above).
    void Apply(QvPropertyList& settings) const;

private:
    std::string m_fileName;
    bool m_viewOutsideUnicasts = false;
    std::vector<ListeningPair> m_pairs;
};

} // namespace castwatch
