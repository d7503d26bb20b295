// The date conversion against hostile text: a 20-byte DateTime value, as the walk hands it
// over, must convert exactly when its fields, carried over the way the calendar carries them,
// land between 1970 and the end of 3000 (UTC), and then to exactly that second.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "context.h"
#include "test_host.h"

using namespace testhost;

namespace {

constexpr int64_t kLatest = 32535215999; // 3000-12-31 23:59:59 UTC

int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Days from 1970-01-01 to the first of the month, in the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int64_t month)
{
    year -= month <= 2;
    const int64_t era = floorDiv(year, 400);
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// What the conversion must give: the second, or -1 when the value must be refused.
int64_t expectedSeconds(const char *text)
{
    int f[6] = {};
    if (std::sscanf(text, "%d:%d:%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]) < 6)
        return -1;
    const int64_t monthIndex = static_cast<int64_t>(f[1]) - 1;
    const int64_t year = f[0] + floorDiv(monthIndex, 12);
    if (year - 1900 < INT_MIN || year - 1900 > INT_MAX)
        return -1;
    const int64_t days = daysFromCivil(year, monthIndex - floorDiv(monthIndex, 12) * 12 + 1) + f[2] - 1;
    const int64_t seconds = days * 86400 + int64_t(f[3]) * 3600 + int64_t(f[4]) * 60 + f[5];
    return seconds < 0 || seconds > kLatest ? -1 : seconds;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setTimeZone("UTC0");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char value[21] = {}; // the walk's value buffer: count bytes and a zero
    std::memcpy(value, data, size < 20 ? size : 20);

    TestHost host;
    TifContext ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.host = host.services();
    std::memset(ctx.summary.createTime, 0xEE, sizeof ctx.summary.createTime);
    const bool converted = tifConvertDateTime(&ctx, 2, 20, value);

    const int64_t expected = expectedSeconds(value);
    uint8_t want[8] = {};
    if (expected >= 0) {
        const uint64_t ft = fileTimeFromSeconds(expected);
        for (int i = 0; i < 8; ++i)
            want[i] = static_cast<uint8_t>(ft >> (8 * i));
    }
    const bool ok = converted == (expected >= 0) && host.timesGiven.size() == (expected >= 0 ? 1u : 0u) &&
                    std::memcmp(ctx.summary.createTime, want, 8) == 0;
    if (!ok) {
        std::fprintf(stderr, "\"%s\": converted %d, expected second %lld, %zu times given\n", value, int(converted),
                     static_cast<long long>(expected), host.timesGiven.size());
        std::abort();
    }
    return 0;
}
