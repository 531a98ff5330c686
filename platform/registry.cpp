#include "platform/registry.h"

#include "platform/file.h"
#include "platform/hex.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

namespace qvplat {
namespace {

constexpr std::string_view kFormatLine = "castnet-registry 1";
constexpr std::string_view kFormatWord = "castnet-registry";
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

thread_local std::string t_lastErrorText;

RegResult Fail(RegResult result, std::string text)
{
    t_lastErrorText = std::move(text);
    return result;
}

char LowerAscii(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool LessNoCase(std::string_view a, std::string_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return LowerAscii(x) < LowerAscii(y);
    });
}

// ---------------------------------------------------------------------------
// The key tree of one root

struct KeyNode
{
    std::string name;
    std::vector<RegValue> values;
    std::vector<std::unique_ptr<KeyNode>> subkeys; // sorted without regard to case
};

KeyNode* FindSubkey(const KeyNode& node, std::string_view name)
{
    for (const auto& subkey : node.subkeys) {
        if (EqualNoCase(subkey->name, name)) {
            return subkey.get();
        }
    }
    return nullptr;
}

KeyNode& AddSubkey(KeyNode& node, std::string_view name)
{
    auto position =
        std::find_if(node.subkeys.begin(), node.subkeys.end(),
                     [name](const auto& subkey) { return LessNoCase(name, subkey->name); });
    auto subkey = std::make_unique<KeyNode>();
    subkey->name = name;
    return **node.subkeys.insert(position, std::move(subkey));
}

std::vector<RegValue>::iterator FindValue(KeyNode& node, std::string_view name)
{
    return std::find_if(node.values.begin(), node.values.end(),
                        [name](const RegValue& value) { return EqualNoCase(value.name, name); });
}

// Sets a value in place or appends it; true when anything changed.
bool StoreValue(KeyNode& node, const RegValue& value)
{
    auto existing = FindValue(node, value.name);
    if (existing == node.values.end()) {
        node.values.push_back(value);
        return true;
    }
    if (existing->type == value.type && existing->data == value.data) {
        return false;
    }
    existing->type = value.type;
    existing->data = value.data;
    return true;
}

// Splits "A\B\C" into its names; false for an empty name inside the path or
// one that is too long. "" and "\" alone give no names.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view>& names)
{
    names.clear();
    if (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        return true;
    }
    size_t pos = 0;
    for (;;) {
        const size_t end = std::min(path.find('\\', pos), path.size());
        const std::string_view name = path.substr(pos, end - pos);
        if (name.empty() || name.size() > kMaxKeyNameLength) {
            return false;
        }
        names.push_back(name);
        if (end == path.size()) {
            return true;
        }
        pos = end + 1;
    }
}

std::string JoinKeyPath(std::string_view parent, std::string_view child)
{
    if (parent.empty()) {
        return std::string(child);
    }
    if (child.empty()) {
        return std::string(parent);
    }
    return std::string(parent) + "\\" + std::string(child);
}

KeyNode* FindKey(KeyNode& root, const std::vector<std::string_view>& names)
{
    KeyNode* node = &root;
    for (const std::string_view name : names) {
        node = FindSubkey(*node, name);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}

// Finds the key, creating it and its parents; path receives the stored names.
KeyNode& MakeKey(KeyNode& root, const std::vector<std::string_view>& names, bool& created,
                 std::string& path)
{
    created = false;
    path.clear();
    KeyNode* node = &root;
    for (const std::string_view name : names) {
        KeyNode* next = FindSubkey(*node, name);
        if (next == nullptr) {
            next = &AddSubkey(*node, name);
            created = true;
        }
        path = JoinKeyPath(path, next->name);
        node = next;
    }
    return *node;
}

std::string StoredPath(KeyNode& root, const std::vector<std::string_view>& names)
{
    std::string path;
    KeyNode* node = &root;
    for (const std::string_view name : names) {
        node = FindSubkey(*node, name);
        path = JoinKeyPath(path, node->name);
    }
    return path;
}

// ---------------------------------------------------------------------------
// Text form of the store file

const char* const kTypeNames[] = {"REG_NONE",   "REG_SZ",      "REG_EXPAND_SZ",
                                  "REG_BINARY", "REG_DWORD",   "REG_DWORD_BIG_ENDIAN",
                                  "REG_LINK",   "REG_MULTI_SZ"};

std::string TypeText(std::uint32_t type)
{
    if (type < std::size(kTypeNames)) {
        return kTypeNames[type];
    }
    if (type == REG_QWORD) {
        return "REG_QWORD";
    }
    return "type:" + std::to_string(type);
}

std::optional<std::uint32_t> ParseType(std::string_view text)
{
    for (std::uint32_t type = 0; type < std::size(kTypeNames); ++type) {
        if (text == kTypeNames[type]) {
            return type;
        }
    }
    if (text == "REG_QWORD") {
        return REG_QWORD;
    }
    if (text.starts_with("type:")) {
        std::uint32_t type = 0;
        const char* first = text.data() + 5;
        const char* last = text.data() + text.size();
        const auto [end, error] = std::from_chars(first, last, type);
        if (error == std::errc() && end == last && first != last) {
            return type;
        }
    }
    return std::nullopt;
}

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHexByte(std::string& out, std::uint8_t byte)
{
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

std::optional<std::uint8_t> ParseHexByte(std::string_view text)
{
    if (text.size() < 2) {
        return std::nullopt;
    }
    const int high = HexDigitValue(text[0]);
    const int low = HexDigitValue(text[1]);
    if (high < 0 || low < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(high * 16 + low);
}

bool IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

std::string EscapeKeyName(std::string_view name)
{
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsControl(byte) || c == '%' || c == '[' || c == ']') {
            out += '%';
            AppendHexByte(out, byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> UnescapeKeyName(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const auto byte = ParseHexByte(text.substr(i + 1));
        if (!byte) {
            return std::nullopt;
        }
        out += static_cast<char>(*byte);
        i += 2;
    }
    return out;
}

template <class Bytes> std::string QuoteBytes(const Bytes& bytes)
{
    std::string out = "\"";
    for (const auto element : bytes) {
        const auto byte = static_cast<unsigned char>(element);
        switch (byte) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\0':
            out += "\\0";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (IsControl(byte)) {
                out += "\\x";
                AppendHexByte(out, byte);
            } else {
                out += static_cast<char>(byte);
            }
        }
    }
    out += '"';
    return out;
}

bool IsTextType(std::uint32_t type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ || type == REG_LINK;
}

std::string DataText(const RegValue& value)
{
    if (IsTextType(value.type)) {
        return QuoteBytes(value.data);
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::string out = "dword:";
        for (int i = 3; i >= 0; --i) {
            AppendHexByte(out, value.data[static_cast<size_t>(i)]);
        }
        return out;
    }
    std::string out = "hex:";
    for (const std::uint8_t byte : value.data) {
        AppendHexByte(out, byte);
    }
    return out;
}

void SerializeKey(const KeyNode& node, const std::string& path, bool isRoot, std::string& out)
{
    // A key without values but with subkeys is implied by them.
    if (!node.values.empty() || (!isRoot && node.subkeys.empty())) {
        out += "[" + path + "]\n";
    }
    for (const RegValue& value : node.values) {
        out += QuoteBytes(value.name) + " = " + TypeText(value.type) + " " + DataText(value) + "\n";
    }
    for (const auto& subkey : node.subkeys) {
        const std::string name = EscapeKeyName(subkey->name);
        SerializeKey(*subkey, isRoot ? name : path + "\\" + name, false, out);
    }
}

std::string SerializeStore(const KeyNode& root, std::string_view rootName)
{
    std::string out(kFormatLine);
    out += "\n; castnet registry store: ";
    out += rootName;
    out += "\n";
    SerializeKey(root, "", true, out);
    return out;
}

// Reads the pieces of one value line from left to right.
class LineScanner
{
public:
    explicit LineScanner(std::string_view text) : rest_(text) {}

    void SkipBlanks()
    {
        while (!rest_.empty() && (rest_.front() == ' ' || rest_.front() == '\t')) {
            rest_.remove_prefix(1);
        }
    }
    bool AtEnd()
    {
        SkipBlanks();
        return rest_.empty();
    }
    bool Take(char c)
    {
        SkipBlanks();
        if (rest_.empty() || rest_.front() != c) {
            return false;
        }
        rest_.remove_prefix(1);
        return true;
    }
    std::string_view Word()
    {
        SkipBlanks();
        size_t length = 0;
        while (length < rest_.size() && rest_[length] != ' ' && rest_[length] != '\t') {
            ++length;
        }
        const std::string_view word = rest_.substr(0, length);
        rest_.remove_prefix(length);
        return word;
    }
    bool Quoted(std::string& out)
    {
        out.clear();
        if (!Take('"')) {
            return false;
        }
        while (!rest_.empty()) {
            const char c = rest_.front();
            rest_.remove_prefix(1);
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out += c;
            } else if (!Escape(out)) {
                return false;
            }
        }
        return false;
    }

private:
    bool Escape(std::string& out)
    {
        if (rest_.empty()) {
            return false;
        }
        const char c = rest_.front();
        rest_.remove_prefix(1);
        switch (c) {
        case '\\':
            out += '\\';
            return true;
        case '"':
            out += '"';
            return true;
        case '0':
            out += '\0';
            return true;
        case 'n':
            out += '\n';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'x': {
            const auto byte = ParseHexByte(rest_);
            if (!byte) {
                return false;
            }
            out += static_cast<char>(*byte);
            rest_.remove_prefix(2);
            return true;
        }
        default:
            return false;
        }
    }

    std::string_view rest_;
};

std::optional<std::vector<std::uint8_t>> ParseHexData(std::string_view digits)
{
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const auto byte = ParseHexByte(digits.substr(i, 2));
        if (!byte) {
            return std::nullopt;
        }
        bytes.push_back(*byte);
    }
    return bytes;
}

// The data of a value line; nullopt when malformed.
std::optional<std::vector<std::uint8_t>> ParseData(LineScanner& scanner)
{
    scanner.SkipBlanks();
    std::string text;
    if (scanner.Quoted(text)) {
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }
    const std::string_view word = scanner.Word();
    if (word.starts_with("hex:")) {
        return ParseHexData(word.substr(4));
    }
    if (word.starts_with("dword:") && word.size() == 6 + 8) {
        auto bytes = ParseHexData(word.substr(6));
        if (bytes) {
            std::reverse(bytes->begin(), bytes->end());
        }
        return bytes;
    }
    return std::nullopt;
}

std::optional<RegValue> ParseValueLine(std::string_view line, std::string& problem)
{
    LineScanner scanner(line);
    RegValue value;
    if (!scanner.Quoted(value.name)) {
        problem = "bad value name";
        return std::nullopt;
    }
    if (value.name.size() > kMaxValueNameLength) {
        problem = "value name too long";
        return std::nullopt;
    }
    if (!scanner.Take('=')) {
        problem = "'=' expected after the value name";
        return std::nullopt;
    }
    const auto type = ParseType(scanner.Word());
    if (!type) {
        problem = "unknown value type";
        return std::nullopt;
    }
    value.type = *type;
    auto data = ParseData(scanner);
    if (!data || !scanner.AtEnd()) {
        problem = "bad value data";
        return std::nullopt;
    }
    value.data = std::move(*data);
    return value;
}

// The key named by a "[path]" line, created in the tree; null when malformed.
KeyNode* ParseKeyLine(std::string_view line, KeyNode& root, std::string& problem)
{
    if (line.size() < 2 || line.back() != ']') {
        problem = "bad key line";
        return nullptr;
    }
    const std::string_view path = line.substr(1, line.size() - 2);
    KeyNode* node = &root;
    if (path.empty()) {
        return node;
    }
    size_t pos = 0;
    for (;;) {
        const size_t end = std::min(path.find('\\', pos), path.size());
        const auto name = UnescapeKeyName(path.substr(pos, end - pos));
        if (!name || name->empty() || name->size() > kMaxKeyNameLength) {
            problem = "bad key name";
            return nullptr;
        }
        KeyNode* next = FindSubkey(*node, *name);
        node = next != nullptr ? next : &AddSubkey(*node, *name);
        if (end == path.size()) {
            break;
        }
        pos = end + 1;
    }
    return node;
}

RegResult ParseStore(const std::string& text, const std::string& path, KeyNode& root)
{
    bool sawFormat = false;
    KeyNode* current = nullptr;
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        const std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == ';') {
            continue;
        }
        std::string problem;
        if (!sawFormat) {
            if (line != kFormatLine) {
                problem = line.starts_with(kFormatWord) ? "unsupported format version"
                                                        : "not a registry store file";
            }
            sawFormat = true;
        } else if (line.front() == '[') {
            current = ParseKeyLine(line, root, problem);
        } else if (line.front() == '"') {
            if (current == nullptr) {
                problem = "value outside of a key";
            } else if (const auto value = ParseValueLine(line, problem)) {
                StoreValue(*current, *value);
            }
        } else {
            problem = "unrecognised line";
        }
        if (!problem.empty()) {
            return Fail(RegResult::CorruptStore,
                        path + ":" + std::to_string(lineNumber) + ": " + problem);
        }
    }
    return RegResult::Success;
}

