#include <cstring>

#include "host_calls.h"

namespace {

// A block of length + 1 bytes, zeroed, holding the first length bytes of source.
char *copyBytes(TifContext *ctx, const void *source, uint32_t length)
{
    char *copy = static_cast<char *>(
        tifHostCalloc(ctx, tifSaturatedSize(static_cast<uint64_t>(length) + 1), 1));
    if (copy == nullptr)
        return nullptr;
    std::memset(copy, 0, static_cast<size_t>(length) + 1);
    std::memcpy(copy, source, length);
    return copy;
}

// The first value stored wins; later ones are dropped with success.
bool storeFirst(TifContext *ctx, char *&slot, uint32_t &size, int32_t length, const uint8_t *value)
{
    if (slot != nullptr)
        return true;
    slot = copyBytes(ctx, value, static_cast<uint32_t>(length));
    if (slot == nullptr)
        return false;
    size = static_cast<uint32_t>(length) + 1;
    return true;
}

// A list is made on the first property after tifInitDoc, and also when a release has taken
// the list away, so an append never writes through a missing list.
bool ensurePropertyList(TifContext *ctx)
{
    if (ctx->needPropertyList == 0 && ctx->summary.properties != nullptr)
        return true;
    // A second tifInitDoc without a release leaves the old list here; free it, not leak it.
    tifFreePropertyList(ctx);
    auto *list = static_cast<PropertyList *>(tifHostCalloc(ctx, 1, sizeof(PropertyList)));
    ctx->summary.properties = list;
    if (list == nullptr)
        return false;
    std::memset(list, 0, sizeof *list);
    ctx->needPropertyList = 0;
    return true;
}

} // namespace

bool tifStoreTitle(TifContext *ctx, int32_t length, const uint8_t *value)
{
    return storeFirst(ctx, ctx->summary.title, ctx->titleSize, length, value);
}

bool tifStoreAuthor(TifContext *ctx, int32_t length, const uint8_t *value)
{
    return storeFirst(ctx, ctx->summary.author, ctx->authorSize, length, value);
}

bool tifAddProperty(TifContext *ctx, int32_t length, const uint8_t *value, const char *name)
{
    if (!ensurePropertyList(ctx))
        return false;
    PropertyList *list = ctx->summary.properties;
    const int32_t n = list->count;

    // The array holds exactly count entries, so every append grows it by one. A refused
    // growth keeps the old array: a realloc that fails leaves its block untouched.
    const int64_t grownSize =
        tifSaturatedSize(static_cast<uint64_t>(static_cast<int64_t>(n) + 1) * sizeof(PropertyEntry));
    auto *grown = static_cast<PropertyEntry *>(tifHostRealloc(ctx, list->entries, grownSize));
    if (grown == nullptr)
        return false;
    list->entries = grown;

    // Counted before the copies, with null strings, so a copy that fails leaves an entry
    // that the release can walk safely.
    list->count = n + 1;
    PropertyEntry *entry = &grown[n];
    entry->kind = 1;
    entry->flag = 1;
    entry->value = nullptr;
    entry->name = nullptr;

    // A value that starts with a zero byte is taken from its second byte on.
    const uint8_t *start = value;
    if (value[0] == 0 && length >= 2)
        start = value + 1;
    entry->value = copyBytes(ctx, start, static_cast<uint32_t>(length));
    if (entry->value == nullptr)
        return false;

    entry->name = copyBytes(ctx, name, static_cast<uint32_t>(std::strlen(name)));
    if (entry->name == nullptr)
        return false;
    return true;
}

void tifFreePropertyList(TifContext *ctx)
{
    PropertyList *list = ctx->summary.properties;
    if (list == nullptr)
        return;
    const int32_t count = list->count;
    for (int32_t i = 0; i < count; ++i) {
        tifHostRelease(ctx, list->entries[i].value);
        tifHostRelease(ctx, list->entries[i].name);
    }
    tifHostRelease(ctx, list->entries);
    tifHostRelease(ctx, ctx->summary.properties);
}
