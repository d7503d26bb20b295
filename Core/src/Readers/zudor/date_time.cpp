#include <cstring>

#include "host_calls.h"
#include "tiff_rules/walk_rules.h"

bool tifConvertDateTime(TifContext *ctx, uint16_t type, uint32_t count, const char *value)
{
    // Cleared first, so every failure leaves no creation time behind.
    std::memset(ctx->summary.createTime, 0, sizeof ctx->summary.createTime);
    int64_t seconds = 0;
    if (type != tiffrules::kTypeAscii ||
        tiffrules::readDateTime(count, value, &seconds) != tiffrules::DateTimeReading::Converts)
        return false;

    uint8_t hostTime[8] = {};
    ctx->host->hostConvertTime(seconds, hostTime);
    std::memcpy(ctx->summary.createTime, hostTime, sizeof hostTime);
    return true;
}