// ---------------------------------------------------------------------------
// Store files

const char* RootFileName(RegRoot root)
{
    switch (root) {
    case RegRoot::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    case RegRoot::CurrentUser:
        return "HKEY_CURRENT_USER";
    case RegRoot::ClassesRoot:
        return "HKEY_CLASSES_ROOT";
    }
    return "HKEY_UNKNOWN";
}

std::string StorePath(RegRoot root)
{
    const std::string dir = RegistryDirectory();
    if (dir.empty()) {
        return {};
    }
    return dir + "/" + RootFileName(root) + ".reg";
}

RegResult LoadStore(const std::string& path, KeyNode& tree)
{
    std::string text;
    switch (ReadWholeFile(path, text)) {
    case FileReadStatus::Missing:
        return RegResult::Success;
    case FileReadStatus::Failed:
        return Fail(RegResult::IoFailed, path + ": " + std::strerror(errno));
    case FileReadStatus::Ok:
        break;
    }
    return ParseStore(text, path, tree);
}

// Runs a look-up on a fresh copy of the root's tree.
template <class Operation> RegResult ReadStore(RegRoot root, Operation&& operation)
{
    const std::string path = StorePath(root);
    if (path.empty()) {
        return Fail(RegResult::IoFailed, "no registry directory");
    }
    KeyNode tree;
    const RegResult loaded = LoadStore(path, tree);
    if (loaded != RegResult::Success) {
        return loaded;
    }
    return operation(tree);
}

