// Heap slots over the C allocator. A negative request or one above the host's cap is
// refused with null, so a hostile count never makes the host allocate gigabytes.
#include <algorithm>
#include <cstdlib>
#include <malloc.h>

#include "zudor_host/host_slots.h"
#include "zudor_host/reference_host.h"

namespace zudorhost {
namespace {

bool refused(void *heap, int64_t size)
{
    return size < 0 || size > ReferenceHost::fromHeap(heap)->maxRequest();
}

// A request of zero bytes still gets a block of its own, as calloc gives.
size_t blockBytes(int64_t size) { return size == 0 ? 1 : static_cast<size_t>(size); }

} // namespace

void *heapAlloc(void *heap, int64_t size)
{
    return refused(heap, size) ? nullptr : std::malloc(blockBytes(size));
}

int32_t heapFree(void *, void *block)
{
    std::free(block);
    return 0;
}

// The reader grows its property array one entry at a time, and the C library's realloc moves
// a block it cannot extend in place, copying it whole: ten thousand properties would copy the
// array thousands of times. A block that moves gets half as much room again, and a request
// that still fits is answered with the block as it stands.
void *heapRealloc(void *heap, void *block, int64_t size)
{
    if (refused(heap, size))
        return nullptr;
    if (block != nullptr && malloc_usable_size(block) >= size_t(size))
        return block;
    const int64_t cap = ReferenceHost::fromHeap(heap)->maxRequest();
    return std::realloc(block, blockBytes(size + std::min(size / 2, cap - size)));
}

void *heapCalloc(void *heap, int64_t count, int64_t size)
{
    if (count < 0 || size < 0)
        return nullptr;
    if (size != 0 && count > ReferenceHost::fromHeap(heap)->maxRequest() / size)
        return nullptr;
    return heapAlloc(heap, count * size);
}

// The reader neither uses nor frees a block whose resize was refused, so the old block goes
// back here on every path; its contents are not needed, so nothing is copied.
void *heapResize(void *heap, void *block, int64_t size)
{
    std::free(block);
    return heapAlloc(heap, size);
}

} // namespace zudorhost
