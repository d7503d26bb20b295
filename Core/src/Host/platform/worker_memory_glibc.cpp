// The memory cap of a reader, counted where it is spent: the worker program replaces the C
// library's allocator entry points (which glibc lets a program do) with ones that count the
// bytes live and refuse, noting it for the parent, what would take the process past its cap.
// A reader that cannot go on without the memory then dies, and the parent can tell that the
// cap ended it rather than a fault of its own. Linked into the worker program alone; the
// sanitizers bring allocators of their own, and there the cap is left to the address space.
#include "platform/worker_process.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/sanitizers.h"

#ifdef ZUDOR_SANITIZED

namespace zudorhost::worker {
void capAllocations(uint64_t) {}
} // namespace zudorhost::worker

#else

extern "C" {
void *__libc_malloc(size_t);
void __libc_free(void *);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
size_t malloc_usable_size(void *);
}

namespace zudorhost::worker {
namespace {

std::atomic<uint64_t> live{0};
std::atomic<uint64_t> ceiling{UINT64_MAX};

bool refused(size_t bytes)
{
    if (live.load(std::memory_order_relaxed) + bytes <= ceiling.load(std::memory_order_relaxed))
        return false;
    errno = ENOMEM;
    if (FaultNotes *n = currentFaultNotes())
        n->memoryRefused.store(1, std::memory_order_relaxed);
    return true;
}

void *counted(void *block)
{
    if (block != nullptr)
        live.fetch_add(malloc_usable_size(block), std::memory_order_relaxed);
    return block;
}

void uncount(void *block)
{
    if (block != nullptr)
        live.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
}

} // namespace

void capAllocations(uint64_t cap)
{
    if (cap != 0)
        ceiling.store(live.load() + cap);
}

} // namespace zudorhost::worker

using namespace zudorhost::worker;

extern "C" {

void *malloc(size_t size) { return refused(size) ? nullptr : counted(__libc_malloc(size)); }

void free(void *block)
{
    uncount(block);
    __libc_free(block);
}

void *calloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return __libc_calloc(count, size); // the C library refuses it
    return refused(count * size) ? nullptr : counted(__libc_calloc(count, size));
}

void *realloc(void *block, size_t size)
{
    const size_t before = block != nullptr ? malloc_usable_size(block) : 0;
    if (size > before && refused(size - before))
        return nullptr;
    void *moved = __libc_realloc(block, size);
    if (moved == nullptr && size != 0)
        return nullptr;
    live.fetch_sub(before, std::memory_order_relaxed);
    return counted(moved);
}

} // extern "C"

#endif
