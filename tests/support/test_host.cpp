#include "test_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace testhost {

namespace {
// hostConvertTime gets no heap, so it finds its host through the thread that runs it.
thread_local TestHost *currentHost = nullptr;

TestHost &hostOf(void *heap) { return **static_cast<TestHost **>(heap); }
} // namespace

struct Services {
    // Checks the heap address, logs the request, and refuses it or hands out a new block.
    static void *grant(void *heap, const char *call, char kind, int64_t count, int64_t size)
    {
        TestHost &h = hostOf(heap);
        if (!h.checkHeap(heap, call) || h.shouldRefuse(kind, count, size) || (size != 0 && count > INT64_MAX / size))
            return nullptr;
        return h.hand(static_cast<size_t>(count * size));
    }

    static void *alloc(void *heap, int64_t size) { return grant(heap, "hostAlloc", 'a', 1, size); }
    static void *calloc(void *heap, int64_t count, int64_t size) { return grant(heap, "hostCalloc", 'c', count, size); }

    static int32_t free(void *heap, void *block)
    {
        TestHost &h = hostOf(heap);
        if (!h.checkHeap(heap, "hostFree"))
            return 0;
        auto it = h.live_.find(block);
        if (it == h.live_.end()) {
            h.misuse_.push_back(block == nullptr ? "hostFree of null" : "hostFree of a block not live");
            return 0;
        }
        std::free(block);
        h.liveBytes_ -= it->second;
        h.live_.erase(it);
        return 1;
    }

    // Like C realloc: a refusal leaves the old block as it was.
    static void *realloc(void *heap, void *block, int64_t size)
    {
        TestHost &h = hostOf(heap);
        if (block != nullptr && !h.live_.count(block)) {
            h.misuse_.push_back("hostRealloc of a block not live");
            return nullptr;
        }
        void *grown = grant(heap, "hostRealloc", 'r', 1, size);
        if (grown != nullptr && block != nullptr) {
            std::memcpy(grown, block, std::min(h.live_[block], static_cast<size_t>(size)));
            free(heap, block);
        }
        return grown;
    }

    // A refusal frees the old block, as the reader expects of a host that wants no leak.
    static void *resize(void *heap, void *block, int64_t size)
    {
        TestHost &h = hostOf(heap);
        if (!h.live_.count(block)) {
            h.misuse_.push_back("hostResize of a block not live");
            return nullptr;
        }
        void *grown = grant(heap, "hostResize", 'z', 1, size);
        free(heap, block);
        return grown;
    }

    static int32_t convertTime(int64_t seconds, uint8_t *out)
    {
        if (currentHost != nullptr)
            currentHost->timesGiven.push_back(seconds);
        const uint64_t ft = fileTimeFromSeconds(seconds);
        for (int i = 0; i < 8; ++i)
            out[i] = static_cast<uint8_t>(ft >> (8 * i));
        return 1;
    }

    static int32_t parseXmp(HostServices *services, XmpInfo **result, uint64_t *, const char *packet,
                            uint32_t size, uint32_t mode)
    {
        TestHost &h = hostOf(&services->hostHeap);
        if (services != &h.services_)
            h.misuse_.push_back("hostParseXmp given another record");
        h.xmpCalls.push_back({std::string(packet, size), mode});
        if (h.xmpCalls.size() > h.xmpRecordsToGive) {
            *result = nullptr;
            return 0;
        }
        h.xmpRecords_.push_back(TestHost::recordFor(h.xmpCalls.size() - 1, h.xmpCalls.back().packet));
        *result = &h.xmpRecords_.back();
        return 1;
    }
};

TestHost::TestHost()
{
    std::memset(&services_, 0, sizeof services_);
    services_.hostHeap = this;
    services_.hostAlloc = Services::alloc;
    services_.hostFree = Services::free;
    services_.hostRealloc = Services::realloc;
    services_.hostCalloc = Services::calloc;
    services_.hostResize = Services::resize;
    services_.hostConvertTime = Services::convertTime;
    services_.hostParseXmp = Services::parseXmp;
    currentHost = this;
}

