/* What a host calls: the reader's operations, the table they are handed over in, and the
 * statuses they report. A host that loads the library at run time needs only
 * tifGetReaderInterface; the other operations are reached through the table. */
#ifndef ZUDOR_READER_H
#define ZUDOR_READER_H

#include "zudor/host.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque per-document context, owned by the reader. */
typedef struct TifContext TifContext;

enum {
    TIF_STATUS_OK = 0,          /* the call completed (a failed walk included) */
    TIF_STATUS_ALLOCATED = 1,   /* always written by tifAllocateContext */
    TIF_STATUS_FAILED = 6,      /* null context, or a short header read */
    TIF_STATUS_TEXT_DONE = 100  /* always written by tifFillBuffer */
};

typedef TifContext *(*TifAllocateContextFn)(uint64_t hostParam1, uint64_t hostParam2,
                                            uint32_t *status, HostServices *host,
                                            uint32_t hostFlags);
typedef uint32_t (*TifFreeContextFn)(TifContext *ctx);
typedef uint32_t (*TifInitDocFn)(TifContext *ctx, uint64_t unused1, uint32_t unused2,
                                 InputStream *stream);
typedef uint32_t (*TifFillBufferFn)(TifContext *ctx, uint8_t *out, uint64_t unused1,
                                    uint32_t *status, uint32_t unused2);
/* A non-zero release flag frees what the summary points to instead of walking. */
typedef uint32_t (*TifGetSummaryInfoFn)(TifContext *ctx, SummaryInfo *out, uint32_t release);
/* A non-zero release flag makes the call do nothing. */
typedef uint32_t (*TifGetXmpInfoFn)(TifContext *ctx, XmpInfo *out, uint32_t release);

/* Slot numbers of the host's table of 8-byte operation slots. */
enum {
    TIF_SLOT_ALLOCATE_CONTEXT = 0,
    TIF_SLOT_FREE_CONTEXT = 1,
    TIF_SLOT_INIT_DOC = 2,
    TIF_SLOT_FILL_BUFFER = 3,
    TIF_SLOT_GET_SUMMARY_INFO = 5,
    TIF_SLOT_GET_XMP_INFO = 11,
    TIF_SLOT_COUNT = 12
};

/* The host's table. The reader writes the six named slots and leaves the others as the
 * host set them. */
typedef struct ReaderInterface {
    TifAllocateContextFn allocateContext;
    TifFreeContextFn freeContext;
    TifInitDocFn initDoc;
    TifFillBufferFn fillBuffer;
    void *hostSlot4;
    TifGetSummaryInfoFn getSummaryInfo;
    void *hostSlots6To10[5];
    TifGetXmpInfoFn getXmpInfo;
} ReaderInterface;

typedef void (*TifGetReaderInterfaceFn)(ReaderInterface *table);

ZUDOR_STATIC_ASSERT(sizeof(ReaderInterface) == TIF_SLOT_COUNT * 8, "12 slots of 8 bytes");
ZUDOR_STATIC_ASSERT(offsetof(ReaderInterface, allocateContext) == TIF_SLOT_ALLOCATE_CONTEXT * 8, "slot 0");
ZUDOR_STATIC_ASSERT(offsetof(ReaderInterface, freeContext) == TIF_SLOT_FREE_CONTEXT * 8, "slot 1");
ZUDOR_STATIC_ASSERT(offsetof(ReaderInterface, initDoc) == TIF_SLOT_INIT_DOC * 8, "slot 2");
ZUDOR_STATIC_ASSERT(offsetof(ReaderInterface, fillBuffer) == TIF_SLOT_FILL_BUFFER * 8, "slot 3");
ZUDOR_STATIC_ASSERT(offsetof(ReaderInterface, getSummaryInfo) == TIF_SLOT_GET_SUMMARY_INFO * 8, "slot 5");
ZUDOR_STATIC_ASSERT(offsetof(ReaderInterface, getXmpInfo) == TIF_SLOT_GET_XMP_INFO * 8, "slot 11");

#if defined(ZUDOR_BUILDING_MODULE) && !defined(_WIN32)
#define ZUDOR_EXPORT __attribute__((visibility("default")))
#else
#define ZUDOR_EXPORT
#endif

/* The exports (ordinals 1 to 6). tifGetXmpInfo is reachable only through slot 11. */
ZUDOR_EXPORT void tifGetReaderInterface(ReaderInterface *table);
ZUDOR_EXPORT TifContext *tifAllocateContext(uint64_t hostParam1, uint64_t hostParam2,
                                            uint32_t *status, HostServices *host,
                                            uint32_t hostFlags);
ZUDOR_EXPORT uint32_t tifFillBuffer(TifContext *ctx, uint8_t *out, uint64_t unused1,
                                    uint32_t *status, uint32_t unused2);
ZUDOR_EXPORT uint32_t tifFreeContext(TifContext *ctx);
ZUDOR_EXPORT uint32_t tifGetSummaryInfo(TifContext *ctx, SummaryInfo *out, uint32_t release);
ZUDOR_EXPORT uint32_t tifInitDoc(TifContext *ctx, uint64_t unused1, uint32_t unused2,
                                 InputStream *stream);

#ifdef __cplusplus
}
#endif

#endif
