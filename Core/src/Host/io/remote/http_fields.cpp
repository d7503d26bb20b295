#include "io/remote/http_fields.h"

#include <cstring>

namespace zudorhost {
namespace {

// Digits at text[at...] as a number; false when there are none or it overflows 2^63.
bool number(const std::string &text, size_t &at, uint64_t &value)
{
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (value > (uint64_t(1) << 59))
            return false;
        value = value * 10 + uint64_t(text[at++] - '0');
    }
    return at > start;
}

bool expect(const std::string &text, size_t &at, char c)
{
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = unsigned(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + int64_t(dayOfEra) - 719468;
}

} // namespace

bool parseContentRange(const std::string &value, ContentRange &range)
{
    range = ContentRange{};
    if (value.compare(0, 6, "bytes ") != 0)
        return false;
    size_t at = 6;
    if (expect(value, at, '*')) {
        range.unsatisfied = true;
    } else if (!number(value, at, range.first) || !expect(value, at, '-') || !number(value, at, range.last) ||
               range.last < range.first) {
        return false;
    }
    if (!expect(value, at, '/') || !number(value, at, range.total))
        return false;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\r' || value[at] == '\n'))
        ++at;
    return at == value.size() && (range.unsatisfied || range.last < range.total);
}

bool parseHttpDate(const std::string &value, int64_t &unixSeconds)
{
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    if (value.size() < 29 || value[3] != ',' || value.compare(26, 3, "GMT") != 0)
        return false;
    size_t at = 5;
    uint64_t day, year, hour, minute, second;
    if (!number(value, at, day) || !expect(value, at, ' '))
        return false;
    const char *month = value.size() >= at + 3 ? std::strstr(kMonths, value.substr(at, 3).c_str()) : nullptr;
    if (month == nullptr || (month - kMonths) % 3 != 0)
        return false;
    at += 3;
    if (!expect(value, at, ' ') || !number(value, at, year) || !expect(value, at, ' ') ||
        !number(value, at, hour) || !expect(value, at, ':') || !number(value, at, minute) ||
        !expect(value, at, ':') || !number(value, at, second) || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    unixSeconds = daysFromCivil(int64_t(year), unsigned((month - kMonths) / 3 + 1), unsigned(day)) * 86400 +
                  int64_t(hour * 3600 + minute * 60 + second);
    return true;
}

double parseRetryAfter(const std::string &value, int64_t nowUnixSeconds)
{
    size_t at = 0;
    uint64_t seconds = 0;
    if (number(value, at, seconds) && at == value.size())
        return double(seconds);
    int64_t when = 0;
    if (parseHttpDate(value, when))
        return when > nowUnixSeconds ? double(when - nowUnixSeconds) : 0.0;
    return -1;
}

} // namespace zudorhost
