// Every call into the host's records goes through here, so the heap address and the size
// arithmetic live in one place.
#pragma once

#include "context.h"

// Allocation sizes are signed 32-bit values that saturate instead of wrapping: anything
// above INT32_MAX reaches the host as -2^31, which a host always refuses.
inline int64_t tifSaturatedSize(uint64_t bytes)
{
    return bytes > 0x7FFFFFFFu ? static_cast<int64_t>(INT32_MIN) : static_cast<int64_t>(bytes);
}

inline void *tifHostCalloc(TifContext *ctx, int64_t count, int64_t size)
{
    HostServices *host = ctx->host;
    return host->hostCalloc(&host->hostHeap, count, size);
}

inline void *tifHostRealloc(TifContext *ctx, void *block, int64_t size)
{
    HostServices *host = ctx->host;
    return host->hostRealloc(&host->hostHeap, block, size);
}

inline void *tifHostResize(TifContext *ctx, void *block, int64_t size)
{
    HostServices *host = ctx->host;
    return host->hostResize(&host->hostHeap, block, size);
}

inline void tifHostFree(TifContext *ctx, void *block)
{
    HostServices *host = ctx->host;
    host->hostFree(&host->hostHeap, block);
}

// Frees a block the context holds, if any, and forgets it.
template <typename T>
inline void tifHostRelease(TifContext *ctx, T *&block)
{
    if (block != nullptr) {
        tifHostFree(ctx, block);
        block = nullptr;
    }
}

// All 32 bits of the count are compared, so a read of 64 KiB or more is never mistaken for
// a short one, nor a short one for a full one.
inline bool tifStreamReadAll(TifContext *ctx, void *buffer, uint32_t length)
{
    InputStream *stream = ctx->stream;
    return stream->streamRead(stream, buffer, length) == length;
}

inline void tifStreamSeek(TifContext *ctx, uint32_t offset)
{
    InputStream *stream = ctx->stream;
    stream->streamSeek(stream, offset, 0);
}
