#include "core/settings/qvproplist.h"

#include "platform/hex.h"
#include "platform/ini.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Sizes of the fixed buffers the settings formats are defined by.
constexpr std::uint32_t sectionBufferSize = 4096;
constexpr std::size_t registryNameBufferSize = 100; // counting the NUL
constexpr std::size_t registryDataBufferSize = 1024;

const char emptyText[] = "";

// The text of a string up to its first NUL, as the C-string based formats
// (INI lines, registry names) see it.
std::string_view CText(const UtCString& s)
{
    return std::string_view(s.chars(), std::strlen(s.chars()));
}

bool Contains(const UtCString& s, char c)
{
    return s.firstChar(c) != UtCString::npos;
}

// Reads a number the way the scanf conversions %d (radix 10) and %x
// (radix 16, with an optional "0x") do: leading white space, an optional
// sign, then digits up to the first other character. The arithmetic is
// 32-bit and wraps instead of overflowing. Returns 0 when no digit follows.
std::uint32_t ScanNumber(const char* text, unsigned radix)
{
    const char* p = text;
    while (qvplat::IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (radix == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        qvplat::HexDigitValue(p[2]) >= 0) {
        p += 2;
    }
    std::uint32_t number = 0;
    for (;; ++p) {
        const int digit = qvplat::HexDigitValue(*p);
        if (digit < 0 || static_cast<unsigned>(digit) >= radix) {
            break;
        }
        number = number * radix + static_cast<std::uint32_t>(digit);
    }
    return negative ? 0u - number : number;
}

// The value text of the integer forms of AddProperty.
UtCString FormatNumber(int value, QvPropertyList::ValueType type)
{
    char text[16];
    switch (type) {
    case QvPropertyList::Decimal:
        std::snprintf(text, sizeof text, "%d", value);
        return UtCString(text);
    case QvPropertyList::Hex:
        std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
        return UtCString(text);
    }
    return UtCString();
}

// The first two runs of a token between the delimiters: the name and the
// value (empty when there is no second run).
void SplitToken(const UtCString& token, const char* delimiters, UtCString& name, UtCString& value)
{
    UtCStringScanner scanner(token);
    name = UtCString(scanner.next(delimiters));
    value = UtCString(scanner.next(delimiters));
}

// One entry of the text form: NAME=value, NAME="a b", or a bare NAME that
// means TRUE.
void ParseEntry(const UtCString& token, UtCString& name, UtCString& value)
{
    if (Contains(token, '=') && Contains(token, '"')) {
        SplitToken(token, "=\"", name, value);
    } else if (Contains(token, '=')) {
        SplitToken(token, "=", name, value);
    } else {
        name = token;
        value = "TRUE";
    }
}

// Blanks outside double quotes become newlines, so that splitting at tabs and
// newlines keeps quoted values together.
UtCString MarkEntryBreaks(const UtCString& text)
{
    UtCString marked = text.copy();
    bool outsideQuotes = true;
    for (std::uint32_t i = 0; i < marked.length(); ++i) {
        const char c = marked[i];
        if (c == '"') {
            outsideQuotes = !outsideQuotes;
        } else if (c == ' ' && outsideQuotes) {
            marked.at(i) = '\n';
        }
    }
    return marked;
}

// One "name=value" entry of an INI section: CR and LF would split the line,
// so they go out as blanks.
std::string SectionEntry(const UtCString& name, const UtCString& value)
{
    std::string entry;
    entry.append(CText(name));
    entry.push_back('=');
    entry.append(CText(value));
    for (char& c : entry) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return entry;
}

// The name and value of an entry as a section read gives it: split at the
// first "=", or the whole entry as both when it has none.
void SplitSectionEntry(std::string_view entry, UtCString& name, UtCString& value)
{
    const std::size_t equals = entry.find('=');
    const std::string_view namePart = entry.substr(0, equals);
    const std::string_view valuePart =
        equals == std::string_view::npos ? entry : entry.substr(equals + 1);
    name = UtCString(namePart.data(), static_cast<std::uint32_t>(namePart.size()));
    value = UtCString(valuePart.data(), static_cast<std::uint32_t>(valuePart.size()));
}

// The string text of registry data: its bytes up to the first NUL, or all of
// them when the data carries no terminator.
UtCString RegistryText(const std::vector<std::uint8_t>& data)
{
    const char* bytes = reinterpret_cast<const char*>(data.data());
    const std::size_t length = std::string_view(bytes, data.size()).find('\0');
    const std::size_t used = length == std::string_view::npos ? data.size() : length;
    return UtCString(bytes, static_cast<std::uint32_t>(used));
}

char UpperByte(char c)
{
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// FNV-1a over the upper-cased bytes of a name.
std::uint32_t NameHash(const char* name, std::uint32_t length)
{
    std::uint32_t hash = 2166136261u;
    for (std::uint32_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(UpperByte(name[i]))) * 16777619u;
    }
    return hash;
}

// Whether a stored (upper-cased) name is the key upper-cased.
bool SameName(const UtCString& stored, const UtCString& key)
{
    const std::uint32_t length = stored.length();
    if (length != key.length()) {
        return false;
    }
    const char* a = stored.chars();
    const char* b = key.chars();
    for (std::uint32_t i = 0; i < length; ++i) {
        if (a[i] != UpperByte(b[i])) {
            return false;
        }
    }
    return true;
}

// Lists up to this many items are searched item by item.
constexpr std::size_t kIndexFrom = 8;

bool FitsRegistryBuffers(const qvplat::RegValue& value)
{
    return std::strlen(value.name.c_str()) < registryNameBufferSize &&
           value.data.size() <= registryDataBufferSize;
}

} // namespace

