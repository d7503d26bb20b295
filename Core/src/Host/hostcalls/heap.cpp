// Heap slots over the document arena. A negative request or one above the host's cap is refused with
// null, so a hostile count never makes the host allocate gigabytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "hostcalls/arena.h"
#include "hostcalls/host_slots.h"
#include "hostcalls/reference_host.h"

namespace zudorhost {
namespace {

bool refused(void *heap, int64_t size)
{
    ReferenceHost *host = ReferenceHost::fromHeap(heap);
    if (size >= 0 && size <= host->maxRequest())
        return false;
    host->noteRefusal(size, false);
    return true;
}

// A block the arena could not find room for: the system is out of memory.
void *noted(void *heap, void *block, int64_t size)
{
    if (block == nullptr)
        ReferenceHost::fromHeap(heap)->noteRefusal(size, true);
    return block;
}

} // namespace

void *heapAlloc(void *heap, int64_t size)
{
    return refused(heap, size) ? nullptr : noted(heap, ReferenceHost::fromHeap(heap)->arena().allocate(size_t(size)), size);
}

int32_t heapFree(void *heap, void *block)
{
    if (block != nullptr)
        ReferenceHost::fromHeap(heap)->arena().release(block);
    return 0;
}

// The reader grows its property array one entry at a time. A block that must move gets half
// as much room again, so ten thousand properties do not copy the array thousands of times.
void *heapRealloc(void *heap, void *block, int64_t size)
{
    if (refused(heap, size))
        return nullptr;
    if (block == nullptr)
        return heapAlloc(heap, size);
    Arena &arena = ReferenceHost::fromHeap(heap)->arena();
    BlockHeader *header = headerOf(block);
    if (header->capacity >= uint64_t(size) || arena.extend(block, size_t(size)))
        return block;
    const int64_t cap = ReferenceHost::fromHeap(heap)->maxRequest();
    const size_t capacity = size_t(size + std::min(size / 2, cap - size));
    if (header->fromMalloc && capacity > kLargestArenaBlock) {
        // The C library may grow a large block where it lies, without a copy.
        auto *grown = static_cast<BlockHeader *>(std::realloc(header, sizeof(BlockHeader) + capacity));
        if (grown == nullptr)
            return noted(heap, nullptr, size);
        grown->capacity = capacity;
        return grown + 1;
    }
    void *moved = arena.allocate(capacity);
    if (moved == nullptr)
        return noted(heap, nullptr, size);
    std::memcpy(moved, block, header->capacity);
    arena.release(block);
    return moved;
}

void *heapCalloc(void *heap, int64_t count, int64_t size)
{
    ReferenceHost *host = ReferenceHost::fromHeap(heap);
    if (count < 0 || size < 0 || (size != 0 && count > host->maxRequest() / size)) {
        host->noteRefusal(count < 0 || size < 0 || (size != 0 && count > INT64_MAX / size) ? -1 : count * size,
                          false);
        return nullptr;
    }
    // The reader fills every block it gets itself, so nothing is zeroed here.
    return heapAlloc(heap, count * size);
}

// The reader neither uses nor frees a block whose resize was refused, so the old block goes
// back here on every path; its contents are not needed, so nothing is copied.
void *heapResize(void *heap, void *block, int64_t size)
{
    heapFree(heap, block);
    return heapAlloc(heap, size);
}

} // namespace zudorhost
