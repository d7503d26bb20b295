#include <cstring>

#include "host_calls.h"
#include "tiff_rules/walk_rules.h"
#include "visited_ifds.h"

namespace {

using tiffrules::kEntrySize;
using tiffrules::TagRole;
using tiffrules::TagRule;

struct IfdEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t valueOffset;
    const uint8_t *inlineValue; // the entry's own 4 value bytes, in file order
};

// What one walk holds; nothing of it outlives the call.
struct Walk {
    TifContext *ctx;
    uint32_t littleEndian;
    // A value's handler failed (a refused allocation, a rejected date): no later entry is
    // examined, though the chain is still followed, and the walk fails.
    bool handlerFailed;
    uint8_t *entries;
    uint16_t entryCapacity;
    uint8_t *value;
    uint32_t valueCapacity;
    uint8_t *packet;
    tiffrules::RoleClaims claims;
    XmpInfo *xmpResult;
    uint64_t xmpAuxiliary;
    VisitedIfds visited;
};

bool readEntryCount(Walk &walk, uint32_t ifdOffset, uint16_t *count)
{
    uint8_t scratch[4] = {};
    tifStreamSeek(walk.ctx, ifdOffset);
    if (!tifStreamReadAll(walk.ctx, scratch, 2))
        return false;
    *count = tifReadShort(scratch, walk.littleEndian);
    return true;
}

// One buffer serves every IFD of the walk; it grows to the largest IFD and never shrinks.
bool reserveEntries(Walk &walk, uint16_t count)
{
    if (walk.entries == nullptr) {
        walk.entries = static_cast<uint8_t *>(tifHostCalloc(walk.ctx, count, kEntrySize));
    } else if (count > walk.entryCapacity) {
        // After a refusal the old block is the host's business, never ours.
        walk.entries = static_cast<uint8_t *>(
            tifHostResize(walk.ctx, walk.entries, tifSaturatedSize(count * kEntrySize)));
    } else {
        return true;
    }
    if (walk.entries == nullptr)
        return false;
    walk.entryCapacity = count;
    return true;
}

bool readNextIfdOffset(Walk &walk, uint32_t ifdOffset, uint16_t count, uint32_t *next)
{
    uint8_t scratch[4] = {};
    tifStreamSeek(walk.ctx, tiffrules::linkOffset(ifdOffset, count));
    if (!tifStreamReadAll(walk.ctx, scratch, 4))
        return false;
    *next = tifReadLong(scratch, walk.littleEndian);
    return true;
}

// Fills the first count bytes of buffer with the entry's value: from the entry itself when
// it fits in 4 bytes, otherwise with one seek and one read.
bool fetchValue(Walk &walk, const IfdEntry &entry, uint8_t *buffer, bool seekFirst)
{
    if (tiffrules::valueIsInline(entry.count)) {
        std::memcpy(buffer, entry.inlineValue, entry.count);
        return true;
    }
    if (seekFirst)
        tifStreamSeek(walk.ctx, entry.valueOffset);
    return tifStreamReadAll(walk.ctx, buffer, entry.count);
}

// Hands the packet to the host's XMP service. A packet the service turns down is released
// like any other and the walk goes on: stopping there would lose the rest of the file and
// make the next retrieval append the same properties twice.
bool handleXmpPacket(Walk &walk, const IfdEntry &entry)
{
    TifContext *ctx = walk.ctx;
    walk.packet = static_cast<uint8_t *>(
        tifHostCalloc(ctx, tifSaturatedSize(static_cast<uint64_t>(entry.count) + 1), 1));
    if (walk.packet == nullptr)
        return false;
    std::memset(walk.packet, 0, static_cast<size_t>(entry.count) + 1);
    if (!fetchValue(walk, entry, walk.packet, true))
        return false;

    HostServices *host = ctx->host;
    host->hostParseXmp(host, &walk.xmpResult, &walk.xmpAuxiliary,
                       reinterpret_cast<const char *>(walk.packet), entry.count + 1, 1);
    if (walk.xmpResult != nullptr)
        std::memcpy(&ctx->xmpInfo, walk.xmpResult, sizeof ctx->xmpInfo);
    tifHostRelease(ctx, walk.packet);
    return true;
}