TestHost::~TestHost()
{
    for (auto &block : live_)
        std::free(block.first);
    if (currentHost == this)
        currentHost = nullptr;
}

size_t TestHost::blockSize(const void *block) const
{
    auto it = live_.find(const_cast<void *>(block));
    return it == live_.end() ? 0 : it->second;
}

bool TestHost::checkHeap(const void *heap, const char *call)
{
    if (heap == &services_.hostHeap)
        return true;
    misuse_.push_back(std::string(call) + " given the wrong heap address");
    return false;
}

bool TestHost::shouldRefuse(char kind, int64_t count, int64_t size)
{
    requestLog_ += (requestLog_.empty() ? "" : " ") + std::string(1, kind) +
                   (kind == 'c' ? std::to_string(count) + "x" : "") + std::to_string(size);
    const long k = ++requests_;
    const bool scripted = refuseFrom_ > 0 && k >= refuseFrom_ && (refuseTo_ < 0 || k <= refuseTo_);
    const bool overLimit = requestLimit_ > 0 && size > 0 && count > requestLimit_ / size;
    return scripted || count < 0 || size < 0 || overLimit;
}

void *TestHost::hand(size_t bytes)
{
    // A zero-byte request still gets a block of its own, as calloc gives.
    void *block = std::malloc(bytes == 0 ? 1 : bytes);
    std::memset(block, kGarbage, bytes);
    live_[block] = bytes;
    liveBytes_ += bytes;
    if (liveBytes_ > peakBytes_)
        peakBytes_ = liveBytes_;
    return block;
}

XmpInfo TestHost::recordFor(size_t call, const std::string &packet)
{
    XmpInfo record;
    std::memset(&record, 0, sizeof record);
    record.opaque[0] = call + 1;
    std::memcpy(&record.opaque[1], packet.data(), packet.size() < 40 ? packet.size() : 40);
    return record;
}

MemoryStream::MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes))
{
    std::memset(&record_, 0, sizeof record_);
    record_.base.streamRead = read;
    record_.base.streamSeek = seek;
    record_.self = this;
}

uint32_t MemoryStream::read(InputStream *s, void *buffer, uint32_t count)
{
    MemoryStream &m = *reinterpret_cast<Record *>(s)->self;
    ++m.reads_;
    m.log_ += (m.log_.empty() ? "r" : " r") + std::to_string(count);
    uint64_t available = m.position_ < m.bytes_.size() ? m.bytes_.size() - m.position_ : 0;
    uint64_t n = count < available ? count : available;
    if (m.reads_ == m.cutAt_) {
        if (count == 0)
            return UINT32_MAX;
        n = count - 1 < n ? count - 1 : n;
    }
    if (n != 0)
        std::memcpy(buffer, m.bytes_.data() + m.position_, n);
    m.position_ += n;
    return static_cast<uint32_t>(n);
}

int32_t MemoryStream::seek(InputStream *s, uint32_t offset, uint32_t origin)
{
    MemoryStream &m = *reinterpret_cast<Record *>(s)->self;
    m.log_ += (m.log_.empty() ? "s" : " s") + std::to_string(offset);
    if (origin != 0)
        return -1;
    m.position_ = offset;
    return 0;
}

uint64_t fileTimeFromSeconds(int64_t seconds)
{
    return static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
}

int64_t secondsFromFileTime(const uint8_t bytes[8])
{
    uint64_t ft = 0;
    for (int i = 7; i >= 0; --i)
        ft = (ft << 8) | bytes[i];
    return static_cast<int64_t>(ft / 10000000ULL) - 11644473600LL;
}

void setTimeZone(const char *tz)
{
#ifdef _WIN32
    _putenv_s("TZ", tz);
    _tzset();
#else
    setenv("TZ", tz, 1);
    tzset();
#endif
}

} // namespace testhost
