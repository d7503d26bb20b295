#include <cstring>

#include "host_calls.h"

#ifdef _WIN32
#include <windows.h>

// Load-time code: turn off thread notifications, answer every notification with success.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(module);
    return TRUE;
}
#endif

extern "C" void tifGetReaderInterface(ReaderInterface *table)
{
    if (table == nullptr)
        return;
    table->allocateContext = tifAllocateContext;
    table->freeContext = tifFreeContext;
    table->initDoc = tifInitDoc;
    table->fillBuffer = tifFillBuffer;
    table->getSummaryInfo = tifGetSummaryInfo;
    table->getXmpInfo = tifGetXmpInfo;
}

extern "C" TifContext *tifAllocateContext(uint64_t hostParam1, uint64_t hostParam2,
                                          uint32_t *status, HostServices *host,
                                          uint32_t hostFlags)
{
    TifContext *ctx = nullptr;
    if (host != nullptr)
        ctx = static_cast<TifContext *>(host->hostAlloc(&host->hostHeap, sizeof(TifContext)));
    if (ctx != nullptr) {
        std::memset(ctx, 0, sizeof *ctx);
        ctx->hostParam1 = hostParam1;
        ctx->hostParam2 = hostParam2;
        ctx->host = host;
        ctx->hostFlags = hostFlags;
    }
    if (status != nullptr)
        *status = TIF_STATUS_ALLOCATED;
    return ctx;
}

// Returns the context block alone; what the summary points to goes back only on release.
extern "C" uint32_t tifFreeContext(TifContext *ctx)
{
    if (ctx != nullptr)
        tifHostFree(ctx, ctx);
    return TIF_STATUS_OK;
}
