// The C functions that fill the reference host's service slots.
#pragma once

#include "zudor/host.h"

namespace zudorhost {

void *heapAlloc(void *heap, int64_t size);
int32_t heapFree(void *heap, void *block);
void *heapRealloc(void *heap, void *block, int64_t size);
void *heapCalloc(void *heap, int64_t count, int64_t size);
void *heapResize(void *heap, void *block, int64_t size);

// Seconds since 1970-01-01 UTC to a Windows FILETIME (100 ns since 1601-01-01 UTC), as 8
// little-endian bytes; out-of-range times saturate.
int32_t convertTime(int64_t calendarTime, uint8_t *out);
uint64_t filetimeFromBytes(const uint8_t bytes[8]);

int32_t parseXmp(HostServices *host, XmpInfo **result, uint64_t *auxiliary, const char *packet,
                 uint32_t size, uint32_t mode);

} // namespace zudorhost
