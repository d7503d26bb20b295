#include "text_encoding.h"

#include <cstdint>
#include <cstring>

namespace sievecheck {
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

} // namespace

std::string toUtf8(const char *text)
{
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    const size_t n = std::strlen(text);
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        // Plain ASCII, most of any text and nearly all of an XMP packet, goes over in runs.
        size_t run = i;
        while (run < n && p[run] < 0x80)
            ++run;
        if (run > i) {
            out.append(text + i, run - i);
            i = run;
            continue;
        }
        const size_t length = validSequence(p + i, n - i);
        if (length > 0) {
            out.append(text + i, length);
            i += length;
        } else {
            out += char(0xC0 | p[i] >> 6);
            out += char(0x80 | (p[i] & 0x3F));
            ++i;
        }
    }
    return out;
}

} // namespace sievecheck