// ---- QvPropertyItem --------------------------------------------------------------

QvPropertyItem::QvPropertyItem(UtCString name, UtCString value)
    : m_name(std::move(name)), m_value(std::move(value))
{
    UpperCaseName();
    m_hash = NameHash(m_name.chars(), m_name.length());
}

QvPropertyItem::QvPropertyItem(UtCString&& name, UtCString&& value, std::uint32_t hash, Take)
    : m_name(std::move(name)), m_value(std::move(value)), m_hash(hash)
{
    UpperCaseName();
}

void QvPropertyItem::UpperCaseName()
{
    // Upper-cased in place: a name that is already upper case, or that only
    // this item holds, costs no copy.
    const char* text = m_name.chars();
    for (std::uint32_t i = 0; i < m_name.length(); ++i) {
        if (text[i] != UpperByte(text[i])) {
            m_name.toUpper();
            break;
        }
    }
}

QvPropertyItem::~QvPropertyItem() = default;

// ---- Construction ----------------------------------------------------------------

QvPropertyList::QvPropertyList() : m_items(new UtTPtrSlist<QvPropertyItem>) {}

QvPropertyList::QvPropertyList(const QvPropertyList& other) : QvPropertyList()
{
    CopyItemsFrom(other);
}

QvPropertyList& QvPropertyList::operator=(const QvPropertyList& other)
{
    if (this != &other) {
        ClearProperties();
        CopyItemsFrom(other);
    }
    return *this;
}

QvPropertyList::~QvPropertyList()
{
    ClearProperties();
    delete m_items;
}

void QvPropertyList::CopyItemsFrom(const QvPropertyList& other)
{
    // Into an empty list the other list's names (unique, upper-cased) go
    // straight in, sharing their text; otherwise each replaces or appends.
    const bool empty = m_items->entries() == 0;
    for (const QvPropertyItem* item : *other.m_items) {
        if (empty) {
            UtCString name = item->m_name;
            UtCString value = item->m_value;
            Append(new QvPropertyItem(std::move(name), std::move(value), item->m_hash,
                                      QvPropertyItem::Take{}));
        } else {
            AddProperty(item->m_name, item->m_value);
        }
    }
}

// ---- Adding and changing ---------------------------------------------------------

QvPropertyItem* QvPropertyList::FindItem(const UtCString& name) const
{
    return FindItem(name, NameHash(name.chars(), name.length()));
}

QvPropertyItem* QvPropertyList::FindItem(const UtCString& name, std::uint32_t hash) const
{
    if (m_index.empty()) {
        for (QvPropertyItem* item : *m_items) {
            if (item->m_hash == hash && SameName(item->m_name, name)) {
                return item;
            }
        }
        return nullptr;
    }
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        QvPropertyItem* item = m_index[slot];
        if (item == nullptr) {
            return nullptr;
        }
        if (item->m_hash == hash && SameName(item->m_name, name)) {
            return item;
        }
    }
}

void QvPropertyList::Append(QvPropertyItem* item)
{
    std::unique_ptr<QvPropertyItem> owned(item);
    m_items->addAtTail(item);
    owned.release();
    const std::size_t count = m_items->entries();
    if (count <= kIndexFrom) {
        return;
    }
    if (2 * count > m_index.size()) {
        RebuildIndex();
    } else {
        Index(item);
    }
}