// Runs a change under the store's lock; the operation sets changed when the
// tree must be written back.
template <class Operation> RegResult ChangeStore(RegRoot root, Operation&& operation)
{
    const std::string path = StorePath(root);
    if (path.empty()) {
        return Fail(RegResult::IoFailed, "no registry directory");
    }
    File lock;
    if (!LockForUpdate(lock, path)) {
        return Fail(RegResult::IoFailed, path + ".lock: " + std::strerror(errno));
    }
    KeyNode tree;
    const RegResult loaded = LoadStore(path, tree);
    if (loaded != RegResult::Success) {
        return loaded;
    }
    bool changed = false;
    const RegResult result = operation(tree, changed);
    if (result == RegResult::Success && changed &&
        !ReplaceFileContents(path, SerializeStore(tree, RootFileName(root)))) {
        return Fail(RegResult::IoFailed, path + ": " + std::strerror(errno));
    }
    return result;
}

// Copies a name into a caller's buffer with the size rules of EnumValue.
RegResult CopyName(std::string_view source, char* name, std::uint32_t* nameSize)
{
    if (name == nullptr || nameSize == nullptr) {
        return RegResult::InvalidParameter;
    }
    if (source.size() + 1 > *nameSize) {
        *nameSize = static_cast<std::uint32_t>(source.size());
        return RegResult::MoreData;
    }
    std::memcpy(name, source.data(), source.size());
    name[source.size()] = '\0';
    *nameSize = static_cast<std::uint32_t>(source.size());
    return RegResult::Success;
}

