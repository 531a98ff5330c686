#include "lists/tunerlist/model/tunerlistmodel.h"

#include "core/sap/qvsappacket.h"
#include "core/settings/qvlog.h"
#include "platform/registry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace tunerlist {

namespace {

// Holds the directory lock for a scope.
class DbLock
{
public:
    explicit DbLock(QvSapDb& db) : m_db(db) { m_db.LockDb(); }
    ~DbLock() { m_db.UnlockDb(); }
    DbLock(const DbLock&) = delete;
    DbLock& operator=(const DbLock&) = delete;

private:
    QvSapDb& m_db;
};

// The keys the directory reads (see core/sap/qvsapdb.h). The control's list
// holds all of "QvCtl.ini", which the other controls share: keys such as
// Address or Port there are meant for them, and a directory listener's
// reader would take them for its own.
bool IsDirectoryKey(const UtCString& name)
{
    // Names are stored upper-cased.
    return std::strncmp(name.chars(), "SAP", 3) == 0 ||
           std::strcmp(name.chars(), "VIEWOUTSIDEUNICASTS") == 0 ||
           std::strcmp(name.chars(), "INTERFACE") == 0;
}

// Adds the four default values to the directory's registry key, keeping its
// other values.
void AddDefaultsToRegistry()
{
    QvPropertyList defaults;
    QvSapDb::AddDefaultPairs(defaults);
    qvplat::RegKey key;
    qvplat::RegResult result = key.Create(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey);
    for (const QvPropertyItem* item : *defaults.GetListPtr()) {
        if (result == qvplat::RegResult::Success) {
            result = key.SetValue(
                qvplat::MakeStringValue(item->GetName().chars(), item->GetValue().chars()));
        }
    }
    if (result != qvplat::RegResult::Success) {
        QvDebugMsg("Cannot write the SAP defaults to %s: %s", QvSapDb::registryKey,
                   qvplat::RegResultName(result));
    }
}

bool LessByProgram(const std::shared_ptr<const TunerRow>& a,
                   const std::shared_ptr<const TunerRow>& b)
{
    return strcasecmp(a->texts[kProgram].c_str(), b->texts[kProgram].c_str()) < 0;
}

} // namespace

std::string FormatRate(const char* bitrate)
{
    if (bitrate == nullptr || *bitrate == '\0') {
        return "*";
    }
    char* end = nullptr;
    const double value = std::strtod(bitrate, &end);
    if (end == bitrate || !std::isfinite(value)) {
        return "*";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value / 1048576.0);
    return text;
}

std::string EntryKey(QvSAPPacket& packet)
{
    const UtCString session = QvSapDbListener::GenerateKey(&packet);
    char origin[16];
    std::snprintf(origin, sizeof origin, "\n%08lx", packet.GetOrigSrc());
    return std::string(session.chars(), session.length()) + origin;
}

TunerRow BuildTunerRow(const std::string& sdp, std::uint32_t origin)
{
    QvSAPPacket packet(QvSAPPacketOptions::ChannelList());
    packet.SetOrigSrc(origin);
    packet.SetSdpText(sdp.c_str());
    TunerRow row;
    row.key = EntryKey(packet);
    row.sdp = packet.GetPayload();
    static const char* const kProperties[] = {"SesSesName", "Port", "Address", "Mux"};
    for (int column = kProgram; column <= kMux; ++column) {
        row.texts[static_cast<std::size_t>(column)] = packet.GetPropA(kProperties[column]);
    }
    row.texts[kRate] = FormatRate(packet.GetPropA("Bitrate"));
    row.texts[kSource] = packet.GetPropA("SesOAddr");
    return row;
}

// ---- Copies of the directory ---------------------------------------------------------

EntryList CopyEntries(QvSapDb& db)
{
    EntryList entries;
    const int count = db.NumEntries();
    entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (QvSAPPacket* packet = db.EnumEntries(i)) {
            entries.push_back(std::make_shared<const EntryCopy>(
                EntryCopy{packet->GetPayload(), static_cast<std::uint32_t>(packet->GetOrigSrc())}));
        }
    }
    return entries;
}

