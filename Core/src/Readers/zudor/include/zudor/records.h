/* Records the host reads: the summary block, the property list, the XMP record and the
 * text-output record. Their sizes and offsets are the host's, so each one is pinned. */
#ifndef ZUDOR_RECORDS_H
#define ZUDOR_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ZUDOR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define ZUDOR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* One named string property. kind and flag are always 1. */
typedef struct PropertyEntry {
    uint32_t kind;
    uint32_t flag;
    char *value; /* zero-terminated copy of the tag's value */
    char *name;  /* zero-terminated copy of the property name */
} PropertyEntry;

/* The named string properties of one document; entries holds exactly count entries. */
typedef struct PropertyList {
    int32_t count;
    uint32_t alignment; /* always zero */
    PropertyEntry *entries;
} PropertyList;

/* The 240-byte summary block. Only four fields are filled; every other byte stays zero.
 * title, author and properties belong to the reader until the host asks for their release. */
typedef struct SummaryInfo {
    uint8_t reserved00[0x08];
    char *title; /* first DocumentName (269), or null */
    uint8_t reserved10[0x08];
    char *author; /* first Artist (315), or null */
    uint8_t reserved20[0x38];
    uint8_t createTime[8]; /* the host's time value for the first DateTime (306), or zeros */
    uint8_t reserved60[0x88];
    PropertyList *properties; /* null until the first property */
} SummaryInfo;

/* The 48-byte record made by the host's XMP service. Opaque to the reader: it is copied in
 * whole and handed back in whole; the host defines what it holds. */
typedef struct XmpInfo {
    uint64_t opaque[6];
} XmpInfo;

#define TIF_HINT_TEXT "sievecheck -i inputfile outputfile-to getsummary info"
#define TIF_HINT_LENGTH 53

/* The fixed record that tifFillBuffer writes. Packed: its integers sit at offsets 1 and 5. */
#pragma pack(push, 1)
typedef struct TextOutputRecord {
    uint8_t leadByte;      /* 0 */
    uint32_t recordLength; /* 62 */
    uint32_t textLength;   /* 53 */
    char text[TIF_HINT_LENGTH];
} TextOutputRecord;
#pragma pack(pop)

ZUDOR_STATIC_ASSERT(sizeof(PropertyEntry) == 24, "PropertyEntry is 24 bytes");
ZUDOR_STATIC_ASSERT(offsetof(PropertyEntry, kind) == 0, "PropertyEntry.kind at 0");
ZUDOR_STATIC_ASSERT(offsetof(PropertyEntry, flag) == 4, "PropertyEntry.flag at 4");
ZUDOR_STATIC_ASSERT(offsetof(PropertyEntry, value) == 8, "PropertyEntry.value at 8");
ZUDOR_STATIC_ASSERT(offsetof(PropertyEntry, name) == 16, "PropertyEntry.name at 16");

ZUDOR_STATIC_ASSERT(sizeof(PropertyList) == 16, "PropertyList is 16 bytes");
ZUDOR_STATIC_ASSERT(offsetof(PropertyList, count) == 0, "PropertyList.count at 0");
ZUDOR_STATIC_ASSERT(offsetof(PropertyList, entries) == 8, "PropertyList.entries at 8");

ZUDOR_STATIC_ASSERT(sizeof(SummaryInfo) == 240, "SummaryInfo is 240 bytes");
ZUDOR_STATIC_ASSERT(offsetof(SummaryInfo, title) == 0x08, "SummaryInfo.title at 0x08");
ZUDOR_STATIC_ASSERT(offsetof(SummaryInfo, author) == 0x18, "SummaryInfo.author at 0x18");
ZUDOR_STATIC_ASSERT(offsetof(SummaryInfo, createTime) == 0x58, "SummaryInfo.createTime at 0x58");
ZUDOR_STATIC_ASSERT(offsetof(SummaryInfo, properties) == 0xE8, "SummaryInfo.properties at 0xE8");

ZUDOR_STATIC_ASSERT(sizeof(XmpInfo) == 48, "XmpInfo is 48 bytes");

ZUDOR_STATIC_ASSERT(sizeof(TextOutputRecord) == 62, "TextOutputRecord is 62 bytes");
ZUDOR_STATIC_ASSERT(offsetof(TextOutputRecord, recordLength) == 1, "recordLength at 1");
ZUDOR_STATIC_ASSERT(offsetof(TextOutputRecord, textLength) == 5, "textLength at 5");
ZUDOR_STATIC_ASSERT(offsetof(TextOutputRecord, text) == 9, "hint text at 9");

#ifdef __cplusplus
}
#endif

#endif