RegResult CopyData(const RegValue& value, std::uint32_t* type, std::uint8_t* data,
                   std::uint32_t* dataSize)
{
    if (data != nullptr && dataSize == nullptr) {
        return RegResult::InvalidParameter;
    }
    if (type != nullptr) {
        *type = value.type;
    }
    const auto size = static_cast<std::uint32_t>(value.data.size());
    if (data != nullptr) {
        if (size > *dataSize) {
            *dataSize = size;
            return RegResult::MoreData;
        }
        std::copy(value.data.begin(), value.data.end(), data);
    }
    if (dataSize != nullptr) {
        *dataSize = size;
    }
    return RegResult::Success;
}

bool IsValidValue(const RegValue& value)
{
    return value.name.size() <= kMaxValueNameLength &&
           value.data.size() <= std::numeric_limits<std::uint32_t>::max();
}

RegResult DeleteKeyAt(RegRoot root, const std::string& path)
{
    std::vector<std::string_view> names;
    if (!SplitKeyPath(path, names)) {
        return RegResult::InvalidParameter;
    }
    if (names.empty()) {
        return RegResult::AccessDenied;
    }
    return ChangeStore(root, [&](KeyNode& tree, bool& changed) {
        const std::vector<std::string_view> parentNames(names.begin(), names.end() - 1);
        KeyNode* parent = FindKey(tree, parentNames);
        KeyNode* key = parent != nullptr ? FindSubkey(*parent, names.back()) : nullptr;
        if (key == nullptr) {
            return RegResult::NotFound;
        }
        if (!key->subkeys.empty()) {
            return RegResult::AccessDenied;
        }
        std::erase_if(parent->subkeys, [key](const auto& subkey) { return subkey.get() == key; });
        changed = true;
        return RegResult::Success;
    });
}

