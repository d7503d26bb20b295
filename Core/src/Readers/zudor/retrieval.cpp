#include <cstring>

#include "host_calls.h"

void tifReleaseSummaryInfo(TifContext *ctx)
{
    tifHostRelease(ctx, ctx->summary.title);
    tifHostRelease(ctx, ctx->summary.author);
    tifFreePropertyList(ctx);
}

// The status never shows a failed walk: the host sees it in that its buffer was not written.
extern "C" uint32_t tifGetSummaryInfo(TifContext *ctx, SummaryInfo *out, uint32_t release)
{
    if (ctx == nullptr)
        return TIF_STATUS_FAILED;
    if (release != 0) {
        tifReleaseSummaryInfo(ctx);
        return TIF_STATUS_OK;
    }
    if (tifWalkIfds(ctx))
        std::memcpy(out, &ctx->summary, sizeof ctx->summary);
    return TIF_STATUS_OK;
}

// The record changes owner: once copied out, the context's copy is zeroed.
uint32_t tifGetXmpInfo(TifContext *ctx, XmpInfo *out, uint32_t release)
{
    if (ctx == nullptr)
        return TIF_STATUS_FAILED;
    if (release != 0)
        return TIF_STATUS_OK;
    if (tifWalkIfds(ctx)) {
        std::memcpy(out, &ctx->xmpInfo, sizeof ctx->xmpInfo);
        std::memset(&ctx->xmpInfo, 0, sizeof ctx->xmpInfo);
    }
    return TIF_STATUS_OK;
}
