#pragma once
// The directory as the monitor shows and writes it.
//
// Each program of the directory becomes a list line "<Address>/<Port>" of
// its parsed SDP text, keeps its text for the SDP view, and is rewritten by
// the monitor's SDP writer (no "b=X-QV" bit-rate line, no "a=x-" lines) for
// the output file, which holds those texts one after another, each line
// ended by a line feed.
//
// A directory change asks for all of that at once while the directory's
// lock is held, so SnapshotBuilder remembers what it made of each text:
// a program is parsed once, ideally when it is first announced (Prepare, off
// the lock), and a rebuild under the lock only looks the texts up and joins
// them.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class QvSapDb;

namespace castwatch {

struct Program
{
    std::string line;    // "<Address>/<Port>"
    std::string sdp;     // the text as announced
    std::string rebuilt; // the text as the monitor's SDP writer makes it
};
using ProgramPtr = std::shared_ptr<const Program>;

// Parses an SDP text and rebuilds it. The rebuilt text ends after the last
// whole line (it is empty or ends with a line feed).
Program DescribeProgram(std::string_view sdp);

// The programs in the order of the dialog's sorted list: by line, ignoring
// case; programs with equal lines keep their directory order.
std::vector<ProgramPtr> InListOrder(std::vector<ProgramPtr> programs);

struct DirectorySnapshot
{
    std::vector<ProgramPtr> programs; // in directory order
    std::string fileText;             // the rebuilt texts one after another
};

class SnapshotBuilder
{
public:
    // Describes a text that the directory has just filed, so the next Build
    // finds it ready. Any thread; takes no directory lock.
    void Prepare(std::string_view sdp);
    // The directory as it stands; the caller holds the directory's lock.
    // Descriptions of programs no longer listed are forgotten.
    DirectorySnapshot Build(QvSapDb& directory);

private:
    struct TextHash
    {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const
        {
            return std::hash<std::string_view>()(text);
        }
    };
    struct Known
    {
        ProgramPtr program;
        unsigned listed = 0; // the last Build that listed it
    };
    // Keys view the sdp text of their own program.
    using KnownMap = std::unordered_map<std::string_view, Known, TextHash, std::equal_to<>>;

    std::mutex m_lock;
    KnownMap m_known;
    unsigned m_build = 0;
};

// The path of an output file name as the settings give it (Windows-style
// names are mapped); "" for an empty name.
std::string OutputFilePath(const std::string& name);
// Replaces the file's contents in one step (a temporary file renamed over
// it), so a reader sees the old or the new text, never a mix. False, with
// a line in the debug log, when it cannot be written.
bool WriteOutputFile(const std::string& path, const std::string& text);

} // namespace castwatch
