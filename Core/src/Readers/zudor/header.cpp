#include "host_calls.h"
#include "tiff_rules/walk_rules.h"

extern "C" uint32_t tifInitDoc(TifContext *ctx, uint64_t, uint32_t, InputStream *stream)
{
    if (ctx == nullptr || stream == nullptr)
        return TIF_STATUS_FAILED;
    ctx->stream = stream;
    ctx->needPropertyList = 1;

    // No seek: the host hands the stream over standing at the document's first byte.
    uint8_t header[9] = {};
    if (!tifStreamReadAll(ctx, header, 8))
        return TIF_STATUS_FAILED;

    ctx->littleEndian = tiffrules::headerIsLittleEndian(header) ? 1 : 0;
    ctx->ifdOffset = tifReadLong(header + tiffrules::kFirstIfdOffsetAt, ctx->littleEndian);
    return TIF_STATUS_OK;
}
