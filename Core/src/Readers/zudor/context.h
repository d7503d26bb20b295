// The per-document context and the module's internal operations. Private to the module:
// a host sees TifContext only as an opaque pointer.
#pragma once

#include "zudor/reader.h"

struct TifContext {
    uint64_t hostParam1; // stored, never read
    uint64_t hostParam2; // stored, never read
    InputStream *stream;
    HostServices *host;
    uint8_t *outCursor;
    SummaryInfo summary;
    uint32_t hostFlags; // stored, never read
    uint32_t titleSize;
    uint32_t authorSize;
    uint32_t littleEndian;
    uint32_t needPropertyList; // set by tifInitDoc; the next property starts a new list
    uint32_t ifdOffset;        // next IFD to read; 0 once the chain has been walked
    XmpInfo xmpInfo;
};

// Byte-order readers: any non-zero flag means little-endian.
uint16_t tifReadShort(const uint8_t *bytes, uint32_t littleEndian);
uint32_t tifReadLong(const uint8_t *bytes, uint32_t littleEndian);

// Internal steps answer true (1) for success and false (0) for failure.
bool tifWalkIfds(TifContext *ctx);
bool tifStoreTitle(TifContext *ctx, int32_t length, const uint8_t *value);
bool tifStoreAuthor(TifContext *ctx, int32_t length, const uint8_t *value);
bool tifAddProperty(TifContext *ctx, int32_t length, const uint8_t *value, const char *name);
bool tifConvertDateTime(TifContext *ctx, uint16_t type, uint32_t count, const char *value);
void tifFreePropertyList(TifContext *ctx);
void tifReleaseSummaryInfo(TifContext *ctx);

uint32_t tifGetXmpInfo(TifContext *ctx, XmpInfo *out, uint32_t release);
