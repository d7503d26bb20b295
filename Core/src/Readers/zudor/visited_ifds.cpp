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

bool hashContains(const VisitedIfds *set, uint32_t offset)
{
    uint32_t i = firstProbe(offset, set->capacity);
    while (set->slots[i] != 0) {
        if (set->slots[i] == offset)
            return true;
        i = (i + 1) & (set->capacity - 1);
    }
    return false;
}

bool orderedContains(const VisitedIfds *set, uint32_t offset)
{
    if (set->used == 0 || offset > set->slots[set->used - 1])
        return false;
    uint32_t low = 0, high = set->used;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (set->slots[middle] < offset)
            low = middle + 1;
        else
            high = middle;
    }
    return set->slots[low] == offset;
}

// Moves the set into capacity slots, in order or hashed. A set small enough for the inline
// slots stays in them, so short chains never ask the host for memory.
bool rebuild(TifContext *ctx, VisitedIfds *set, uint32_t capacity, bool hashed)
{
    uint32_t saved[VisitedIfds::kInlineSlots];
    const uint32_t *from = set->slots;
    uint32_t *slots = set->inlineSlots;
    if (capacity <= VisitedIfds::kInlineSlots) {
        // Only an ordered set in the inline slots comes here, on its way to being hashed.
        std::memcpy(saved, set->slots, set->used * sizeof(uint32_t));
        from = saved;
        capacity = VisitedIfds::kInlineSlots;
    } else {
        const int64_t bytes = tifSaturatedSize(uint64_t(capacity) * sizeof(uint32_t));
        slots = static_cast<uint32_t *>(tifHostCalloc(ctx, bytes, 1));
        if (slots == nullptr)
            return false;
    }
    std::memset(slots, 0, size_t(capacity) * sizeof(uint32_t));
    if (!hashed)
        std::memcpy(slots, from, set->used * sizeof(uint32_t));
    else if (!set->hashed)
        for (uint32_t i = 0; i < set->used; ++i)
            place(slots, capacity, from[i]);
    else
        for (uint32_t i = 0; i < set->capacity; ++i)
            if (from[i] != 0)
                place(slots, capacity, from[i]);
    if (slots != set->inlineSlots)
        tifVisitedRelease(ctx, set);
    set->slots = slots;
    set->capacity = capacity;
    set->hashed = hashed;
    return true;
}

// Smallest table that holds count offsets at most half full.
uint32_t hashCapacityFor(uint32_t count)
{
    uint32_t capacity = VisitedIfds::kInlineSlots;
    while (uint64_t(count) * 2 > capacity)
        capacity *= 2;
    return capacity;
}

} // namespace

void tifVisitedInit(VisitedIfds *set)
{
    std::memset(set->inlineSlots, 0, sizeof set->inlineSlots);
    set->slots = set->inlineSlots;
    set->capacity = VisitedIfds::kInlineSlots;
    set->used = 0;
    set->hashed = false;
}

bool tifVisitedContains(const VisitedIfds *set, uint32_t offset)
{
    return set->hashed ? hashContains(set, offset) : orderedContains(set, offset);
}

bool tifVisitedInsert(TifContext *ctx, VisitedIfds *set, uint32_t offset)
{
    if (!set->hashed && (set->used == 0 || offset > set->slots[set->used - 1])) {
        if (set->used == set->capacity && !rebuild(ctx, set, set->capacity * 2, false))
            return false;
        set->slots[set->used++] = offset;
        return true;
    }
    if (!set->hashed && !rebuild(ctx, set, hashCapacityFor(set->used + 1), true))
        return false;
    // Kept at most half full, so probes stay short and a free slot always exists.
    if ((set->used + 1) * 2 > set->capacity && !rebuild(ctx, set, set->capacity * 2, true))
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
