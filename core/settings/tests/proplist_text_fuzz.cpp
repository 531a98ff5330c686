// Feeds arbitrary bytes to the property text parser and to the typed getters,
// and checks what must hold for every input: stored names are upper-cased and
// unique, and the one-line text of a parsed list parses back to the same list.
// Names with double quotes or blanks are left out of that last check: the text
// form cannot carry them (a quote opened in one tab-separated entry can keep
// the blanks of the next one).
#include "core/settings/qvproplist.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool SameItems(const QvPropertyList& a, const QvPropertyList& b)
{
    if (a.GetCount() != b.GetCount()) {
        return false;
    }
    auto other = b.GetListPtr()->begin();
    for (const QvPropertyItem* item : *a.GetListPtr()) {
        if (!(item->GetName() == (*other)->GetName()) ||
            !(item->GetValue() == (*other)->GetValue())) {
            return false;
        }
        ++other;
    }
    return true;
}

void CheckParsedList(const QvPropertyList& list)
{
    std::set<std::string> names;
    bool unwritableName = false;
    int checked = 0;
    for (const QvPropertyItem* item : *list.GetListPtr()) {
        const UtCString& name = item->GetName();
        Require(name == toUpper(name));
        Require(names.emplace(name.chars(), name.length()).second);
        unwritableName = unwritableName || name.firstOf("\" ") != UtCString::npos;
        // Lookups walk the list, so only the first items go through all of them.
        if (++checked > 32) {
            continue;
        }
        Require(list.PropertyDefined(toLower(name)));
        Require(std::strcmp(list.GetCharProperty(name), item->GetValue().chars()) == 0);
        int number = 0;
        Require(list.FindProperty(name, number) && number == list.GetIntProperty(name));
        bool flag = false;
        Require(list.FindProperty(name, flag) && flag == list.GetBoolProperty(name));
    }
    if (!unwritableName) {
        QvPropertyList reparsed;
        reparsed.AddProperties(list.GetPropertyString());
        Require(SameItems(list, reparsed));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const UtCString text(reinterpret_cast<const char*>(data), static_cast<std::uint32_t>(size));

    QvPropertyList list;
    list.AddProperties(text);
    CheckParsedList(list);

    QvPropertyList copy(list);
    Require(SameItems(list, copy));

    // The raw bytes as one value through the typed getters.
    QvPropertyList raw;
    raw.AddProperty("Value", text);
    (void)raw.GetIntProperty("value");
    (void)raw.GetBoolProperty("value");
    Require(raw.GetProperty("VALUE") == text);
    return 0;
}
