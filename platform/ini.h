#pragma once
// INI files read and written a whole section at a time.
//
// File names follow MapPath with the Windows directory as the base of a bare
// name: "QvCtl.ini" is <Windows directory>/QvCtl.ini, ".\grabtool.ini" is in
// the working directory, "/tmp/x.ini" is that file.
//
// Reading: section names are compared without regard to (ASCII) case and
// without their surrounding blanks; the first section of that name counts.
// Blank lines and lines starting with ';' are skipped, LF and CRLF line ends
// are both accepted, blanks around a line and around its first '=' are
// removed ("Port = 10" reads as "Port=10"); a line without '=' is returned
// as it stands.
//
// Writing replaces the lines of one section, keeping its header as written,
// the comments and blank lines at its start and end, every other line of the
// file and the order of the sections; a later section of the same name is
// dropped so that reading gives back exactly what was written. A missing
// file or section is created (new sections go at the end). The file's line
// ends (LF or CRLF, by its first line) are kept. Several processes may share
// a file: writers serialise on "<file>.lock" and replace the file through a
// rename, so readers never see half a file.
//
// Entries that would change the file's structure are refused (the whole
// write fails and the file is unchanged): an entry containing CR or LF, or
// one starting with '[', and a section name that is empty or contains ']',
// CR or LF.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvplat {

// Copies the entries of a section into buffer as "key=value\0...key=value\0\0".
// Returns the number of characters copied, not counting the final NUL; 0 for a
// missing file or section or an empty section (the buffer then holds "\0\0"
// when there is room). When the entries do not fit, the buffer holds the
// entries that fit, double-NUL terminated, and the result is size - 2.
// Never writes beyond size characters.
std::uint32_t GetPrivateProfileSection(const char* section, char* buffer, std::uint32_t size,
                                       const char* fileName);

// Replaces the section by the entries of a double-NUL-terminated block
// "key=value\0...\0\0" (a lone "\0" empties the section). Returns true on
// success, false for null arguments, refused entries or a file that cannot
// be read or written.
bool WritePrivateProfileSection(const char* section, const char* entries, const char* fileName);

// The entries of a section, one "key=value" string each, in file order;
// nullopt when the file or the section is missing or cannot be read.
std::optional<std::vector<std::string>> ReadIniSection(std::string_view fileName,
                                                       std::string_view section);

// Replaces the section by the entries (one line each); false on failure.
bool WriteIniSection(std::string_view fileName, std::string_view section,
                     const std::vector<std::string>& entries);

// The entries as ReadIniSection gives them back from a section that
// WriteIniSection wrote with them (blanks trimmed, comments skipped);
// nullopt when WriteIniSection would refuse them. Touches no file.
std::optional<std::vector<std::string>> IniEntriesAsRead(const std::vector<std::string>& entries);

// Removes a file written by these functions together with the lock file its
// writers share. Only for a file that no other process writes any more (a
// writer waiting for the lock would hold a lock file that is gone). True
// when neither is left, also when they never existed.
bool DeleteIniFile(std::string_view fileName);

} // namespace qvplat
