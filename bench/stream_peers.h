#pragma once
// What the receiving benchmarks share: a paced sender in a process of its
// own, the kernel's view of a receiving socket, and the recording peers
// measured beside ours (multicat and ffmpeg, each writing a file).
//
// Every stream goes to 127.0.0.1 only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace streampeers {

// Whole writes and reads on a pipe, taken up again after a signal; ReadAll
// is false when the pipe ends first.
void WriteAll(int fd, const void* data, std::size_t size);
bool ReadAll(int fd, void* data, std::size_t size);

// A UDP port on 127.0.0.1 that is free at the moment.
std::uint16_t FreePort();

// The UDP socket bound to `port` on this host, from the kernel's table.
struct SocketState
{
    bool found = false;
    std::uint64_t rxQueue = 0; // bytes waiting
    std::uint64_t drops = 0;   // datagrams dropped on arrival
};
SocketState ReadSocketState(std::uint16_t port);
// Polls the table until a socket is bound to `port`; false after 3 s.
bool WaitForSocket(std::uint16_t port);

// What the datagrams carry.
enum class Payload {
    // A 4-byte big-endian stream offset, then bytes of 0x47: the "OPV"
    // format with contiguous offsets.
    Opv,
    // The bytes of an MPEG transport stream file, sent over and over, cut
    // into datagrams of the given size: the "RAW" format, a stream that
    // ffmpeg can record.
    RawTs,
};

struct SendResult
{
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0; // datagram bytes
    double seconds = 0;      // first to last send

    double Megabits() const { return static_cast<double>(bytes) * 8 / 1e6; }
    double Mbps() const { return seconds > 0 ? Megabits() / seconds : 0; }
};

struct SendPlan
{
    std::uint16_t port = 0;
    std::uint32_t datagramSize = 1320;
    double mbps = 100;
    double seconds = 1;
    Payload payload = Payload::Opv;
    std::string tsFile; // for Payload::RawTs
};

// Runs the sender in a child process pinned to the last CPU (sendmmsg
// when it is behind, sleeping between datagrams otherwise) and waits for
// it to end.
SendResult Send(const SendPlan& plan);

// The path of the transport stream sample that RawTs sends.
std::string SampleTs();

double CpuSeconds(const rusage& usage);
// CPU time of this process so far (every thread).
double ProcessCpuSeconds();
double Median(std::vector<double> values);

// Scores one rung of a rate ladder for every entrant still in the race.
// Where the sender fell short of the rung (its median below 90 % of `rate`)
// the rung measures the sender: the race ends there as sender-limited. An
// entrant lossless in most of its `trials` passes the rung; one that fails
// two rungs in a row leaves the race. `Result` has `lossless` and
// `senderLimited`.
template <class Result>
void ScoreRung(double rate, const std::vector<double>& achieved, int trials,
               const std::vector<int>& good, std::vector<bool>& inRace,
               std::vector<int>& failedRungs, std::vector<Result>& results)
{
    const bool senderShort = Median(achieved) < 0.9 * rate;
    for (std::size_t r = 0; r < results.size(); ++r) {
        if (!inRace[r]) {
            continue;
        }
        if (senderShort) {
            results[r].senderLimited = true;
            inRace[r] = false;
        } else if (2 * good[r] > trials) {
            results[r].lossless = rate;
            failedRungs[r] = 0;
        } else if (++failedRungs[r] == 2) {
            inRace[r] = false;
        }
    }
}
// "1-min 5-min 15-min" load averages.
std::string LoadAverage();

// ---- Recording peers -------------------------------------------------------------

enum class Peer {
    Multicat, // multicat -u @127.0.0.1:port file
    Ffmpeg,   // ffmpeg -i udp://127.0.0.1:port -c copy -f mpegts file
};
const char* Name(Peer peer);
bool Installed(Peer peer);

struct PeerTrial
{
    SendResult sent;
    SocketState socket; // just before the peer was told to stop
    double cpuSeconds = 0;
    std::uint64_t fileBytes = 0;
    bool overrun = false; // ffmpeg reported its own buffer overrun
    bool ran = false;
    // The kernel dropped nothing, everything was read, and (multicat) the
    // file holds every datagram: multicat keeps the whole 188-byte
    // transport packets of each one (8084 of 8196 bytes, 1316 of 1320).
    bool lossless = false;
};

// One recording of a paced RawTs stream by the peer into a file in `dir`.
PeerTrial RunPeerTrial(Peer peer, std::uint32_t datagramSize, double mbps, double seconds,
                       const std::string& dir);

// ---- Side-by-side comparison ------------------------------------------------------

// One trial of one recorder at one rate.
struct Outcome
{
    bool ran = false;
    bool lossless = false;
    double megabits = 0;   // sent
    double mbps = 0;       // the rate the sender achieved
    double cpuSeconds = 0; // the recorder's, over the trial
    std::string note;      // how it lost, for the trial's line
};

// Fills in a recorder's trial: lossless when the socket dropped nothing
// and `stored` (what the recorder kept) is every byte sent; the note says
// how it lost, naming what was kept as `what`.
void Conclude(Outcome& outcome, const SendResult& sent, const SocketState& socket,
              double cpuSeconds, std::uint64_t stored, bool keptAll, const char* what);

struct Recorder
{
    std::string name;
    // (datagram size, Mbit/s, seconds) -> one trial.
    std::function<Outcome(std::uint32_t, double, double)> run;
};

struct ComparisonOptions
{
    int trials = 3;
    double seconds = 1.0;    // lossless trials
    double cpuSeconds = 2.0; // CPU trials
    double cpuRate = 200;
    std::vector<std::uint32_t> sizes{1320, 8196};
    std::vector<double> ladder{100, 200, 300, 400, 600, 800, 1000, 1200, 1600, 2000};
};

// Parses --trials N, --seconds S, --sizes a,b, --cpu-rate MBPS, --ladder
// a,b,c and --quick; false on anything else.
bool ParseComparisonOptions(int argc, char** argv, ComparisonOptions& options);

// For each datagram size, in one run: the CPU time per megabit at the CPU
// rate (median of the trials) and the highest rate of the ladder that each
// recorder takes losslessly in most of its trials (trials interleaved
// between recorders; a recorder leaves the race after two failed rungs in
// a row; a rung the sender cannot reach ends the race). Progress goes to
// standard error, the table to standard output.
void RunComparison(const std::vector<Recorder>& recorders, const ComparisonOptions& options);

// The peers as recorders, those that are installed; `dir` holds their files.
std::vector<Recorder> PeerRecorders(const std::string& dir);

} // namespace streampeers
