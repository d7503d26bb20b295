// What parent and reader say to each other. The parent sends one request, a message of one
// entry with the file it names; the reader answers with one frame, on a byte stream, and
// ends. Memory they share holds the control page (the reader's notes on how it ended) and
// the bytes of a small document.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/worker_process.h"
#include "zudor_host/driver.h"

namespace zudorhost {
namespace isolation {

constexpr uint32_t kRequestMagic = 0x5144525A; // "ZRDQ"
constexpr uint32_t kReplyMagic = 0x5052525A;   // "ZRRP"

// The reader's notes on how it ended, for its own document's record only: the parent keeps
// time and identity itself.
struct ControlPage {
    worker::FaultNotes notes;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the page is shared between processes");

// The shared memory: the control page, then the bytes of the document if it is small.
constexpr size_t kControlBytes = 4096;
constexpr size_t kInlineBytes = size_t(2) << 20;
constexpr size_t kSharedBytes = kControlBytes + kInlineBytes;

enum class Carrier : uint8_t {
    Inline, // the bytes in the shared memory at offset, size long
    File,   // a regular file, handed over, size bytes long
    Memory, // bytes in memory of their own, handed over, size long
    Remote  // a remote document's windows in memory of their own: `windows` (start, length)
            // pairs, then their bytes; size is the document's
};

struct RequestHeader {
    uint32_t magic;
    uint32_t count;     // entries that follow
    uint32_t flushEvery; // 1: a reader answers its one document at once
    uint32_t reserved;
};

struct Entry {
    uint64_t sequence;
    uint64_t offset;
    uint64_t size;
    uint64_t windows;
    uint64_t bytes;   // Memory and Remote: the length of the handed memory
    uint8_t carrier;  // Carrier
    uint8_t origin;   // InputOrigin
    uint8_t probe;    // answer with the first read the windows could not serve, not a view
    uint8_t handle;   // Inline: none; else the index of its file among the message's
    uint32_t reserved;
};
static_assert(sizeof(Entry) == 48, "entries are copied as they are");

struct ReplyHeader {
    uint32_t magic;
    uint32_t reserved; // the last this many bytes of the payload are the XMP toolkit's words
    uint64_t sequence;
    uint64_t length; // of the payload that follows
};
static_assert(sizeof(ReplyHeader) == 24, "headers are copied as they are");

// The answer to a probe.
struct ProbeAnswer {
    uint64_t missed; // 1 when a read fell outside the windows
    uint64_t offset, length;
};

// A reader's settings: the driver's options that reach the reader process.
inline std::string encodeSettings(const DriverOptions &options)
{
    char text[96];
    std::snprintf(text, sizeof text, "%u %lld %d %d %d", unsigned(options.xmpMode), (long long)options.maxRequest,
                  int(options.anyFile), int(options.retrieval), int(options.explain));
    return text;
}

// Read by hand: every reader decodes them once, and the C library's scanf is a fair part of
// what a fresh reader costs (its code and locale, paged in anew in each process).
inline bool decodeSettings(const std::string &text, DriverOptions &options)
{
    long long fields[5];
    const char *at = text.c_str();
    for (long long &field : fields) {
        const bool negative = *at == '-';
        at += negative;
        if (*at < '0' || *at > '9')
            return false;
        unsigned long long value = 0;
        for (; *at >= '0' && *at <= '9'; ++at)
            if ((value = value * 10 + unsigned(*at - '0')) > (1ull << 62))
                return false;
        field = negative ? -(long long)value : (long long)value;
        if (*at == ' ')
            ++at;
        else if (*at != '\0')
            return false;
    }
    if (*at != '\0')
        return false;
    const unsigned mode = unsigned(fields[0]);
    const long long maxRequest = fields[1];
    const int anyFile = int(fields[2]), retrieval = int(fields[3]), explain = int(fields[4]);
    options.xmpMode = XmpMode(mode);
    options.maxRequest = maxRequest;
    options.anyFile = anyFile != 0;
    options.retrieval = Retrieval(retrieval);
    options.explain = explain != 0;
    return true;
}

} // namespace isolation
} // namespace zudorhost
