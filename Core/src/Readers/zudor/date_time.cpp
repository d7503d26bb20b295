#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host_calls.h"

namespace {

// The platform's 64-bit mktime covers 1970-01-01 00:00:00 UTC to 3000-12-31 23:59:59 UTC.
constexpr int64_t kLatestCalendarTime = 32535215999;

} // namespace

#ifdef _WIN32
// The C runtime's own sscanf. The compiler's C99 replacement, which C++ gets by default, would
// drag the compiler's startup code into the DLL (see the DLL's link options).
#define tifScanDateTime __ms_sscanf
#else
#define tifScanDateTime std::sscanf
#endif

int64_t tifMktime64(struct tm *calendar)
{
#ifdef _WIN32
    return _mktime64(calendar);
#else
    static_assert(sizeof(time_t) == 8, "a 64-bit time_t is needed");
    const int64_t seconds = mktime(calendar);
    // Other platforms reach further; keep to the range the reader was built against.
    if (seconds < 0 || seconds > kLatestCalendarTime)
        return -1;
    return seconds;
#endif
}

bool tifConvertDateTime(TifContext *ctx, uint16_t type, uint32_t count, const char *value)
{
    // Cleared first, so every failure leaves no creation time behind.
    std::memset(ctx->summary.createTime, 0, sizeof ctx->summary.createTime);
    if (type != 2 || count != 20)
        return false;

    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (tifScanDateTime(value, "%d:%d:%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) < 6)
        return false;

    // Months carry into years here, in 64 bits, as mktime would carry them itself: the plain
    // year - 1900 and month - 1 could overflow an int for hostile numbers.
    const int64_t monthIndex = static_cast<int64_t>(month) - 1;
    const int64_t carriedYears = monthIndex >= 0 ? monthIndex / 12 : -((11 - monthIndex) / 12);
    const int64_t yearsSince1900 = static_cast<int64_t>(year) - 1900 + carriedYears;
    if (yearsSince1900 < INT_MIN || yearsSince1900 > INT_MAX)
        return false;

    struct tm calendar;
    std::memset(&calendar, 0, sizeof calendar);
    calendar.tm_year = static_cast<int>(yearsSince1900);
    calendar.tm_mon = static_cast<int>(monthIndex - carriedYears * 12);
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    calendar.tm_isdst = -1;
    const int64_t seconds = tifMktime64(&calendar);
    if (seconds == -1)
        return false;

    uint8_t hostTime[8] = {};
    ctx->host->hostConvertTime(seconds, hostTime);
    std::memcpy(ctx->summary.createTime, hostTime, sizeof hostTime);
    return true;
}
