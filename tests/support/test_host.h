// A scripted host for the tests: an accounting heap that checks every call and can refuse
// requests, a memory stream that counts reads and seeks and can cut a read short, and time
// and XMP services that record what they were given.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "zudor/host.h"

namespace testhost {

// Fill for every block the heap hands out, so code that trusts the host to zero is caught.
constexpr uint8_t kGarbage = 0xA5;

class TestHost {
public:
    TestHost();
    ~TestHost();
    TestHost(const TestHost &) = delete;
    TestHost &operator=(const TestHost &) = delete;

    HostServices *services() { return &services_; }

    // Heap script: refuse the k-th allocation request (1-based), or every request from the
    // k-th on. Negative sizes are always refused.
    void refuseRequest(long k) { refuseFrom_ = refuseTo_ = k; }
    void refuseFrom(long k) { refuseFrom_ = k, refuseTo_ = -1; }
    // Refuse any request for more bytes than this, as a real host caps what a hostile count
    // may ask for (0: no cap).
    void limitRequests(int64_t bytes) { requestLimit_ = bytes; }

    // Heap ledger.
    long requests() const { return requests_; }
    size_t liveBlocks() const { return live_.size(); }
    bool owns(const void *block) const { return live_.count(const_cast<void *>(block)) != 0; }
    size_t blockSize(const void *block) const;
    size_t peakBytes() const { return peakBytes_; }
    const std::vector<std::string> &misuse() const { return misuse_; }
    // Every request in order: a<size> alloc, c<count>x<size> calloc, r<size> realloc,
    // z<size> resize.
    const std::string &requestLog() const { return requestLog_; }

    // Time service: records each calendar time and writes it as a Windows FILETIME.
    std::vector<int64_t> timesGiven;

    // XMP service: records each packet; answers the first xmpRecordsToGive calls with a
    // record and later ones with none.
    struct XmpCall {
        std::string packet; // as many bytes as the reader said, the terminator included
        uint32_t mode;
    };
    std::vector<XmpCall> xmpCalls;
    size_t xmpRecordsToGive = SIZE_MAX;
    // The record made for call i: its first word is i + 1, the rest the packet's first bytes.
    static XmpInfo recordFor(size_t call, const std::string &packet);

private:
    friend struct Services;
    bool shouldRefuse(char kind, int64_t count, int64_t size);
    void *hand(size_t bytes);
    bool checkHeap(const void *heap, const char *call);

    HostServices services_;
    std::map<void *, size_t> live_;
    std::vector<std::string> misuse_;
    std::string requestLog_;
    std::deque<XmpInfo> xmpRecords_;
    long requests_ = 0;
    long refuseFrom_ = -1;
    long refuseTo_ = -1;
    int64_t requestLimit_ = 0;
    size_t liveBytes_ = 0;
    size_t peakBytes_ = 0;
};

// A stream over bytes in memory.
class MemoryStream {
public:
    explicit MemoryStream(std::vector<uint8_t> bytes);
    InputStream *stream() { return &record_.base; }

    // Cut the k-th read short (1-based): it delivers one byte less than asked, or reports
    // an error for a read of nothing.
    void cutRead(long k) { cutAt_ = k; }

    long reads() const { return reads_; }
    // Every call in order: r<length asked> and s<offset sought>.
    const std::string &log() const { return log_; }

private:
    struct Record {
        InputStream base; // first, so the record's address is the stream's
        MemoryStream *self;
    };
    static uint32_t read(InputStream *s, void *buffer, uint32_t count);
    static int32_t seek(InputStream *s, uint32_t offset, uint32_t origin);

    Record record_;
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
    long reads_ = 0, cutAt_ = -1;
    std::string log_;
};

// Seconds since 1970 as the 8 little-endian bytes of a Windows FILETIME, and back.
uint64_t fileTimeFromSeconds(int64_t seconds);
int64_t secondsFromFileTime(const uint8_t bytes[8]);

// Sets the process's time zone the way the platform wants it.
void setTimeZone(const char *tz);

} // namespace testhost
