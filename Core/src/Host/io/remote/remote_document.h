// What was fetched of one remote document: its size and the windows of its bytes that the
// reader needs, fetched before any CPU worker sees the document. Its reads are served from
// these windows alone (RemoteStream); a read they do not cover is a miss, and fetching a
// window around a miss is the only way the set grows.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zudorhost {

struct FetchedWindow {
    uint64_t start = 0;
    std::vector<char> bytes;
    uint64_t end() const { return start + bytes.size(); }
};

struct RemoteCounts {
    uint64_t requests = 0;
    uint64_t bytesFetched = 0;
    uint64_t retries = 0;
};

struct RemoteDocument {
    std::string error;   // why the document cannot be read, or empty
    uint64_t size = 0;
    std::vector<FetchedWindow> windows; // by start, neither overlapping nor touching
    std::string etag, lastModified;     // of the first answer: later ranges must match it
    bool rangesIgnored = false;         // the server answered the first range with the whole object
    unsigned misses = 0;                // windows fetched after the first
    RemoteCounts counts;
    double seconds = 0;                 // from the first request's start to the last answer's end

    // Merges bytes at start into the windows.
    void addWindow(uint64_t start, std::vector<char> bytes);
    // The window holding [offset, offset + length), or null.
    const FetchedWindow *covering(uint64_t offset, uint64_t length) const;
};

// The bytes of the first request, and of the windows after it (a read larger than a window
// is fetched exactly), and the largest a later window grows.
constexpr uint32_t kFirstWindowBytes = 64 * 1024;
constexpr uint32_t kLaterWindowBytes = 16 * 1024;
constexpr uint32_t kLargestWindowBytes = 1024 * 1024;

struct WindowPlan {
    uint64_t start = 0, length = 0;
};
// The window to fetch for a read of length bytes at offset that the windows do not cover:
// the read with bytes around it, kLaterWindowBytes in all, within the document and trimmed of
// what is already held at either end. Windows double after every fourth miss (up to
// kLargestWindowBytes), so that a document of very many directories spread over a large file
// needs fewer requests, and fewer passes of the probe that finds them.
WindowPlan planWindow(const RemoteDocument &document, uint64_t offset, uint64_t length);

} // namespace zudorhost
