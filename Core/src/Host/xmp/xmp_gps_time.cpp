// Cameras that write exif:GPSTimeStamp as a time of day alone: the toolkit gives it the date
// of exif:DateTimeOriginal (or exif:DateTimeDigitized) and writes it back in its own format.
// Its reading of dates is lenient in its own ways (a month above 12 is December, a day above
// 31 the 31st, then carried into the next month), and those are kept.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

struct DateTime {
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, nanosecond = 0;
    int sign = 0; // of the zone: 1 east of UTC, -1 west, 0 UTC
    int32_t zoneHour = 0, zoneMinute = 0;
    bool hasTime = false, hasZone = false;
};

class DateReader {
public:
    explicit DateReader(std::string_view text) : text_(text) {}

    // False where the toolkit's reading throws.
    bool read(DateTime &out)
    {
        if (text_.empty())
            return false;
        const bool timeOnly = at(0) == 'T' || at(1) == ':' || at(2) == ':';
        int32_t value = 0;
        if (!timeOnly) {
            if (at(0) == '-')
                pos_ = 1;
            if (!number(value) || (at(pos_) != 0 && at(pos_) != '-'))
                return false;
            out.year = at(0) == '-' ? -value : value;
            if (at(pos_) == 0)
                return true;
            ++pos_;
            if (!number(value) || (at(pos_) != 0 && at(pos_) != '-'))
                return false;
            if (out.year != 0 && value < 1)
                value = 1;
            out.month = value > 12 ? 12 : value;
            if (at(pos_) == 0)
                return true;
            ++pos_;
            if (!number(value) || (at(pos_) != 0 && at(pos_) != 'T'))
                return false;
            out.day = value > 31 ? 31 : value;
            if (at(pos_) == 0)
                return true;
            if (out.year != 0 || out.month != 0 || out.day != 0) {
                if (out.month < 1)
                    out.month = 1;
                if (out.day < 1)
                    out.day = 1;
            }
        }
        if (at(pos_) == 'T')
            ++pos_;
        else if (!timeOnly)
            return false;
        out.hasTime = true;
        if (!number(value) || at(pos_) != ':')
            return false;
        out.hour = value > 23 ? 23 : value;
        ++pos_;
        if (!number(value) || !oneOf(":Z+-"))
            return false;
        out.minute = value > 59 ? 59 : value;
        if (at(pos_) == ':') {
            ++pos_;
            if (!number(value) || !oneOf(".Z+-"))
                return false;
            out.second = value > 59 ? 59 : value;
            if (at(pos_) == '.') {
                const size_t start = ++pos_;
                if (!number(value) || !oneOf("Z+-"))
                    return false;
                for (size_t digits = pos_ - start; digits > 9; --digits)
                    value /= 10;
                for (size_t digits = pos_ - start; digits < 9; ++digits)
                    value *= 10;
                if (value >= 1000000000)
                    return false;
                out.nanosecond = value;
            }
        }
        if (at(pos_) == 0)
            return true;
        out.hasZone = true;
        if (at(pos_) == 'Z') {
            ++pos_;
        } else {
            out.sign = at(pos_) == '+' ? 1 : at(pos_) == '-' ? -1 : 0;
            if (out.sign == 0)
                return false;
            ++pos_;
            if (!number(value) || at(pos_) != ':' || value > 23)
                return false;
            out.zoneHour = value;
            ++pos_;
            if (!number(value) || value > 59)
                return false;
            out.zoneMinute = value;
        }
        return at(pos_) == 0;
    }

private:
    char at(size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
    // The character after a number: one of these or the end.
    bool oneOf(const char *allowed) const { return at(pos_) == 0 || std::strchr(allowed, at(pos_)) != nullptr; }

    bool number(int32_t &out)
    {
        const size_t start = pos_;
        int64_t value = 0;
        for (; at(pos_) >= '0' && at(pos_) <= '9'; ++pos_)
            if ((value = value * 10 + (at(pos_) - '0')) > 0x7FFFFFFF)
                return false;
        out = int32_t(value);
        return pos_ != start;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

bool leapYear(long year)
{
    if (year < 0)
        year = -year + 1;
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int daysInMonth(int32_t year, int32_t month)
{
    static const int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[month] + (month == 2 && leapYear(year) ? 1 : 0);
}

// The toolkit's writing of a date with a time, fields already in range but for a day past
// the end of its month.
std::string_view writeDateTime(DateTime date, Scratch &scratch)
{
    while (date.month < 1) {
        date.year -= 1;
        date.month += 12;
    }
    while (date.month > 12) {
        date.year += 1;
        date.month -= 12;
    }
    while (date.day > daysInMonth(date.year, date.month)) {
        date.day -= daysInMonth(date.year, date.month);
        if (++date.month > 12) {
            date.year += 1;
            date.month -= 12;
        }
    }
    char text[100];
    int size;
    if (date.second == 0 && date.nanosecond == 0) {
        size = std::snprintf(text, sizeof text, "%.4d-%02d-%02dT%02d:%02d", date.year, date.month, date.day,
                             date.hour, date.minute);
    } else if (date.nanosecond == 0) {
        size = std::snprintf(text, sizeof text, "%.4d-%02d-%02dT%02d:%02d:%02d", date.year, date.month,
                             date.day, date.hour, date.minute, date.second);
    } else {
        size = std::snprintf(text, sizeof text, "%.4d-%02d-%02dT%02d:%02d:%02d.%09d", date.year, date.month,
                             date.day, date.hour, date.minute, date.second, date.nanosecond);
        while (text[size - 1] == '0')
            --size;
    }
    if (date.hasZone) {
        if (date.sign == 0)
            size += std::snprintf(text + size, sizeof text - size, "Z");
        else
            size += std::snprintf(text + size, sizeof text - size, "%c%02d:%02d", date.sign < 0 ? '-' : '+',
                                  date.zoneHour, date.zoneMinute);
    }
    return scratch.copy(text, size_t(size));
}

} // namespace

std::string_view gpsTimeWithDate(std::string_view time, std::string_view dateText, Scratch &scratch)
{
    DateTime stamp, date;
    if (!DateReader(time).read(stamp) || stamp.year != 0 || stamp.month != 0 || stamp.day != 0)
        return {};
    if (!DateReader(dateText).read(date))
        return {};
    stamp.year = date.year;
    stamp.month = date.month;
    stamp.day = date.day;
    // The writer's checks: a date with a time has a month and a day.
    stamp.hasTime = stamp.hasTime || stamp.hour != 0 || stamp.minute != 0 || stamp.second != 0 ||
                    stamp.nanosecond != 0 || stamp.hasZone;
    if (stamp.month == 0) {
        if (stamp.day != 0 || stamp.hasTime)
            stamp.month = 1;
    } else {
        stamp.month = stamp.month < 1 ? 1 : stamp.month > 12 ? 12 : stamp.month;
    }
    if (stamp.day == 0) {
        if (stamp.hasTime)
            stamp.day = 1;
    } else {
        stamp.day = stamp.day < 1 ? 1 : stamp.day > 31 ? 31 : stamp.day;
    }
    char text[32];
    int size;
    if (stamp.month == 0)
        size = std::snprintf(text, sizeof text, "%.4d", stamp.year);
    else if (stamp.day == 0)
        size = std::snprintf(text, sizeof text, "%.4d-%02d", stamp.year, stamp.month);
    else if (!stamp.hasTime)
        size = std::snprintf(text, sizeof text, "%.4d-%02d-%02d", stamp.year, stamp.month, stamp.day);
    else
        return writeDateTime(stamp, scratch);
    std::string_view written(text, size_t(size));
    if (!stamp.hasZone)
        return scratch.copy(written.data(), written.size());
    char zone[16];
    const int zoneSize = stamp.sign == 0
        ? std::snprintf(zone, sizeof zone, "Z")
        : std::snprintf(zone, sizeof zone, "%c%02d:%02d", stamp.sign < 0 ? '-' : '+', stamp.zoneHour, stamp.zoneMinute);
    return scratch.join(written, std::string_view(zone, size_t(zoneSize)));
}

} // namespace xmp
} // namespace zudorhost
