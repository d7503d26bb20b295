#include <cstdint>

#include "hostcalls/host_slots.h"

namespace zudorhost {
namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;

} // namespace

int32_t convertTime(int64_t calendarTime, uint8_t *out)
{
    constexpr int64_t kLatest = INT64_MAX / kTicksPerSecond - kSecondsFrom1601To1970;
    uint64_t ticks = 0;
    if (calendarTime > kLatest)
        ticks = uint64_t(INT64_MAX);
    else if (calendarTime > -kSecondsFrom1601To1970)
        ticks = uint64_t((calendarTime + kSecondsFrom1601To1970) * kTicksPerSecond);
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(ticks >> (8 * i));
    return 0;
}

uint64_t filetimeFromBytes(const uint8_t bytes[8])
{
    uint64_t ticks = 0;
    for (int i = 7; i >= 0; --i)
        ticks = ticks << 8 | bytes[i];
    return ticks;
}

} // namespace zudorhost
