#include "lists/cliplist/model/filelistmodel.h"

#include "mpeg/mpeganalysis.h"
#include "platform/paths.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>

namespace cliplist {

namespace {

FileTime TimeOf(const struct statx_timestamp& stamp)
{
    return {stamp.tv_sec, stamp.tv_nsec};
}

std::string Title(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

} // namespace

std::string MakePattern(std::string_view path, std::string_view filter)
{
    std::string pattern(path);
    if (pattern.empty() || (pattern.back() != '\\' && pattern.back() != '/')) {
        pattern += '\\';
    }
    return pattern + std::string(filter);
}

std::vector<ClipItem> FindFiles(const std::string& pattern)
{
    namespace fs = std::filesystem;
    std::vector<ClipItem> found;
    const std::string mapped = qvplat::MapPath(pattern);
    const std::size_t slash = mapped.rfind('/');
    if (mapped.empty()) {
        return found;
    }
    const fs::path directory = slash == std::string::npos ? fs::path(".")
                               : slash == 0               ? fs::path("/")
                                                          : fs::path(mapped.substr(0, slash));
    const std::string names = slash == std::string::npos ? mapped : mapped.substr(slash + 1);
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        ClipItem item;
        item.name = it->path().filename().string();
        if (::fnmatch(names.c_str(), item.name.c_str(), FNM_CASEFOLD) != 0) {
            continue;
        }
        item.path = (directory / item.name).string();
        struct statx info
        {
        };
        if (::statx(AT_FDCWD, item.path.c_str(), AT_STATX_SYNC_AS_STAT,
                    STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
            continue; // gone meanwhile, or a link to nothing
        }
        item.regular = S_ISREG(info.stx_mode);
        item.length = item.regular ? info.stx_size : 0;
        item.title = Title(item.name);
        item.hasCreation = (info.stx_mask & STATX_BTIME) != 0;
        if (item.hasCreation) {
            item.creation = TimeOf(info.stx_btime);
        }
        item.access = TimeOf(info.stx_atime);
        item.lastWrite = TimeOf(info.stx_mtime);
        found.push_back(std::move(item));
    }
    // In the order the original platform's finder gives: names in any case.
    std::sort(found.begin(), found.end(), [](const ClipItem& a, const ClipItem& b) {
        const int order = strcasecmp(a.name.c_str(), b.name.c_str());
        return order != 0 ? order < 0 : a.name < b.name;
    });
    return found;
}

std::array<std::string, 2> ProbeFile(const ClipItem& item)
{
    qvmpeg::FileAnalysis analysis;
    if (!item.regular ||
        !qvmpeg::AnalyseFile(item.path, analysis, qvmpeg::FileKinds::RegularOnly)) {
        return {};
    }
    static const char* const kMux[] = {"m1s", "m2p", "m2t"};
    if (analysis.streamType < qvmpeg::kMpeg1System ||
        analysis.streamType > qvmpeg::kMpeg2Transport) {
        return {};
    }
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.1f", static_cast<double>(analysis.bitrate) / 1048576.0);
    return {kMux[analysis.streamType - qvmpeg::kMpeg1System], rate};
}

std::array<std::string, kColumnCount> RowTexts(const ClipItem& item)
{
    std::array<std::string, kColumnCount> texts;
    texts[kName] = item.title;
    char size[64];
    std::snprintf(size, sizeof size, "%.1fM", static_cast<double>(item.length) / 1048576.0);
    texts[kSize] = size;
    auto [mux, mbps] = ProbeFile(item);
    texts[kMux] = std::move(mux);
    texts[kMbps] = std::move(mbps);
    const std::time_t written = static_cast<std::time_t>(item.lastWrite.seconds);
    struct tm local
    {
    };
    char date[64] = "";
    if (::localtime_r(&written, &local) != nullptr) {
        std::strftime(date, sizeof date, "%m/%d/%y %H:%M", &local);
    }
    texts[kDate] = date;
    return texts;
}

FileListModel::FileListModel(bool sorted) : m_sorted(sorted) {}

void FileListModel::ReadSettings()
{
    m_settings.ReadDefaults("QvCtl.ini", "QV");
    m_settings.ReadProperties("QvFileList.ini", "QV");
}

void FileListModel::SetProp(const std::string& name, const std::string& value)
{
    m_settings.AddProperty(name.c_str(), value.c_str());
}

bool FileListModel::Start()
{
    if (m_started) {
        return false;
    }
    if (!m_settings.Defined("Filter")) {
        m_settings.AddProperty("Filter", "*.mpg");
    }
    if (!m_settings.Defined("Path")) {
        m_settings.AddProperty("Path", "c:\\mpeg");
    }
    m_pattern =
        MakePattern(m_settings.GetCharProperty("Path"), m_settings.GetCharProperty("Filter"));
    m_started = true;
    return true;
}

bool FileListModel::Rescan()
{
    for (const auto& row : m_rows) {
        row->item.stale = true;
    }
    bool changed = false;
    for (ClipItem& file : FindFiles(m_pattern)) {
        const auto known = m_byPath.find(file.path);
        if (known == m_byPath.end()) {
            auto row = std::make_unique<ClipRow>(ClipRow{std::move(file), {}});
            row->texts = RowTexts(row->item);
            Insert(std::move(row));
            changed = true;
            continue;
        }
        ClipItem& item = known->second->item;
        // Without a birth time on either side only length and last write
        // count (the change time also moves when a file is merely read).
        const bool sameCreation =
            !(item.hasCreation && file.hasCreation) || item.creation == file.creation;
        if (item.length == file.length && item.lastWrite == file.lastWrite && sameCreation &&
            item.regular == file.regular) {
            item.stale = false;
            continue;
        }
        item = std::move(file);
        known->second->texts = RowTexts(item);
        changed = true;
    }
    const auto gone = std::remove_if(m_rows.begin(), m_rows.end(), [this](const auto& row) {
        if (row->item.stale) {
            m_byPath.erase(row->item.path);
        }
        return row->item.stale;
    });
    changed = changed || gone != m_rows.end();
    m_rows.erase(gone, m_rows.end());
    return changed;
}

long FileListModel::FindRow(const std::string& path) const
{
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i]->item.path == path) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

void FileListModel::Insert(std::unique_ptr<ClipRow> row)
{
    m_byPath[row->item.path] = row.get();
    auto at = m_rows.end();
    if (m_sorted) {
        at = std::upper_bound(m_rows.begin(), m_rows.end(), row, [](const auto& a, const auto& b) {
            return strcasecmp(a->item.title.c_str(), b->item.title.c_str()) < 0;
        });
    }
    m_rows.insert(at, std::move(row));
}

} // namespace cliplist
