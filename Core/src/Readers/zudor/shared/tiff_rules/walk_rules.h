// How the reader walks a file's IFDs: their layout, the end of a chain, which occurrence of a
// tag takes its role, and how a DateTime converts. The module walks by these rules and the
// host's explanation of a record follows the same ones, so a sentence about a file cannot
// drift from what the reader did with it. Standard C++17 alone.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "tiff_rules/tag_table.h"

namespace tiffrules {

inline constexpr uint16_t kTypeAscii = 2;
inline constexpr uint32_t kEntrySize = 12;       // tag, type, count, and the value or its offset
inline constexpr uint32_t kInlineValueBytes = 4; // a value no longer lies in its entry

// Only "II" means little-endian; anything else, "MM" among it, is read as big-endian.
constexpr bool headerIsLittleEndian(const uint8_t *header)
{
    return header[0] == 'I' && header[1] == 'I';
}
inline constexpr uint32_t kFirstIfdOffsetAt = 4;

// Assembled byte by byte, so the result does not depend on the machine's byte order.
constexpr uint16_t readShort(const uint8_t *bytes, bool littleEndian)
{
    return littleEndian ? static_cast<uint16_t>(bytes[0] | (bytes[1] << 8))
                        : static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

constexpr uint32_t readLong(const uint8_t *bytes, bool littleEndian)
{
    const uint32_t b0 = bytes[0], b1 = bytes[1], b2 = bytes[2], b3 = bytes[3];
    return littleEndian ? b0 | (b1 << 8) | (b2 << 16) | (b3 << 24) : (b0 << 24) | (b1 << 16) | (b2 << 8) | b3;
}

// An IFD: a 2-byte count, the entries, then the 4-byte offset of the next IFD. Offsets are
// 32 bits and wrap as the reader's own arithmetic does.
constexpr uint32_t entriesOffset(uint32_t ifdOffset) { return ifdOffset + 2; }
constexpr uint32_t linkOffset(uint32_t ifdOffset, uint32_t count) { return ifdOffset + 2 + kEntrySize * count; }

constexpr bool valueIsInline(uint32_t count) { return count <= kInlineValueBytes; }

// The IFD to read after one whose link names next: 0 ends the chain, and so does a link back
// to an IFD this walk has read already.
constexpr uint32_t nextIfdToRead(uint32_t next, bool alreadyRead) { return alreadyRead ? 0 : next; }

// Which first occurrences a walk has used up; all false (zeroed) at the start of a walk.
struct RoleClaims {
    bool authorTaken;
    bool dateTimeTaken;
};

// The role an ASCII value of the rule's tag plays: Author and DateTime only at their first
// occurrence in the walk, a Property after; every other tag always its own.
constexpr TagRole claimRole(RoleClaims &claims, const TagRule &rule)
{
    bool *taken = rule.role == TagRole::Author     ? &claims.authorTaken
                  : rule.role == TagRole::DateTime ? &claims.dateTimeTaken
                                                   : nullptr;
    if (taken == nullptr)
        return rule.role;
    if (*taken)
        return TagRole::Property;
    *taken = true;
    return rule.role;
}

// "YYYY:MM:DD HH:MM:SS" and its terminating zero, exactly.
inline constexpr uint32_t kDateTimeBytes = 20;

// The platform's 64-bit mktime covers 1970-01-01 00:00:00 UTC to 3000-12-31 23:59:59 UTC.
inline constexpr int64_t kLatestCalendarTime = 32535215999;

// Calendar time in seconds since 1970 UTC, or -1 outside 1970-01-01 .. 3000-12-31 UTC.
inline int64_t mktime64(std::tm *calendar)
{
#ifdef _WIN32
    return _mktime64(calendar);
#else
    static_assert(sizeof(time_t) == 8, "a 64-bit time_t is needed");
    const int64_t seconds = std::mktime(calendar);
    // Other platforms reach further; keep to the range the reader was built against.
    if (seconds < 0 || seconds > kLatestCalendarTime)
        return -1;
    return seconds;
#endif
}

enum class DateTimeReading { Converts, WrongLength, NotTheForm, OutOfRange };

// A DateTime value of count bytes read in the local time zone; *seconds is set only when it
// converts.
inline DateTimeReading readDateTime(uint32_t count, const char *value, int64_t *seconds)
{
    if (count != kDateTimeBytes)
        return DateTimeReading::WrongLength;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
#ifdef _WIN32
    // The C runtime's own sscanf. The compiler's C99 replacement, which C++ gets by default,
    // would drag the compiler's startup code into the module's DLL (see its link options).
    const int fields = __ms_sscanf(value, "%d:%d:%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
#else
    const int fields = std::sscanf(value, "%d:%d:%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
#endif
    if (fields < 6)
        return DateTimeReading::NotTheForm;

    // Months carry into years here, in 64 bits, as mktime would carry them itself: the plain
    // year - 1900 and month - 1 could overflow an int for hostile numbers.
    const int64_t monthIndex = static_cast<int64_t>(month) - 1;
    const int64_t carriedYears = monthIndex >= 0 ? monthIndex / 12 : -((11 - monthIndex) / 12);
    const int64_t yearsSince1900 = static_cast<int64_t>(year) - 1900 + carriedYears;
    if (yearsSince1900 < INT_MIN || yearsSince1900 > INT_MAX)
        return DateTimeReading::OutOfRange;

    std::tm calendar{};
    calendar.tm_year = static_cast<int>(yearsSince1900);
    calendar.tm_mon = static_cast<int>(monthIndex - carriedYears * 12);
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    calendar.tm_isdst = -1;
    const int64_t converted = mktime64(&calendar);
    if (converted == -1)
        return DateTimeReading::OutOfRange;
    *seconds = converted;
    return DateTimeReading::Converts;
}

} // namespace tiffrules