// Values with later duplicates folded into the earlier ones.
std::vector<RegValue> Deduplicated(const std::vector<RegValue>& values)
{
    KeyNode scratch;
    for (const RegValue& value : values) {
        StoreValue(scratch, value);
    }
    return std::move(scratch.values);
}

} // namespace

// ---------------------------------------------------------------------------

RegValue MakeStringValue(std::string_view name, std::string_view text)
{
    RegValue value{std::string(name), REG_SZ, std::vector<std::uint8_t>(text.begin(), text.end())};
    value.data.push_back(0);
    return value;
}

RegValue MakeDwordValue(std::string_view name, std::uint32_t number)
{
    RegValue value{std::string(name), REG_DWORD, {}};
    for (int shift = 0; shift < 32; shift += 8) {
        value.data.push_back(static_cast<std::uint8_t>(number >> shift));
    }
    return value;
}

const char* RegResultName(RegResult result)
{
    switch (result) {
    case RegResult::Success:
        return "success";
    case RegResult::NotFound:
        return "not found";
    case RegResult::AccessDenied:
        return "access denied";
    case RegResult::InvalidHandle:
        return "invalid handle";
    case RegResult::InvalidParameter:
        return "invalid parameter";
    case RegResult::MoreData:
        return "more data";
    case RegResult::NoMoreItems:
        return "no more items";
    case RegResult::CorruptStore:
        return "corrupt registry store";
    case RegResult::IoFailed:
        return "registry store I/O failed";
    case RegResult::KeyDeleted:
        return "key deleted";
    }
    return "unknown result";
}

std::string RegLastErrorText()
{
    return t_lastErrorText;
}

RegKey::RegKey(RegKey&& other) noexcept
    : root_(other.root_), path_(std::move(other.path_)), open_(std::exchange(other.open_, false))
{
}

RegKey& RegKey::operator=(RegKey&& other) noexcept
{
    if (this != &other) {
        root_ = other.root_;
        path_ = std::move(other.path_);
        open_ = std::exchange(other.open_, false);
    }
    return *this;
}