void QvPropertyList::Index(QvPropertyItem* item)
{
    const std::size_t mask = m_index.size() - 1;
    std::size_t slot = item->m_hash & mask;
    while (m_index[slot] != nullptr) {
        slot = (slot + 1) & mask;
    }
    m_index[slot] = item;
}

void QvPropertyList::RebuildIndex()
{
    const std::size_t count = m_items->entries();
    if (count <= kIndexFrom) {
        m_index.clear();
        return;
    }
    std::size_t size = 4 * kIndexFrom;
    while (size < 4 * count) {
        size *= 2;
    }
    m_index.assign(size, nullptr);
    for (QvPropertyItem* item : *m_items) {
        Index(item);
    }
}

void QvPropertyList::AddProperty(UtCString name, UtCString value)
{
    const std::uint32_t hash = NameHash(name.chars(), name.length());
    if (QvPropertyItem* item = FindItem(name, hash)) {
        item->m_value = std::move(value);
        return;
    }
    Append(new QvPropertyItem(std::move(name), std::move(value), hash, QvPropertyItem::Take{}));
}

void QvPropertyList::AddProperty(UtCString name, int value, ValueType type)
{
    AddProperty(std::move(name), FormatNumber(value, type));
}

void QvPropertyList::SetProperty(UtCString name, UtCString value)
{
    AddProperty(std::move(name), std::move(value));
}

void QvPropertyList::SetProperty(UtCString name, int value, ValueType type)
{
    AddProperty(std::move(name), value, type);
}

void QvPropertyList::AddProperties(UtCString text)
{
    UtCStringScanner entries(MarkEntryBreaks(text));
    for (;;) {
        const UtCStringSlice token = entries.next("\t\n");
        if (token.isNull() || token.length() == 0) {
            break;
        }
        UtCString name;
        UtCString value;
        ParseEntry(UtCString(token), name, value);
        AddProperty(name, value);
    }
}

void QvPropertyList::SetProperties(UtCString text)
{
    AddProperties(std::move(text));
}

void QvPropertyList::MergeProperties(QvPropertyList& other)
{
    if (&other != this) {
        CopyItemsFrom(other);
    }
}

// ---- Lookups ---------------------------------------------------------------------

UtCString QvPropertyList::GetProperty(UtCString name) const
{
    const QvPropertyItem* item = FindItem(name);
    return item != nullptr ? item->m_value : UtCString();
}

const char* QvPropertyList::GetCharProperty(UtCString name) const
{
    const QvPropertyItem* item = FindItem(name);
    return item != nullptr ? item->m_value.chars() : emptyText;
}

int QvPropertyList::GetIntProperty(UtCString name) const
{
    const QvPropertyItem* item = FindItem(name);
    if (item == nullptr) {
        return 0;
    }
    const UtCString text = toUpper(item->m_value);
    const std::uint32_t length = text.length();
    if (length == 0) {
        return 0;
    }
    const char last = text[length - 1];
    std::uint32_t number = 0;
    std::uint32_t multiplier = 1;
    if (last == 'H') {
        number = ScanNumber(text.chars(), 16);
    } else if (length == 1) {
        number = ScanNumber(text.chars(), 10);
    } else if (text[0] == '0' && text[1] == 'X') {
        number = ScanNumber(text.chars() + 2, 16);
    } else {
        if (last == 'M') {
            multiplier = 1048576;
        } else if (last == 'K') {
            multiplier = 1024;
        }
        number = ScanNumber(text.chars(), 10);
    }
    return static_cast<int>(number * multiplier);
}

bool QvPropertyList::GetBoolProperty(UtCString name) const
{
    const QvPropertyItem* item = FindItem(name);
    if (item == nullptr) {
        return false;
    }
    const UtCString value = toUpper(item->m_value);
    return value == "TRUE" || value == "YES" || value == "1";
}

bool QvPropertyList::PropertyDefined(UtCString name) const
{
    return FindItem(name) != nullptr;
}

bool QvPropertyList::Defined(UtCString name) const
{
    return PropertyDefined(std::move(name));
}

bool QvPropertyList::FindProperty(UtCString name, int& value) const
{
    value = GetIntProperty(name);
    return PropertyDefined(name);
}

bool QvPropertyList::FindProperty(UtCString name, UtCString& value) const
{
    value = GetProperty(name);
    return PropertyDefined(name);
}

bool QvPropertyList::FindProperty(UtCString name, bool& value) const
{
    value = GetBoolProperty(name);
    return PropertyDefined(name);
}

// ---- Removing --------------------------------------------------------------------

bool QvPropertyList::ClearProperty(UtCString name)
{
    QvPropertyItem* found = FindItem(name);
    if (found == nullptr) {
        return false;
    }
    m_items->removeFirstIf([found](const QvPropertyItem* item) { return item == found; });
    delete found;
    RebuildIndex();
    return true;
}

