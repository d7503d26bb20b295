#include <cstring>

#include "hostcalls/arena.h"
#include "hostcalls/xmp_reading.h"
#include "hostcalls/host_slots.h"
#include "hostcalls/reference_host.h"

namespace zudorhost {

ReferenceHost::ReferenceHost(XmpMode mode, int64_t maxRequest)
    : mode_(mode), maxRequest_(maxRequest), arena_(std::make_unique<Arena>())
{
    std::memset(&services_, 0, sizeof services_);
    // The reader never reads hostHeap; the heap slots find their host through it.
    services_.hostHeap = this;
    services_.hostAlloc = heapAlloc;
    services_.hostFree = heapFree;
    services_.hostRealloc = heapRealloc;
    services_.hostCalloc = heapCalloc;
    services_.hostResize = heapResize;
    services_.hostConvertTime = convertTime;
    services_.hostParseXmp = parseXmp;
}

ReferenceHost::~ReferenceHost() { endDocument(); }

void ReferenceHost::noteRefusal(int64_t asked, bool outOfMemory)
{
    if (notes_.refused)
        return;
    notes_.refused = true;
    notes_.outOfMemory = outOfMemory;
    notes_.asked = asked;
    notes_.cap = maxRequest_;
}


} // namespace zudorhost
