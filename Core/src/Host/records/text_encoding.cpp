#include "zudor_host/text_encoding.h"

#include "platform/system.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zudorhost {
namespace {

// Length of the valid UTF-8 sequence at p (at most n bytes available), or 0.
size_t validSequence(const uint8_t *p, size_t n)
{
    const uint8_t b = p[0];
    size_t length;
    uint32_t minimum;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) length = 2, minimum = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) length = 3, minimum = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) length = 4, minimum = 0x10000;
    else return 0;
    if (n < length)
        return 0;
    uint32_t code = b & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Where the ASCII run starting at i ends; eight bytes at a time, since nearly all of any
// text and of an XMP packet is ASCII.
size_t asciiRunEnd(const uint8_t *p, size_t i, size_t n)
{
    for (uint64_t word; i + 8 <= n; i += 8) {
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080u)
            break;
    }
    while (i < n && p[i] < 0x80)
        ++i;
    return i;
}

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighs = 0x8080808080808080u;

// Whether any byte of word is below 0x20, is DEL, or is 0xC2 (the lead byte of every C1
// control in UTF-8); a filter, exact enough that a word it passes needs no look.
bool mayHoldControl(uint64_t word)
{
    const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    return ((word - kOnes * 0x20) & ~word & kHighs) != 0 || hasZero(word ^ (kOnes * 0x7F)) != 0 ||
           hasZero(word ^ (kOnes * 0xC2)) != 0;
}

// How many bytes from i on need no look.
size_t plainRunEnd(const uint8_t *p, size_t i, size_t n)
{
    for (uint64_t word; i + 8 <= n; i += 8) {
        std::memcpy(&word, p + i, 8);
        if (mayHoldControl(word))
            break;
    }
    while (i < n && p[i] >= 0x20 && p[i] != 0x7F && p[i] != 0xC2)
        ++i;
    return i;
}

} // namespace

void base64(const char *data, size_t n, std::string &out)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    out.clear();
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t b = uint32_t(p[i]) << 16 | (i + 1 < n ? uint32_t(p[i + 1]) << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        out += kDigits[b >> 18 & 63];
        out += kDigits[b >> 12 & 63];
        out += i + 1 < n ? kDigits[b >> 6 & 63] : '=';
        out += i + 2 < n ? kDigits[b & 63] : '=';
    }
}

const char *visible(const char *text, size_t &n, std::string &scratch, bool block)
{
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    size_t i = plainRunEnd(p, 0, n);
    if (i == n)
        return text;
    scratch.assign(text, i);
    while (i < n) {
        const uint8_t b = p[i];
        const bool c1 = b == 0xC2 && i + 1 < n && p[i + 1] < 0xA0;
        const bool control = b < 0x20 || b == 0x7F;
        if (c1 || control) {
            const bool lineBreak = b == '\n' || b == '\t' || (b == '\r' && i + 1 < n && p[i + 1] == '\n');
            char shown[8];
            if (block && lineBreak)
                scratch += char(b);
            else if (c1)
                std::snprintf(shown, sizeof shown, "\\u%04X", p[i + 1]), scratch += shown;
            else if (b == '\n' || b == '\r' || b == '\t')
                scratch += '\\', scratch += b == '\n' ? 'n' : b == '\r' ? 'r' : 't';
            else
                std::snprintf(shown, sizeof shown, "\\x%02X", b), scratch += shown;
            i += c1 ? 2 : 1;
            continue;
        }
        scratch += char(b);
        const size_t run = plainRunEnd(p, ++i, n);
        scratch.append(text + i, run - i);
        i = run;
    }
    n = scratch.size();
    return scratch.data();
}

const char *asUtf8(const char *text, size_t &n, std::string &scratch)
{
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    size_t i = 0, length = 0;
    while ((i = asciiRunEnd(p, i, n)) < n && (length = validSequence(p + i, n - i)) > 0)
        i += length;
    if (i == n)
        return text;
    // The rest is mended into a copy, going on from the first byte that is not UTF-8.
    scratch.assign(text, i);
    while (i < n) {
        const size_t run = asciiRunEnd(p, i, n);
        scratch.append(text + i, run - i);
        if ((i = run) == n)
            break;
        if ((length = validSequence(p + i, n - i)) > 0) {
            scratch.append(text + i, length);
            i += length;
        } else {
            scratch += char(0xC0 | p[i] >> 6);
            scratch += char(0x80 | (p[i] & 0x3F));
            ++i;
        }
    }
    n = scratch.size();
    return scratch.data();
}

void appendVisible(OutputBuffer &out, const char *text, size_t n, bool block, std::string &scratch)
{
    std::string mended; // empty, and so free, unless a byte is not UTF-8
    const char *utf8 = asUtf8(text, n, mended);
    const char *shown = visible(utf8, n, scratch, block);
    out.append(shown, n);
}

size_t isoTime(uint64_t ticks, char (&text)[40])
{
    const int64_t seconds = int64_t(ticks / 10000000) - 11644473600;
    struct tm utc;
    if (os::native().utcCalendar(seconds, utc)) {
        const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
        if (n != 0)
            return n;
    }
    return size_t(std::snprintf(text, sizeof text, "@%" PRId64, seconds));
}

uint64_t ticksFromIsoTime(const char *text, size_t length)
{
    const char *p = text, *end = text + length;
    const auto number = [&](int64_t &value, char after) {
        const char *start = p;
        value = 0;
        for (; p < end && *p >= '0' && *p <= '9'; ++p)
            value = value * 10 + (*p - '0');
        if (p == start || (after != '\0' && (p == end || *p++ != after)))
            return false;
        return true;
    };
    int64_t seconds;
    if (p < end && *p == '@') {
        ++p;
        const bool negative = p < end && *p == '-';
        p += negative;
        if (!number(seconds, '\0') || p != end)
            return 0;
        seconds = negative ? -seconds : seconds;
    } else {
        int64_t y, m, d, hh, mm, ss;
        if (!number(y, '-') || !number(m, '-') || !number(d, 'T') || !number(hh, ':') ||
            !number(mm, ':') || !number(ss, 'Z') || p != end)
            return 0;
        // Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
        y -= m <= 2;
        const int64_t era = (y >= 0 ? y : y - 399) / 400;
        const int64_t yoe = y - era * 400;
        const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
        const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        seconds = (era * 146097 + doe - 719468) * 86400 + hh * 3600 + mm * 60 + ss;
    }
    return uint64_t((seconds + 11644473600) * 10000000);
}

} // namespace zudorhost
