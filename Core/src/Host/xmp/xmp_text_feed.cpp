// How the toolkit hands a packet's bytes to the XML parser. It guesses the encoding from the
// first bytes; UTF-16 and UTF-32 go to the parser untouched. Text it takes for UTF-8 is
// mended on the way, so that what older writers put in packets still parses: a byte that
// starts no UTF-8 sequence is read as Windows-1252, and a control character other than tab,
// line feed and carriage return, raw or written as "&#xN;", becomes a space. The parser sees
// the text in the same pieces as the toolkit's parser does, ending with a space.
#include <cstdint>

#include <expat.h>

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

// The toolkit settles the encoding on its first 16 bytes, waiting for them when the packet
// is shorter.
constexpr size_t kEncodingProbe = 16;

// Windows-1252 for 0x80..0x9F; its five undefined bytes become spaces.
constexpr uint16_t kWindows1252[32] = {
    0x20AC, 0x20, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x20, 0x017D, 0x20,
    0x20, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x20, 0x017E, 0x0178,
};

bool looksLikeUtf8(const uint8_t *text, size_t size)
{
    if (size < 2)
        return true;
    if (text[0] == 0)
        return false;
    if (text[0] < 0x80)
        return text[1] != 0;
    return text[0] == 0xEF;
}

// The toolkit's loose test: a lead byte with n high bits set and n - 1 continuation bytes,
// whatever they encode (the parser judges that). 0 when it is no sequence, including one cut
// off by the end of the packet.
size_t sequenceLength(const uint8_t *at, const uint8_t *end)
{
    if ((*at & 0xC0) != 0xC0)
        return 0;
    size_t length = 0;
    for (uint8_t lead = *at; lead & 0x80; lead = uint8_t(lead << 1))
        ++length;
    if (size_t(end - at) < length)
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((at[i] & 0xC0) != 0x80)
            return 0;
    return length;
}

int hexDigit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

// The length of "&#xN;" or "&#xNN;" naming a control character that XML forbids, else 0.
// The toolkit takes any such reference for one (anyReference), so "&#xE9;" or "&#x41;" lost
// their character to a space; here only the forbidden ones become spaces.
size_t spacedReferenceLength(const uint8_t *at, const uint8_t *end, bool anyReference)
{
    if (end - at < 5 || at[1] != '#' || at[2] != 'x')
        return 0;
    const uint8_t *digit = at + 3;
    int value = 0;
    for (int i = 0; i < 2 && digit < end && hexDigit(*digit) >= 0; ++i)
        value = value * 16 + hexDigit(*digit++);
    if (digit == end || *digit != ';' || digit - at < 4)
        return 0;
    if (value == '\t' || value == '\n' || value == '\r')
        return 0;
    const bool forbidden = value < 0x20 || value == 0x7F || anyReference;
    return forbidden ? size_t(digit - at + 1) : 0;
}

namespace {

size_t encodeUtf8(unsigned code, char *out)
{
    if (code < 0x80) {
        out[0] = char(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = char(0xC0 | (code >> 6));
        out[1] = char(0x80 | (code & 0x3F));
        return 2;
    }
    out[0] = char(0xE0 | (code >> 12));
    out[1] = char(0x80 | ((code >> 6) & 0x3F));
    out[2] = char(0x80 | (code & 0x3F));
    return 3;
}

class Feeder {
public:
    Feeder(XML_Parser parser, bool anyReference) : parser_(parser), anyReference_(anyReference) {}

    // An empty piece reaches the parser only as the last one, as a space.
    bool parse(const char *text, size_t size, bool last)
    {
        if (size == 0) {
            if (!last)
                return true;
            text = " ";
            size = 1;
        }
        while (size > kMaxPiece) {
            if (XML_Parse(parser_, text, int(kMaxPiece), XML_FALSE) != XML_STATUS_OK)
                return false;
            text += kMaxPiece;
            size -= kMaxPiece;
        }
        return XML_Parse(parser_, text, int(size), last ? XML_TRUE : XML_FALSE) == XML_STATUS_OK;
    }

    bool parseMended(const uint8_t *text, size_t size)
    {
        const uint8_t *end = text + size;
        const uint8_t *span = text;
        const uint8_t *at = text;
        while (at < end) {
            const uint8_t c = *at;
            if (c >= 0x20 && c < 0x7F && c != '&') {
                ++at;
                continue;
            }
            char replacement[3] = {' '};
            size_t replacementSize = 1;
            size_t skipped = 1;
            if (c >= 0x80) {
                if (const size_t length = sequenceLength(at, end)) {
                    at += length;
                    continue;
                }
                replacementSize = encodeUtf8(c < 0xA0 ? kWindows1252[c - 0x80] : c, replacement);
            } else if (c == '&') {
                if ((skipped = spacedReferenceLength(at, end, anyReference_)) == 0) {
                    ++at;
                    continue;
                }
            } else if (c == '\t' || c == '\n' || c == '\r') {
                ++at;
                continue;
            }
            if (!parse(reinterpret_cast<const char *>(span), size_t(at - span), false) ||
                !parse(replacement, replacementSize, false))
                return false;
            at += skipped;
            span = at;
        }
        return parse(reinterpret_cast<const char *>(span), size_t(end - span), false) && parse(" ", 1, true);
    }

private:
    // XML_Parse counts in int.
    static constexpr size_t kMaxPiece = size_t(1) << 30;
    XML_Parser parser_;
    bool anyReference_;
};

} // namespace

bool feedPacket(XML_ParserStruct *parser, const char *text, size_t size, bool toolkitReferences)
{
    Feeder feeder(parser, toolkitReferences);
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    if (!looksLikeUtf8(bytes, size)) {
        if (size >= kEncodingProbe)
            return feeder.parse(text, size, true);
        return feeder.parse(text, size, false) && feeder.parse(" ", 1, true);
    }
    // A short packet reaches the toolkit's parser twice as the last piece, which the parser
    // refuses.
    if (size < kEncodingProbe)
        return false;
    return feeder.parseMended(bytes, size);
}

} // namespace xmp
} // namespace zudorhost
