#pragma once
// A registry store: hierarchical keys holding typed, named values.
//
// Three roots, each persisted in its own file in RegistryDirectory()
// ("HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg", "HKEY_CLASSES_ROOT.reg").
// Every operation reads the file afresh, so changes of other processes are
// seen at once; every change takes an exclusive lock on "<file>.lock" and
// replaces the file through a rename, so other processes see either the
// state before a change or the state after it.
//
// Key paths are names separated by backslashes ("SOFTWARE\Talvex\SAPDatabase";
// one trailing backslash is ignored; "" is the key itself). Key and value names
// are compared without regard to ASCII case and stored as first given. Key
// names are at most 255 characters and contain no backslash; value names are
// at most 16383 characters (the empty name is the key's default value).
// Values keep their type and bytes exactly as set, and their order of
// creation; subkeys enumerate in case-insensitive alphabetical order.
//
// The file format is line-oriented text:
//
//   castnet-registry 1
//   ; comments and blank lines are ignored
//   [SOFTWARE\Talvex\SAPDatabase]
//   "SAPAddress0" = REG_SZ "224.2.127.254\0"
//   "TypesSupported" = REG_DWORD dword:00000007
//   "Blob" = REG_BINARY hex:00ff10
//
// A "[path]" line starts a key ("[]" is the root itself). Parents exist
// implicitly, so a key with subkeys but no values has no line of its own. In
// key names '%', '[', ']' and control characters are written as %XX. A value
// line holds the quoted name, '=', the type (a REG_ name or type:<number>) and
// the data: a quoted string (escapes \\ \" \0 \n \r \t \xHH), dword:<8 hex
// digits> (4 bytes, little-endian) or hex:<pairs>. A file that does not follow
// the format makes every operation on that root fail with
// RegResult::CorruptStore (RegLastErrorText() says where); the file is then
// left untouched.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvplat {

enum class RegRoot {
    LocalMachine, // HKEY_LOCAL_MACHINE
    CurrentUser,  // HKEY_CURRENT_USER
    ClassesRoot,  // HKEY_CLASSES_ROOT
};

// Results; the numbers are those of the matching Windows error codes.
enum class RegResult : long {
    Success = 0,
    NotFound = 2,          // no such key or value
    AccessDenied = 5,      // deleting a key that has subkeys, or the root
    InvalidHandle = 6,     // the handle is not open
    InvalidParameter = 87, // bad name, path or buffer arguments
    MoreData = 234,        // a name or the data does not fit the buffer
    NoMoreItems = 259,     // enumeration index past the end
    CorruptStore = 1015,   // the store file is not in the expected format
    IoFailed = 1016,       // the store file cannot be read or written
    KeyDeleted = 1018,     // the open key was deleted meanwhile
};

// Value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::uint32_t REG_LINK = 6;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_QWORD = 11;

struct RegValue
{
    std::string name;
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;

    bool operator==(const RegValue&) const = default;
};

// A value of type REG_SZ holding the text and a terminating NUL.
RegValue MakeStringValue(std::string_view name, std::string_view text);
// A value of type REG_DWORD holding the number in 4 little-endian bytes.
RegValue MakeDwordValue(std::string_view name, std::uint32_t number);

// A short English description of a result ("more data", ...).
const char* RegResultName(RegResult result);
// Details of the last CorruptStore or IoFailed result of this thread.
std::string RegLastErrorText();

// An open key. Move-only; closing (or destroying) it changes nothing in the
// store. Operations on a key that another handle or process has deleted fail
// with RegResult::KeyDeleted.
class RegKey
{
public:
    RegKey() = default;
    RegKey(RegKey&& other) noexcept;
    RegKey& operator=(RegKey&& other) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() = default;

    // Opens an existing key (NotFound when it or a parent is absent). On
    // failure this object is left closed.
    RegResult Open(RegRoot root, std::string_view subKey);
    RegResult Open(const RegKey& parent, std::string_view subKey);
    // Opens a key, creating it and any missing parents; created (optional)
    // tells whether the key itself was new.
    RegResult Create(RegRoot root, std::string_view subKey, bool* created = nullptr);
    RegResult Create(const RegKey& parent, std::string_view subKey, bool* created = nullptr);
    void Close();

    bool IsOpen() const { return open_; }
    RegRoot Root() const { return root_; }
    // The path of the key below its root, with names as stored.
    const std::string& Path() const { return path_; }

    // Value by index, in the manner of the system's own call. nameSize is in:
    // the buffer size in characters counting the NUL, out: the name length
    // without it. data may be null (dataSize then receives the size); type and
    // dataSize may be null. A name that does not fit gives MoreData with
    // nameSize set to the name length; data that does not fit gives MoreData
    // with the name and type stored and dataSize set to the size needed.
    RegResult EnumValue(std::uint32_t index, char* name, std::uint32_t* nameSize,
                        std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) const;
    RegResult EnumValue(std::uint32_t index, RegValue& value) const;
    // Subkey name by index; nameSize as for EnumValue.
    RegResult EnumKey(std::uint32_t index, char* name, std::uint32_t* nameSize) const;
    RegResult EnumKey(std::uint32_t index, std::string& name) const;

    // The value of that name; data and dataSize behave as for EnumValue.
    RegResult QueryValue(std::string_view name, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* dataSize) const;
    RegResult QueryValue(std::string_view name, RegValue& value) const;
    // All values at once, in order (one consistent snapshot).
    RegResult GetValues(std::vector<RegValue>& values) const;

    // Sets a value, replacing one of that name in place or appending it.
    RegResult SetValue(std::string_view name, std::uint32_t type, const void* data,
                       std::uint32_t size);
    RegResult SetValue(const RegValue& value);
    RegResult DeleteValue(std::string_view name);
    // Replaces all values of this key by these, in one step; subkeys stay.
    // Later duplicates of a name replace earlier ones in place.
    RegResult ReplaceValues(const std::vector<RegValue>& values);
    // Deletes a subkey that has no subkeys of its own (AccessDenied otherwise).
    RegResult DeleteSubKey(std::string_view subKey);

private:
    RegRoot root_ = RegRoot::LocalMachine;
    std::string path_;
    bool open_ = false;
};

// Deletes a key below a root; AccessDenied when it has subkeys.
RegResult DeleteRegKey(RegRoot root, std::string_view subKey);
// Creates the key where needed and replaces all its values by these in one
// locked step; its subkeys stay. Nobody ever sees the key missing.
RegResult ReplaceRegKeyValues(RegRoot root, std::string_view subKey,
                              const std::vector<RegValue>& values);

} // namespace qvplat
