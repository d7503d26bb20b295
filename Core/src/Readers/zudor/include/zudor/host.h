/* What a host supplies: its services (memory, time, XMP) and an input stream, as records of
 * function pointers at fixed offsets. A host fills the slots it is asked for and may use the
 * reserved bytes, and anything past the record, as it likes; the reader never reads them. */
#ifndef ZUDOR_HOST_H
#define ZUDOR_HOST_H

#include "zudor/records.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HostServices HostServices;
typedef struct InputStream InputStream;

/* Allocator slots get the address of HostServices.hostHeap first. Sizes and counts are
 * signed; a negative request must be answered with null. */
typedef void *(*HostAllocFn)(void *heap, int64_t size);
typedef int32_t (*HostFreeFn)(void *heap, void *block);
/* A null block asks for a new one; on success the old contents are kept. */
typedef void *(*HostReallocFn)(void *heap, void *block, int64_t size);
typedef void *(*HostCallocFn)(void *heap, int64_t count, int64_t size);
/* Old contents need not be kept. After a null answer the reader neither uses nor frees the
 * old block, so a host that wants no leak frees it itself. */
typedef void *(*HostResizeFn)(void *heap, void *block, int64_t size);
/* Turns seconds since 1970-01-01 UTC into the host's 8-byte time value; must write all 8. */
typedef int32_t (*HostConvertTimeFn)(int64_t calendarTime, uint8_t *out);
/* Parses one XMP packet (size counts its terminating zero; mode is always 1). Leaves *result
 * null or points it at a 48-byte record that stays the host's. The packet is the reader's and
 * is freed right after the call. */
typedef int32_t (*HostParseXmpFn)(HostServices *host, XmpInfo **result, uint64_t *auxiliary,
                                  const char *packet, uint32_t size, uint32_t mode);

struct HostServices {
    uint8_t hostReserved0[0x128];
    void *hostHeap; /* never read by the reader; its address identifies the heap */
    HostAllocFn hostAlloc;
    HostFreeFn hostFree;
    HostReallocFn hostRealloc;
    HostCallocFn hostCalloc;
    uint8_t hostReserved1[0x180 - 0x150];
    HostResizeFn hostResize;
    uint8_t hostReserved2[0x2448 - 0x188];
    HostConvertTimeFn hostConvertTime;
    uint8_t hostReserved3[0x2748 - 0x2450];
    HostParseXmpFn hostParseXmp;
};

/* Returns the number of bytes read; anything but count is a failure. */
typedef uint32_t (*StreamReadFn)(InputStream *stream, void *buffer, uint32_t count);
/* origin 0 counts from the file's first byte; the result is never examined. */
typedef int32_t (*StreamSeekFn)(InputStream *stream, uint32_t offset, uint32_t origin);

struct InputStream {
    uint8_t streamReserved0[0x40];
    StreamReadFn streamRead;
    uint8_t streamReserved1[0x08];
    StreamSeekFn streamSeek;
};

ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostHeap) == 0x128, "hostHeap at 0x128");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostAlloc) == 0x130, "hostAlloc at 0x130");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostFree) == 0x138, "hostFree at 0x138");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostRealloc) == 0x140, "hostRealloc at 0x140");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostCalloc) == 0x148, "hostCalloc at 0x148");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostResize) == 0x180, "hostResize at 0x180");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostConvertTime) == 0x2448, "hostConvertTime at 0x2448");
ZUDOR_STATIC_ASSERT(offsetof(HostServices, hostParseXmp) == 0x2748, "hostParseXmp at 0x2748");
ZUDOR_STATIC_ASSERT(sizeof(HostServices) == 0x2750, "HostServices ends after hostParseXmp");

ZUDOR_STATIC_ASSERT(offsetof(InputStream, streamRead) == 0x40, "streamRead at 0x40");
ZUDOR_STATIC_ASSERT(offsetof(InputStream, streamSeek) == 0x50, "streamSeek at 0x50");
ZUDOR_STATIC_ASSERT(sizeof(InputStream) == 0x58, "InputStream ends after streamSeek");

#ifdef __cplusplus
}
#endif

#endif
