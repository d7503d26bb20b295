// The reference host's heap for one document at a time. Blocks come from an arena that
// reset() takes back whole when the document ends, so a document costs a few pointer bumps
// instead of a malloc and a free per block; what is large, or beyond the arena's share of one
// document, comes from the C allocator and goes back to it when it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

namespace zudorhost {

// Every block is preceded by this. capacity is what the block can hold; a realloc within it
// keeps the block.
struct alignas(16) BlockHeader {
    uint64_t capacity;
    uint64_t fromMalloc;
};

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kLargestArenaBlock = 16 * 1024;
// Frees inside the arena give nothing back until the document ends; this bounds what a
// document that allocates and frees over and over can pile up before blocks go to malloc.
constexpr size_t kArenaBudget = 4 * 1024 * 1024;
// Chunks kept from one document for the next, so that a run of large documents does not touch
// fresh pages for each one.
constexpr size_t kSpareChunks = 16;

inline BlockHeader *headerOf(void *block) { return static_cast<BlockHeader *>(block) - 1; }

struct Arena {
    struct Chunk {
        Chunk *next;
        size_t size;
    };
    Chunk *chunks = nullptr; // newest first; the first chunk ever made stays for the next document
    Chunk *spare = nullptr;  // chunks kept from earlier documents
    size_t spareCount = 0;
    char *top = nullptr;     // next free byte of the newest chunk
    char *end = nullptr;
    void *last = nullptr;    // the newest arena block, which a free or a realloc may take back
    size_t used = 0;

    ~Arena()
    {
        for (Chunk *list : {chunks, spare})
            while (list != nullptr) {
                Chunk *next = list->next;
                std::free(list);
                list = next;
            }
    }

    void *fromMalloc(size_t capacity)
    {
        auto *header = static_cast<BlockHeader *>(std::malloc(sizeof(BlockHeader) + capacity));
        if (header == nullptr)
            return nullptr;
        header->capacity = capacity;
        header->fromMalloc = 1;
        return header + 1;
    }

    void *allocate(size_t size)
    {
        const size_t bytes = sizeof(BlockHeader) + ((size + 15) & ~size_t(15));
        if (size > kLargestArenaBlock || used + bytes > kArenaBudget)
            return fromMalloc(size);
        if (size_t(end - top) < bytes && !addChunk())
            return fromMalloc(size);
        auto *header = reinterpret_cast<BlockHeader *>(top);
        top += bytes;
        used += bytes;
        header->capacity = bytes - sizeof(BlockHeader);
        header->fromMalloc = 0;
        return last = header + 1;
    }

    bool addChunk()
    {
        Chunk *chunk = spare;
        if (chunk != nullptr) {
            spare = chunk->next;
            --spareCount;
        } else if ((chunk = static_cast<Chunk *>(std::malloc(kChunkBytes))) == nullptr) {
            return false;
        }
        chunk->next = chunks;
        chunk->size = kChunkBytes;
        chunks = chunk;
        top = reinterpret_cast<char *>(chunk) + sizeof(BlockHeader); // keeps blocks 16-aligned
        end = reinterpret_cast<char *>(chunk) + kChunkBytes;
        return true;
    }

    void release(void *block)
    {
        BlockHeader *header = headerOf(block);
        if (header->fromMalloc) {
            std::free(header);
        } else if (block == last) {
            top = reinterpret_cast<char *>(header);
            used -= sizeof(BlockHeader) + header->capacity;
            last = nullptr;
        }
    }

    // The newest block grows in place while its chunk has room.
    bool extend(void *block, size_t size)
    {
        BlockHeader *header = headerOf(block);
        const size_t bytes = (size + 15) & ~size_t(15);
        if (block != last || size > kLargestArenaBlock || used + bytes - header->capacity > kArenaBudget ||
            size_t(end - static_cast<char *>(block)) < bytes)
            return false;
        used += bytes - header->capacity;
        top = static_cast<char *>(block) + bytes;
        header->capacity = bytes;
        return true;
    }

    // Every block of the document at once; the first chunk and a few more stay for the next.
    void reset()
    {
        while (chunks != nullptr && chunks->next != nullptr) {
            Chunk *next = chunks->next;
            if (spareCount < kSpareChunks) {
                chunks->next = spare;
                spare = chunks;
                ++spareCount;
            } else {
                std::free(chunks);
            }
            chunks = next;
        }
        if (chunks != nullptr) {
            top = reinterpret_cast<char *>(chunks) + sizeof(BlockHeader);
            end = reinterpret_cast<char *>(chunks) + chunks->size;
        }
        last = nullptr;
        used = 0;
    }
};

} // namespace zudorhost