void QvPropertyList::ClearProperties()
{
    m_index.clear();
    while (QvPropertyItem* item = m_items->removeFirst()) {
        delete item;
    }
}

// ---- The whole list --------------------------------------------------------------

int QvPropertyList::GetCount() const
{
    return static_cast<int>(m_items->entries());
}

UtCString QvPropertyList::GetPropertyString() const
{
    UtCString text;
    for (const QvPropertyItem* item : *m_items) {
        text += item->m_name;
        text += "=";
        const UtCString& value = item->m_value;
        if (Contains(value, ' ') || Contains(value, '\n')) {
            text += "\"";
            text += value;
            text += "\"";
        } else {
            text += value;
        }
        text += " ";
    }
    return text;
}

// ---- INI sections ----------------------------------------------------------------

int QvPropertyList::ReadProperties(UtCString file, UtCString section)
{
    std::vector<char> buffer(sectionBufferSize);
    const std::uint32_t used = qvplat::GetPrivateProfileSection(section.chars(), buffer.data(),
                                                                sectionBufferSize, file.chars());
    if (used == 0 || used == sectionBufferSize - 2) {
        return 0;
    }
    for (std::uint32_t pos = 0; pos < used && buffer[pos] != '\0';) {
        const std::string_view entry(buffer.data() + pos);
        UtCString name;
        UtCString value;
        SplitSectionEntry(entry, name, value);
        AddProperty(std::move(name), std::move(value));
        pos += static_cast<std::uint32_t>(entry.size()) + 1;
    }
    return 1;
}

bool QvPropertyList::AsReadBack(UtCString& name, UtCString& value)
{
    const auto read = qvplat::IniEntriesAsRead({SectionEntry(name, value)});
    if (!read || read->size() != 1) {
        return false;
    }
    SplitSectionEntry(read->front(), name, value);
    return true;
}

int QvPropertyList::ReadProperties(UtCString file)
{
    return ReadProperties(std::move(file), defaultSection);
}

int QvPropertyList::ReadDefaults(UtCString file, UtCString section)
{
    const std::string windows = qvplat::WindowsDirectory();
    if (windows.empty()) {
        return 0;
    }
    const std::string path = windows + "\\" + file.chars();
    return ReadProperties(path.c_str(), std::move(section));
}

int QvPropertyList::WriteProperties(UtCString file, UtCString section)
{
    // The block: every "name=value" with its NUL, then the closing NUL. It
    // must fit the fixed section size that readers use, or they could not
    // read it back; a list that does not fit is refused before anything is
    // written.
    std::string block;
    for (const QvPropertyItem* item : *m_items) {
        block += SectionEntry(item->GetName(), item->GetValue());
        block.push_back('\0');
        if (block.size() + 1 > sectionBufferSize) {
            return 0;
        }
    }
    block.push_back('\0');
    return qvplat::WritePrivateProfileSection(section.chars(), block.data(), file.chars()) ? 1 : 0;
}

int QvPropertyList::WriteProperties(UtCString file)
{
    return WriteProperties(std::move(file), defaultSection);
}

// ---- Registry keys ---------------------------------------------------------------

int QvPropertyList::ReadRegistry(UtCString subkey, HKEY root)
{
    qvplat::RegKey key;
    if (key.Open(root, CText(subkey)) != qvplat::RegResult::Success) {
        return 0;
    }
    // One consistent snapshot, so a writer in another process cannot make
    // the enumeration skip or repeat values.
    std::vector<qvplat::RegValue> values;
    if (key.GetValues(values) != qvplat::RegResult::Success) {
        return 0;
    }
    for (const qvplat::RegValue& value : values) {
        if (value.type == qvplat::REG_SZ && FitsRegistryBuffers(value)) {
            AddProperty(UtCString(value.name.c_str()), RegistryText(value.data));
        }
    }
    return 1;
}

int QvPropertyList::WriteRegistry(UtCString subkey, HKEY root)
{
    std::vector<qvplat::RegValue> values;
    values.reserve(m_items->entries());
    for (const QvPropertyItem* item : *m_items) {
        values.push_back(qvplat::MakeStringValue(CText(item->m_name), CText(item->m_value)));
    }
    // One locked step: other processes see either the old values or the new
    // ones, never a missing key, and the key's subkeys stay.
    return qvplat::ReplaceRegKeyValues(root, CText(subkey), values) == qvplat::RegResult::Success
               ? 1
               : 0;
}