void RegKey::Close()
{
    open_ = false;
    path_.clear();
}

RegResult RegKey::Open(RegRoot root, std::string_view subKey)
{
    Close();
    std::vector<std::string_view> names;
    if (!SplitKeyPath(subKey, names)) {
        return RegResult::InvalidParameter;
    }
    std::string storedPath;
    const RegResult result = ReadStore(root, [&](KeyNode& tree) {
        if (FindKey(tree, names) == nullptr) {
            return RegResult::NotFound;
        }
        storedPath = StoredPath(tree, names);
        return RegResult::Success;
    });
    if (result == RegResult::Success) {
        root_ = root;
        path_ = std::move(storedPath);
        open_ = true;
    }
    return result;
}

RegResult RegKey::Open(const RegKey& parent, std::string_view subKey)
{
    if (!parent.open_) {
        return RegResult::InvalidHandle;
    }
    const RegRoot root = parent.root_;
    const std::string path = JoinKeyPath(parent.path_, subKey);
    return Open(root, path);
}

RegResult RegKey::Create(RegRoot root, std::string_view subKey, bool* created)
{
    Close();
    std::vector<std::string_view> names;
    if (!SplitKeyPath(subKey, names)) {
        return RegResult::InvalidParameter;
    }
    std::string storedPath;
    bool wasCreated = false;
    const RegResult result = ChangeStore(root, [&](KeyNode& tree, bool& changed) {
        MakeKey(tree, names, wasCreated, storedPath);
        changed = wasCreated;
        return RegResult::Success;
    });
    if (result == RegResult::Success) {
        root_ = root;
        path_ = std::move(storedPath);
        open_ = true;
        if (created != nullptr) {
            *created = wasCreated;
        }
    }
    return result;
}

RegResult RegKey::Create(const RegKey& parent, std::string_view subKey, bool* created)
{
    if (!parent.open_) {
        return RegResult::InvalidHandle;
    }
    const RegRoot root = parent.root_;
    const std::string parentPath = parent.path_;
    // The parent must still exist: creating below a deleted key fails.
    RegKey check;
    if (check.Open(root, parentPath) == RegResult::NotFound) {
        return RegResult::KeyDeleted;
    }
    return Create(root, JoinKeyPath(parentPath, subKey), created);
}

namespace {

// Runs a look-up on the node of an open key.
template <class Operation>
RegResult ReadKey(bool open, RegRoot root, const std::string& path, Operation&& operation)
{
    if (!open) {
        return RegResult::InvalidHandle;
    }
    std::vector<std::string_view> names;
    SplitKeyPath(path, names);
    return ReadStore(root, [&](KeyNode& tree) {
        KeyNode* node = FindKey(tree, names);
        return node == nullptr ? RegResult::KeyDeleted : operation(*node);
    });
}

template <class Operation>
RegResult ChangeKey(bool open, RegRoot root, const std::string& path, Operation&& operation)
{
    if (!open) {
        return RegResult::InvalidHandle;
    }
    std::vector<std::string_view> names;
    SplitKeyPath(path, names);
    return ChangeStore(root, [&](KeyNode& tree, bool& changed) {
        KeyNode* node = FindKey(tree, names);
        return node == nullptr ? RegResult::KeyDeleted : operation(*node, changed);
    });
}

} // namespace

RegResult RegKey::EnumValue(std::uint32_t index, char* name, std::uint32_t* nameSize,
                            std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        if (index >= node.values.size()) {
            return RegResult::NoMoreItems;
        }
        const RegValue& value = node.values[index];
        const RegResult named = CopyName(value.name, name, nameSize);
        return named != RegResult::Success ? named : CopyData(value, type, data, dataSize);
    });
}

RegResult RegKey::EnumValue(std::uint32_t index, RegValue& value) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        if (index >= node.values.size()) {
            return RegResult::NoMoreItems;
        }
        value = node.values[index];
        return RegResult::Success;
    });
}

