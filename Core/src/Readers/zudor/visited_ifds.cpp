#include "visited_ifds.h"

#include <cstring>

namespace {

uint32_t firstProbe(uint32_t offset, uint32_t capacity)
{
    return (offset * 0x9E3779B1u) & (capacity - 1);
}

// Only offsets not yet in the table are placed, so the first free slot is the place.
void place(uint32_t *slots, uint32_t capacity, uint32_t offset)
{
    uint32_t i = firstProbe(offset, capacity);
    while (slots[i] != 0)
        i = (i + 1) & (capacity - 1);
    slots[i] = offset;
}

bool grow(TifContext *ctx, VisitedIfds *set)
{
    const uint32_t capacity = set->capacity * 2;
    const int64_t bytes = tifSaturatedSize(static_cast<uint64_t>(capacity) * sizeof(uint32_t));
    auto *slots = static_cast<uint32_t *>(tifHostCalloc(ctx, bytes, 1));
    if (slots == nullptr)
        return false;
    std::memset(slots, 0, static_cast<size_t>(capacity) * sizeof(uint32_t));
    for (uint32_t i = 0; i < set->capacity; ++i)
        if (set->slots[i] != 0)
            place(slots, capacity, set->slots[i]);
    tifVisitedRelease(ctx, set);
    set->slots = slots;
    set->capacity = capacity;
    return true;
}

} // namespace

void tifVisitedInit(VisitedIfds *set)
{
    std::memset(set->inlineSlots, 0, sizeof set->inlineSlots);
    set->slots = set->inlineSlots;
    set->capacity = VisitedIfds::kInlineSlots;
    set->used = 0;
}

bool tifVisitedContains(const VisitedIfds *set, uint32_t offset)
{
    uint32_t i = firstProbe(offset, set->capacity);
    while (set->slots[i] != 0) {
        if (set->slots[i] == offset)
            return true;
        i = (i + 1) & (set->capacity - 1);
    }
    return false;
}

bool tifVisitedInsert(TifContext *ctx, VisitedIfds *set, uint32_t offset)
{
    // Kept at most half full, so probes stay short and a free slot always exists.
    if ((set->used + 1) * 2 > set->capacity && !grow(ctx, set))
        return false;
    place(set->slots, set->capacity, offset);
    ++set->used;
    return true;
}

void tifVisitedRelease(TifContext *ctx, VisitedIfds *set)
{
    if (set->slots != set->inlineSlots)
        tifHostFree(ctx, set->slots);
    set->slots = set->inlineSlots;
}
