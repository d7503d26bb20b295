// The memory cap of a reader, counted where it is spent: the worker program replaces the C
// library's allocator entry points (which glibc lets a program do) with ones that count the
// bytes live and refuse, noting it for the parent, what would take the process past its cap.
// A reader that cannot go on without the memory then dies, and the parent can tell that the
// cap ended it rather than a fault of its own. Linked into the worker program alone; the
// sanitizers bring allocators of their own, and there the cap is left to the address space.
// Memory a reader maps itself (mmap, brk) meets the limit on its address space (sandbox_linux.cpp)
// instead: the entry points are replaced too, only to note a refusal there as the cap's.
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

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
void *__sbrk(intptr_t);
extern void *__curbrk;
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

// Once a reader has its cap, memory refused is the cap's doing.
void noteRefusal()
{
    if (ceiling.load(std::memory_order_relaxed) != UINT64_MAX)
        if (FaultNotes *n = currentFaultNotes())
            n->memoryRefused.store(1, std::memory_order_relaxed);
}

bool refused(size_t bytes)
{
    if (live.load(std::memory_order_relaxed) + bytes <= ceiling.load(std::memory_order_relaxed))
        return false;
    errno = ENOMEM;
    noteRefusal();
    return true;
}

// The C library's allocator can still fail below the count, where the address space ends first.
void *counted(void *block, size_t asked)
{
    if (block != nullptr)
        live.fetch_add(malloc_usable_size(block), std::memory_order_relaxed);
    else if (asked != 0)
        noteRefusal();
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

void *malloc(size_t size) { return refused(size) ? nullptr : counted(__libc_malloc(size), size); }

void free(void *block)
{
    uncount(block);
    __libc_free(block);
}

void *calloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return __libc_calloc(count, size); // the C library refuses it
    return refused(count * size) ? nullptr : counted(__libc_calloc(count, size), count * size);
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
    return counted(moved, size);
}

void *mmap(void *at, size_t length, int protection, int flags, int fd, off_t offset)
{
    const long got = syscall(SYS_mmap, at, length, protection, flags, fd, offset);
    if (got == -1 && errno == ENOMEM)
        noteRefusal();
    return got == -1 ? MAP_FAILED : reinterpret_cast<void *>(got);
}

void *mmap64(void *at, size_t length, int protection, int flags, int fd, off_t offset)
{
    return mmap(at, length, protection, flags, fd, offset);
}

void *sbrk(intptr_t increment)
{
    void *got = __sbrk(increment);
    if (got == reinterpret_cast<void *>(-1) && errno == ENOMEM)
        noteRefusal();
    return got;
}

int brk(void *end)
{
    const long got = syscall(SYS_brk, end);
    __curbrk = reinterpret_cast<void *>(got);
    if (uintptr_t(got) < reinterpret_cast<uintptr_t>(end)) {
        errno = ENOMEM;
        noteRefusal();
        return -1;
    }
    return 0;
}

} // extern "C"

#endif