RegResult RegKey::EnumKey(std::uint32_t index, char* name, std::uint32_t* nameSize) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        if (index >= node.subkeys.size()) {
            return RegResult::NoMoreItems;
        }
        return CopyName(node.subkeys[index]->name, name, nameSize);
    });
}

RegResult RegKey::EnumKey(std::uint32_t index, std::string& name) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        if (index >= node.subkeys.size()) {
            return RegResult::NoMoreItems;
        }
        name = node.subkeys[index]->name;
        return RegResult::Success;
    });
}

RegResult RegKey::QueryValue(std::string_view name, std::uint32_t* type, std::uint8_t* data,
                             std::uint32_t* dataSize) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        const auto value = FindValue(node, name);
        return value == node.values.end() ? RegResult::NotFound
                                          : CopyData(*value, type, data, dataSize);
    });
}

RegResult RegKey::QueryValue(std::string_view name, RegValue& value) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        const auto found = FindValue(node, name);
        if (found == node.values.end()) {
            return RegResult::NotFound;
        }
        value = *found;
        return RegResult::Success;
    });
}

RegResult RegKey::GetValues(std::vector<RegValue>& values) const
{
    return ReadKey(open_, root_, path_, [&](KeyNode& node) {
        values = node.values;
        return RegResult::Success;
    });
}

RegResult RegKey::SetValue(std::string_view name, std::uint32_t type, const void* data,
                           std::uint32_t size)
{
    if (data == nullptr && size != 0) {
        return RegResult::InvalidParameter;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return SetValue(RegValue{std::string(name), type,
                             bytes != nullptr ? std::vector<std::uint8_t>(bytes, bytes + size)
                                              : std::vector<std::uint8_t>()});
}

RegResult RegKey::SetValue(const RegValue& value)
{
    if (!IsValidValue(value)) {
        return RegResult::InvalidParameter;
    }
    return ChangeKey(open_, root_, path_, [&](KeyNode& node, bool& changed) {
        changed = StoreValue(node, value);
        return RegResult::Success;
    });
}

RegResult RegKey::DeleteValue(std::string_view name)
{
    return ChangeKey(open_, root_, path_, [&](KeyNode& node, bool& changed) {
        const auto value = FindValue(node, name);
        if (value == node.values.end()) {
            return RegResult::NotFound;
        }
        node.values.erase(value);
        changed = true;
        return RegResult::Success;
    });
}

RegResult RegKey::ReplaceValues(const std::vector<RegValue>& values)
{
    if (!std::all_of(values.begin(), values.end(), IsValidValue)) {
        return RegResult::InvalidParameter;
    }
    std::vector<RegValue> wanted = Deduplicated(values);
    return ChangeKey(open_, root_, path_, [&](KeyNode& node, bool& changed) {
        changed = node.values != wanted;
        node.values = std::move(wanted);
        return RegResult::Success;
    });
}

RegResult RegKey::DeleteSubKey(std::string_view subKey)
{
    if (!open_) {
        return RegResult::InvalidHandle;
    }
    if (subKey.empty()) {
        return RegResult::InvalidParameter;
    }
    return DeleteKeyAt(root_, JoinKeyPath(path_, subKey));
}

RegResult DeleteRegKey(RegRoot root, std::string_view subKey)
{
    return DeleteKeyAt(root, std::string(subKey));
}

RegResult ReplaceRegKeyValues(RegRoot root, std::string_view subKey,
                              const std::vector<RegValue>& values)
{
    std::vector<std::string_view> names;
    if (!SplitKeyPath(subKey, names) || !std::all_of(values.begin(), values.end(), IsValidValue)) {
        return RegResult::InvalidParameter;
    }
    std::vector<RegValue> wanted = Deduplicated(values);
    return ChangeStore(root, [&](KeyNode& tree, bool& changed) {
        bool created = false;
        std::string storedPath;
        KeyNode& node = MakeKey(tree, names, created, storedPath);
        changed = created || node.values != wanted;
        node.values = std::move(wanted);
        return RegResult::Success;
    });
}

} // namespace qvplat
