#pragma once
// The blocks that the capture control and the capture engine share: the
// command and data blocks of the channel "x_Qv1", the presence block "x_Qv3"
// and the per-session status blocks "x_QvST...". Their bytes are little-endian
// fields at fixed offsets; every field is read and written whole through
// std::atomic_ref (QvLoad, QvStore), without the block's mutex, with one
// writer at a time.
//
// The bytes come from another process: readers take any value they find
// without trusting it.

#include "core/strings/utstring.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

static_assert(std::endian::native == std::endian::little, "the blocks are little-endian");

// ---- Names and sizes ----------------------------------------------------------------

inline constexpr const char* kQvChannelName = "x_Qv1";
inline constexpr std::uint32_t kQvChannelDataSize = 1024;
inline constexpr const char* kQvCommandPrefix = "CMD_";
inline constexpr const char* kQvDataPrefix = "DAT_";
inline constexpr const char* kQvListenerPrefix = "LIS_";
inline constexpr const char* kQvPresenceName = "x_Qv3";
inline constexpr const char* kQvStatusPrefix = "x_QvST";
inline constexpr const char* kQvStatusListenerName = "x_QvLis";

// ---- Command codes and results --------------------------------------------------------

inline constexpr int kQvCmdInitialize = 1;
inline constexpr int kQvCmdStart = 2;
inline constexpr int kQvCmdStop = 3;
inline constexpr int kQvCmdSetDuration = 6;
inline constexpr int kQvCmdSetStopThreshold = 7;
// Offset in the data block of the value of commands 6 and 7.
inline constexpr std::size_t kQvCommandValueOffset = 8;

inline constexpr int kQvNoFreeSlot = -6;
inline constexpr int kQvNotInitialised = -8;
inline constexpr int kQvNoData = -11;
inline constexpr int kQvNoAnswer = -255;

// ---- Layouts ------------------------------------------------------------------------

struct QvCommandBlock
{
    std::int32_t code;
    std::int32_t reserved;
    std::int32_t result;
    std::uint8_t done; // the low byte of the 32-bit word the sender waits on
    std::uint8_t padding[3];
    std::uint32_t dataAddress; // always 0: an address means nothing in another process
};
static_assert(sizeof(QvCommandBlock) == 20);
static_assert(offsetof(QvCommandBlock, code) == 0);
static_assert(offsetof(QvCommandBlock, result) == 8);
static_assert(offsetof(QvCommandBlock, done) == 12);
static_assert(offsetof(QvCommandBlock, dataAddress) == 16);

struct QvPresenceBlock
{
    std::uint8_t running;
    std::uint8_t padding[3];
    std::int32_t freeSlots;
};
static_assert(sizeof(QvPresenceBlock) == 8);
static_assert(offsetof(QvPresenceBlock, freeSlots) == 4);

struct QvStatusBlock
{
    std::uint8_t attached;
    std::uint8_t padding1[3];
    std::int32_t slot;
    std::int32_t state;     // 1 while the capture loop runs
    std::int32_t duration;  // seconds
    std::int32_t startTime; // seconds since 1970
    std::int32_t elapsed;   // seconds
    double stopThreshold;   // free bytes below which the capture stops
    double bytesCaptured;
    std::uint8_t lock;
    std::uint8_t padding2[3];
    std::int32_t stopReason;
};
static_assert(sizeof(QvStatusBlock) == 48);
static_assert(offsetof(QvStatusBlock, slot) == 4);
static_assert(offsetof(QvStatusBlock, state) == 8);
static_assert(offsetof(QvStatusBlock, duration) == 12);
static_assert(offsetof(QvStatusBlock, startTime) == 16);
static_assert(offsetof(QvStatusBlock, elapsed) == 20);
static_assert(offsetof(QvStatusBlock, stopThreshold) == 24);
static_assert(offsetof(QvStatusBlock, bytesCaptured) == 32);
static_assert(offsetof(QvStatusBlock, lock) == 40);
static_assert(offsetof(QvStatusBlock, stopReason) == 44);

inline constexpr std::int32_t kQvDefaultDuration = 3600;
inline constexpr double kQvDefaultStopThreshold = 51200000.0;

// Stop reasons.
inline constexpr std::int32_t kQvReasonNone = 0;
inline constexpr std::int32_t kQvReasonNormal = 1;
inline constexpr std::int32_t kQvReasonDiskThreshold = 2;
inline constexpr std::int32_t kQvReasonNoData = 3;
inline constexpr std::int32_t kQvReasonStopped = 4;
inline constexpr std::int32_t kQvReasonWriteError = 6;

// ---- Field access -------------------------------------------------------------------

template <class T> T QvLoad(const T& field)
{
    return std::atomic_ref<T>(const_cast<T&>(field)).load();
}

template <class T, class V> void QvStore(T& field, V value)
{
    std::atomic_ref<T>(field).store(static_cast<T>(value));
}

// The defaults of a newly made block.
void QvPresenceDefaults(QvPresenceBlock& block);
void QvStatusDefaults(QvStatusBlock& block);

// ---- Status block names ------------------------------------------------------------

// "x_QvST" + address + port + session id. The parts come from the network
// (an SDP text) or a page: every byte but letters, digits, '.', '-' and '_'
// is written as %XX, so no part can reach another block's name or the
// name suffixes of the shared memory.
UtCString QvStatusBlockName(const char* address, const char* port, const char* sessionId);

// ---- The data of command 1 -------------------------------------------------------------

// The session text with its NUL; an empty text is followed by the address
// and the port, each with its NUL, so that the engine can name the status
// block as the control does.
std::string QvInitializeData(const char* sessionText, const char* address, const char* port);

struct QvInitializeRequest
{
    std::string sessionText;
    std::string address; // only after an empty session text
    std::string port;
};

// Reads command 1's data; every text ends at its NUL or at the end of the
// data, never beyond.
QvInitializeRequest QvParseInitializeData(std::span<const std::uint8_t> data);
