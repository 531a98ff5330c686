#pragma once
// Property lists: the settings currency of the whole system.
//
// A QvPropertyList is an ordered list of named string values. Names are stored
// upper-cased, so "Port", "PORT" and "port" are one property; values keep
// their case. A list is filled from one-line text ("A B=1 C=\"x y\""), from INI
// sections and from registry keys, and written back to each of them.
//
// A list has no lock: callers that share one between threads fill it before
// the other threads start and only read it afterwards.

#include "core/qvexport.h"
#include "core/strings/utlist.h"
#include "core/strings/utstring.h"

#include "platform/registry.h"

#include <cstdint>
#include <vector>

// One named value of a list. The list owns its items; callers reach them
// through QvPropertyList::GetListPtr and only read them.
class QV_API QvPropertyItem
{
public:
    // The name is stored upper-cased, the value unchanged.
    QvPropertyItem(UtCString name, UtCString value);
    QvPropertyItem(const QvPropertyItem&) = delete;
    QvPropertyItem& operator=(const QvPropertyItem&) = delete;
    virtual ~QvPropertyItem();

    const UtCString& GetName() const { return m_name; }
    const UtCString& GetValue() const { return m_value; }

private:
    friend class QvPropertyList;
    struct Take
    {
    };
    // Takes the strings over as they are; `hash` is NameHash of the name.
    QvPropertyItem(UtCString&& name, UtCString&& value, std::uint32_t hash, Take);
    void UpperCaseName();

    UtCString m_name;
    UtCString m_value;
    std::uint32_t m_hash; // of the upper-cased name, for lookups
};

class QV_API QvPropertyList
{
public:
    // How the integer forms of AddProperty/SetProperty write their number;
    // any other value stores an empty text.
    enum ValueType : int
    {
        Decimal = 0, // "-12"
        Hex = 1,     // "0xff", negatives as their 32-bit two's complement
    };

    // The root of a registry key.
    using HKEY = qvplat::RegRoot;

    // The section that the file-only forms of ReadProperties and
    // WriteProperties use.
    static constexpr const char* defaultSection = "QV";

    QvPropertyList();
    QvPropertyList(const QvPropertyList& other);
    // Replaces every item by copies of the other list's items, in its order.
    QvPropertyList& operator=(const QvPropertyList& other);
    virtual ~QvPropertyList();

    // ---- Adding and changing -----------------------------------------------------
    // Replaces the value of an existing item of that name in place, or
    // appends a new item.
    void AddProperty(UtCString name, UtCString value);
    void AddProperty(UtCString name, int value, ValueType type);
    void SetProperty(UtCString name, UtCString value);
    void SetProperty(UtCString name, int value, ValueType type);
    // Parses the one-line text form and adds each entry in text order.
    void AddProperties(UtCString text);
    void SetProperties(UtCString text);
    // Adds (or replaces) every item of the other list, in its order; items
    // that the other list lacks stay.
    void MergeProperties(QvPropertyList& other);

    // ---- Lookups -----------------------------------------------------------------
    // A copy of the value; empty when absent.
    UtCString GetProperty(UtCString name) const;
    // The stored value's characters, valid until the item is replaced or
    // removed; an empty text when absent.
    const char* GetCharProperty(UtCString name) const;
    // Decimal, "0x" hexadecimal, hexadecimal with a trailing H, or decimal
    // with a trailing K (x1024) or M (x1048576); 32-bit arithmetic that
    // wraps. 0 when absent or unreadable.
    int GetIntProperty(UtCString name) const;
    // True for "TRUE", "YES" or "1" in any case; false otherwise and when
    // absent.
    bool GetBoolProperty(UtCString name) const;
    // True when an item of that name exists (an empty value counts).
    bool PropertyDefined(UtCString name) const;
    bool Defined(UtCString name) const;
    // Store the typed value (0, empty or false when absent) and tell whether
    // the name is defined.
    bool FindProperty(UtCString name, int& value) const;
    bool FindProperty(UtCString name, UtCString& value) const;
    bool FindProperty(UtCString name, bool& value) const;

    // ---- Removing ----------------------------------------------------------------
    // True if an item of that name was removed.
    bool ClearProperty(UtCString name);
    void ClearProperties();

    // ---- The whole list ----------------------------------------------------------
    int GetCount() const;
    // The items in order, for reading; the list keeps owning them.
    UtTPtrSlist<QvPropertyItem>* GetListPtr() { return m_items; }
    const UtTPtrSlist<QvPropertyItem>* GetListPtr() const { return m_items; }
    // The one-line text form: NAME=value entries, each followed by one blank;
    // values with blanks or newlines in double quotes.
    UtCString GetPropertyString() const;

    // ---- Persistence (1 success, 0 failure) ------------------------------------
    // INI file names are Windows-style: a bare name lies in the Windows
    // directory, ".\name" in the working directory.
    //
    // Adds the entries of one section. A missing file or section, an empty
    // section or one larger than 4096 bytes gives 0 and adds nothing.
    int ReadProperties(UtCString file, UtCString section);
    // The same for section "QV".
    int ReadProperties(UtCString file);
    // ReadProperties of the file name taken inside the Windows directory.
    int ReadDefaults(UtCString file, UtCString section);
    // Replaces one section by the list. CR and LF in names and values are
    // written as blanks; a list whose block exceeds 4096 bytes is refused
    // and nothing is written.
    int WriteProperties(UtCString file, UtCString section);
    // The same for section "QV".
    int WriteProperties(UtCString file);
    // Turns a name and a value into what ReadProperties gives back from a
    // section that WriteProperties wrote with them: CR and LF as blanks,
    // the blanks around both trimmed, the name cut at its first "=" (the
    // rest goes to the value). False, leaving both as they were, when a
    // file cannot carry the entry (WriteProperties refuses it, or a reader
    // takes it for a comment). A check of settings that reach another
    // program through a file runs on what this gives.
    static bool AsReadBack(UtCString& name, UtCString& value);
    // Adds the string values of a key (names under 100 characters, data up
    // to 1024 bytes; other values are skipped). 0 when the key is missing.
    int ReadRegistry(UtCString subkey, HKEY root);
    // Makes the key's values exactly the list, in one step that keeps its
    // subkeys; the key is created when missing.
    int WriteRegistry(UtCString subkey, HKEY root);

private:
    // Names are compared as stored: the key upper-cased byte by byte on the
    // fly, length first, so a lookup allocates nothing.
    QvPropertyItem* FindItem(const UtCString& name) const;
    QvPropertyItem* FindItem(const UtCString& name, std::uint32_t hash) const;
    void CopyItemsFrom(const QvPropertyList& other);
    void Append(QvPropertyItem* item);
    void Index(QvPropertyItem* item);
    void RebuildIndex();

    UtTPtrSlist<QvPropertyItem>* m_items;
    // Beyond a few items, an open-addressing table of the items by name
    // hash (a power of two in size, at most half full), so that filling a
    // list item by item does not scan it once per item. Empty while small.
    std::vector<QvPropertyItem*> m_index;
};
