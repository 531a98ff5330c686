#include "castwatch/model/setupmodel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <charconv>
#include <strings.h>

namespace castwatch {
namespace {

std::string Numbered(const char* name, std::size_t n)
{
    return name + std::to_string(n);
}

// SAPAddress<digits> or SAPPort<digits>, any case.
bool IsPairKey(const std::string& name)
{
    for (const char* prefix : {"SAPADDRESS", "SAPPORT"}) {
        const std::size_t length = std::char_traits<char>::length(prefix);
        if (name.size() > length && strncasecmp(name.c_str(), prefix, length) == 0 &&
            std::all_of(name.begin() + static_cast<std::ptrdiff_t>(length), name.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
            return true;
        }
    }
    return false;
}

bool LineBefore(const ListeningPair& a, const ListeningPair& b)
{
    return strcasecmp(a.Line().c_str(), b.Line().c_str()) < 0;
}

bool IsPort(const std::string& text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 1 && value <= 65535;
}

} // namespace

SetupModel::SetupModel(const QvPropertyList& settings)
    : m_fileName(settings.GetProperty(kOutputFileKey).chars()),
      m_viewOutsideUnicasts(settings.GetBoolProperty("ViewOutsideUnicasts"))
{
    for (std::size_t n = 0;; ++n) {
        const UtCString port = settings.GetProperty(Numbered("SAPPort", n).c_str());
        if (port.isNull()) {
            break;
        }
        const ListeningPair pair{settings.GetProperty(Numbered("SAPAddress", n).c_str()).chars(),
                                 port.chars()};
        m_pairs.insert(std::upper_bound(m_pairs.begin(), m_pairs.end(), pair, LineBefore), pair);
    }
}

bool SetupModel::CanAdd(const std::string& address, const std::string& port)
{
    return !address.empty() && !port.empty();
}

int SetupModel::Add(const std::string& address, const std::string& port)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 || !IsPort(port)) {
        return -1;
    }
    const ListeningPair pair{address, port};
    const auto at = std::upper_bound(m_pairs.begin(), m_pairs.end(), pair, LineBefore);
    return static_cast<int>(m_pairs.insert(at, pair) - m_pairs.begin());
}

bool SetupModel::Remove(std::size_t index)
{
    if (index >= m_pairs.size()) {
        return false;
    }
    m_pairs.erase(m_pairs.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void SetupModel::Apply(QvPropertyList& settings) const
{
    std::vector<std::string> stale;
    for (const QvPropertyItem* item : *settings.GetListPtr()) {
        const std::string name = item->GetName().chars();
        if (IsPairKey(name) || strcasecmp(name.c_str(), "SAPAddress") == 0 ||
            strcasecmp(name.c_str(), "SAPPort") == 0) {
            stale.push_back(name);
        }
    }
    for (const std::string& name : stale) {
        settings.ClearProperty(name.c_str());
    }
    settings.SetProperty(kOutputFileKey, m_fileName.c_str());
    for (std::size_t n = 0; n < m_pairs.size(); ++n) {
        settings.SetProperty(Numbered("SAPAddress", n).c_str(), m_pairs[n].address.c_str());
        settings.SetProperty(Numbered("SAPPort", n).c_str(), m_pairs[n].port.c_str());
    }
    settings.SetProperty("ViewOutsideUnicasts", m_viewOutsideUnicasts ? "true" : "false");
}

} // namespace castwatch