// One buffer serves every ASCII value of the walk; it grows to the longest and never shrinks.
bool reserveValue(Walk &walk, uint32_t count)
{
    const int64_t size = tifSaturatedSize(static_cast<uint64_t>(count) + 1);
    if (walk.value == nullptr)
        walk.value = static_cast<uint8_t *>(tifHostCalloc(walk.ctx, size, 1));
    else if (count > walk.valueCapacity)
        walk.value = static_cast<uint8_t *>(tifHostResize(walk.ctx, walk.value, size));
    else
        return true;
    if (walk.value == nullptr)
        return false;
    walk.valueCapacity = count;
    return true;
}

// Whether the value's handler succeeded; a tag no handler takes needs none.
bool dispatchValue(Walk &walk, const IfdEntry &entry)
{
    const TagRule *rule = tiffrules::findTagRule(entry.tag);
    if (rule == nullptr)
        return true;
    TifContext *ctx = walk.ctx;
    const auto length = static_cast<int32_t>(entry.count);
    switch (tiffrules::claimRole(walk.claims, *rule)) {
    case TagRole::Title:
        return tifStoreTitle(ctx, length, walk.value);
    case TagRole::Author:
        return tifStoreAuthor(ctx, length, walk.value);
    case TagRole::DateTime:
        return tifConvertDateTime(ctx, entry.type, entry.count, reinterpret_cast<const char *>(walk.value));
    case TagRole::Property:
        break;
    }
    return tifAddProperty(ctx, length, walk.value, rule->propertyName);
}

// Every ASCII value is read, also of tags that no handler takes.
bool handleAsciiValue(Walk &walk, const IfdEntry &entry)
{
    if (!tiffrules::valueIsInline(entry.count))
        tifStreamSeek(walk.ctx, entry.valueOffset);
    if (!reserveValue(walk, entry.count))
        return false;
    // Only the bytes this value and its terminator occupy: zeroing the whole capacity would
    // make one huge value followed by many small ones cost capacity times entries.
    std::memset(walk.value, 0, static_cast<size_t>(entry.count) + 1);
    if (!fetchValue(walk, entry, walk.value, false))
        return false;
    walk.handlerFailed = !dispatchValue(walk, entry);
    return true;
}

// false when the walk must end at once (a short read or a refused allocation).
bool handleEntry(Walk &walk, const uint8_t *raw)
{
    IfdEntry entry;
    entry.tag = tifReadShort(raw, walk.littleEndian);
    entry.type = tifReadShort(raw + 2, walk.littleEndian);
    entry.count = tifReadLong(raw + 4, walk.littleEndian);
    entry.valueOffset = tifReadLong(raw + 8, walk.littleEndian);
    entry.inlineValue = raw + 8;

    if (entry.tag == tiffrules::kTagXmp && !handleXmpPacket(walk, entry))
        return false;
    if (entry.type == tiffrules::kTypeAscii)
        return handleAsciiValue(walk, entry);
    return true;
}

// Reads the IFD at ifdOffset and moves ifdOffset on; false when the walk must end at once.
bool walkOneIfd(Walk &walk)
{
    TifContext *ctx = walk.ctx;
    const uint32_t ifdOffset = ctx->ifdOffset;
    if (!tifVisitedInsert(ctx, &walk.visited, ifdOffset))
        return false;

    uint16_t count = 0;
    if (!readEntryCount(walk, ifdOffset, &count) || !reserveEntries(walk, count))
        return false;
    if (!tifStreamReadAll(ctx, walk.entries, kEntrySize * count))
        return false;

    // After a handler has failed no entry is examined, but the chain is still followed.
    for (uint32_t i = 0; i < count && !walk.handlerFailed; ++i)
        if (!handleEntry(walk, walk.entries + kEntrySize * i))
            return false;

    uint32_t next = 0;
    if (!readNextIfdOffset(walk, ifdOffset, count, &next))
        return false;
    // A chain that leads back to an IFD this walk has read ends there.
    ctx->ifdOffset = tiffrules::nextIfdToRead(next, tifVisitedContains(&walk.visited, next));
    return true;
}

} // namespace

bool tifWalkIfds(TifContext *ctx)
{
    Walk walk;
    std::memset(&walk, 0, sizeof walk);
    walk.ctx = ctx;
    walk.littleEndian = ctx->littleEndian;
    tifVisitedInit(&walk.visited);

    bool completed = true;
    while (completed && ctx->ifdOffset != 0)
        completed = walkOneIfd(walk);

    tifHostRelease(ctx, walk.value);
    tifHostRelease(ctx, walk.entries);
    tifHostRelease(ctx, walk.packet);
    tifVisitedRelease(ctx, &walk.visited);
    return completed && !walk.handlerFailed;
}
