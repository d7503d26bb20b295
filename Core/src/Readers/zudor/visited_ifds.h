// The offsets of the IFDs that one walk has read, so that a chain looping back to one of them
// ends there instead of being read again. Open addressing with linear probing; offset 0 never
// names an IFD, so it marks a free slot. Short chains stay in the inline slots; a longer one
// moves to a host block that doubles as it fills, so the cost stays linear in the chain.
#pragma once

#include "host_calls.h"

struct VisitedIfds {
    static constexpr uint32_t kInlineSlots = 32;
    uint32_t inlineSlots[kInlineSlots];
    uint32_t *slots;
    uint32_t capacity; // a power of two
    uint32_t used;
};

void tifVisitedInit(VisitedIfds *set);
bool tifVisitedContains(const VisitedIfds *set, uint32_t offset);
// false when the host refused the memory for a larger table; the set is unchanged then.
bool tifVisitedInsert(TifContext *ctx, VisitedIfds *set, uint32_t offset);
void tifVisitedRelease(TifContext *ctx, VisitedIfds *set);
