// The offsets of the IFDs that one walk has read, so that a chain looping back to one of them
// ends there instead of being read again. Files lay their IFDs out one after another, so while
// every offset is larger than the one before, the offsets are kept in order in an array and a
// lookup needs its last element alone: a long chain then costs no scattered memory access. The
// first offset out of order turns the set into a hash table (open addressing, linear probing;
// offset 0 never names an IFD and marks a free slot). Short chains stay in the inline slots;
// longer ones move to host blocks that double as they fill, so the cost stays linear.
#pragma once

#include "host_calls.h"

struct VisitedIfds {
    static constexpr uint32_t kInlineSlots = 32;
    uint32_t inlineSlots[kInlineSlots];
    uint32_t *slots;
    uint32_t capacity; // a power of two
    uint32_t used;
    bool hashed; // false while the offsets came in ascending order
};

void tifVisitedInit(VisitedIfds *set);
bool tifVisitedContains(const VisitedIfds *set, uint32_t offset);
// false when the host refused the memory for a larger table; the set is unchanged then.
bool tifVisitedInsert(TifContext *ctx, VisitedIfds *set, uint32_t offset);
void tifVisitedRelease(TifContext *ctx, VisitedIfds *set);
