// The few response fields a ranged read depends on, parsed without trusting them.
#pragma once

#include <cstdint>
#include <string>

namespace zudorhost {

struct ContentRange {
    uint64_t first = 0, last = 0; // inclusive; both 0 for the unsatisfied form
    uint64_t total = 0;
    bool unsatisfied = false;     // "bytes */total", the answer to a range past the end
};
// "bytes first-last/total" or "bytes */total"; false for anything else (an unknown total
// among it: a read cannot be planned without the size).
bool parseContentRange(const std::string &value, ContentRange &range);

// Seconds to wait from a Retry-After value (delay-seconds or an HTTP date), given the time
// now; -1 when the value is neither.
double parseRetryAfter(const std::string &value, int64_t nowUnixSeconds);

// Seconds since 1970 of an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"); false otherwise.
bool parseHttpDate(const std::string &value, int64_t &unixSeconds);

} // namespace zudorhost