std::size_t RowBuilder::KeyHash::operator()(const Key& key) const
{
    return std::hash<std::string_view>()(key.sdp) ^ (std::size_t{key.origin} * 0x9E3779B97F4A7C15u);
}

RowBuilder::Rows RowBuilder::Build(const EntryList& entries)
{
    decltype(m_built) built;
    built.reserve(entries.size());
    Rows rows;
    rows.reserve(entries.size());
    for (const std::shared_ptr<const EntryCopy>& entry : entries) {
        const Key key{entry->sdp, entry->origin};
        std::shared_ptr<const TunerRow> row;
        if (const auto found = m_built.find(key); found != m_built.end()) {
            row = found->second.row;
        } else {
            row = std::make_shared<const TunerRow>(BuildTunerRow(entry->sdp, entry->origin));
        }
        built.emplace(key, Built{entry, row});
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), &LessByProgram);
    m_built = std::move(built);
    return rows;
}

CTunerSapDb::CTunerSapDb() : QvSapDb(true, QvSAPPacketOptions::ChannelList()) {}

CTunerSapDb::~CTunerSapDb()
{
    Stop();
}

void CTunerSapDb::OnChange()
{
    // The caller holds the directory lock; taking it again only nests.
    LockDb();
    EntryList entries = CopyEntries(*this);
    UnlockDb();
    std::lock_guard<std::mutex> hold(m_lock);
    m_latest = std::move(entries);
    ++m_changes;
}

bool CTunerSapDb::TakeChange(EntryList& entries)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_changes == 0) {
        return false;
    }
    m_changes = 0;
    entries = m_latest;
    return true;
}

// ---- The control's behaviour ----------------------------------------------------------

TunerListModel::TunerListModel() = default;

TunerListModel::~TunerListModel()
{
    m_db.Stop();
}

int TunerListModel::Start()
{
    m_properties.ReadProperties("QvCtl.ini");
    if (!m_properties.Defined("SAPPort0")) {
        m_properties.ReadRegistry(QvSapDb::registryKey, QvPropertyList::HKEY::LocalMachine);
    }
    if (!m_properties.Defined("SAPPort0")) {
        QvSapDb::AddDefaultPairs(m_properties);
        AddDefaultsToRegistry();
    }
    m_dbSettings.ClearProperties();
    for (const QvPropertyItem* item : *m_properties.GetListPtr()) {
        if (IsDirectoryKey(item->GetName())) {
            m_dbSettings.AddProperty(item->GetName(), item->GetValue());
        }
    }
    m_db.SetPropertyList(&m_dbSettings);
    if (m_db.Start() != 0) {
        return -1;
    }
    m_started = true;
    return 0;
}

void TunerListModel::Stop()
{
    if (m_started) {
        m_db.Stop();
        m_started = false;
    }
}

std::string TunerListModel::GetItemValue(int item, const std::string& name)
{
    DbLock lock(m_db);
    QvSAPPacket* packet = m_db.EnumEntries(item);
    return packet != nullptr ? packet->GetPropA(name.c_str()) : "";
}

int TunerListModel::NumItems()
{
    return m_db.NumEntries();
}

std::string TunerListModel::GetSDP(int item)
{
    DbLock lock(m_db);
    QvSAPPacket* packet = m_db.EnumEntries(item);
    return packet != nullptr ? packet->GetPayload() : "";
}

bool TunerListModel::Refresh()
{
    EntryList entries;
    if (!m_db.TakeChange(entries)) {
        return false;
    }
    m_rows = m_builder.Build(entries);
    return true;
}

long TunerListModel::FindRow(const std::string& key) const
{
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i]->key == key) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::optional<TunerListModel::Selection> TunerListModel::Select(long row)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size()) {
        return std::nullopt;
    }
    const TunerRow& shown = *m_rows[static_cast<std::size_t>(row)];
    Selection selection{-1, shown.sdp};
    DbLock lock(m_db);
    const int count = m_db.NumEntries();
    for (int i = 0; i < count; ++i) {
        QvSAPPacket* packet = m_db.EnumEntries(i);
        if (packet != nullptr && EntryKey(*packet) == shown.key) {
            selection.entry = i;
            break;
        }
    }
    return selection;
}

} // namespace tunerlist
