// The record as one line of JSON, keys in the record's order, written straight into the output
// buffer: no document, no writer's stack of levels, no second copy of the line.
//
// Strings are escaped as the records have always been: '"' and '\\' with a backslash, the
// control characters below 0x20 as \b, \t, \n, \f, \r or \u00XX (upper-case hex), every other
// byte as it is (the walk hands over UTF-8).
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zudor_host/record.h"
#include "zudor_host/record_events.h"
#include "zudor_host/record_writers.h"

namespace zudorhost {
namespace {

// What each byte below 0x20, '"' and '\\' becomes after its backslash; 'u' for \u00XX.
struct EscapeTable {
    char after[256] = {};
    constexpr EscapeTable()
    {
        for (int c = 0; c < 0x20; ++c)
            after[c] = 'u';
        after[uint8_t('\b')] = 'b';
        after[uint8_t('\t')] = 't';
        after[uint8_t('\n')] = 'n';
        after[uint8_t('\f')] = 'f';
        after[uint8_t('\r')] = 'r';
        after[uint8_t('"')] = '"';
        after[uint8_t('\\')] = '\\';
    }
};
constexpr EscapeTable kEscape;

char *escapeOne(char *to, uint8_t c)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    *to++ = '\\';
    *to++ = kEscape.after[c];
    if (kEscape.after[c] == 'u') {
        *to++ = '0';
        *to++ = '0';
        *to++ = kHex[c >> 4];
        *to++ = kHex[c & 0xF];
    }
    return to;
}

// Whether any of the bytes of a word needs an escape.
template <typename Word>
bool anyEscape(Word word)
{
    constexpr Word kOnes = Word(0x0101010101010101u), kHighs = Word(0x8080808080808080u);
    const auto hasZero = [](Word v) { return Word((v - kOnes) & ~v & kHighs) != 0; };
    return Word((word - kOnes * 0x20) & ~word & kHighs) != 0 || hasZero(word ^ Word(kOnes * '"')) ||
           hasZero(word ^ Word(kOnes * '\\'));
}

char *escapeBytes(char *to, const char *from, const char *end)
{
    for (; from < end; ++from)
        to = kEscape.after[uint8_t(*from)] == 0 ? (*to++ = *from, to) : escapeOne(to, uint8_t(*from));
    return to;
}

// A string of 4 to 16 bytes as two words that may overlap, when neither needs an escape.
template <typename Word>
bool copyWords(char *to, const char *from, size_t size)
{
    Word first, last;
    std::memcpy(&first, from, sizeof first);
    std::memcpy(&last, from + size - sizeof last, sizeof last);
    if (anyEscape(first) || anyEscape(last))
        return false;
    std::memcpy(to, &first, sizeof first);
    std::memcpy(to + size - sizeof last, &last, sizeof last);
    return true;
}

// Copies size bytes to to, escaped; to has room for six bytes a byte and sixteen more, as
// blocks are stored whole before they are looked at. Returns the end of what it wrote. Most
// strings are short and need no escape: their last block is read again from its end,
// overlapping what is done, rather than byte by byte.
char *escapeCopy(char *to, const char *from, size_t size)
{
    const char *end = from + size;
    if (size < 16) {
        if (size >= 8 && copyWords<uint64_t>(to, from, size))
            return to + size;
        if (size >= 4 && size < 8 && copyWords<uint32_t>(to, from, size))
            return to + size;
        return escapeBytes(to, from, end);
    }
    const char *verbatim = from; // what follows here went out unchanged
#if defined(__SSE2__)
    const __m128i control = _mm_set1_epi8(0x1F), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const auto special = [&](__m128i v) {
        return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, control), control),
                                                       _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)))));
    };
    while (end - from >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to), v);
        const unsigned mask = special(v);
        if (mask == 0) {
            from += 16;
            to += 16;
            continue;
        }
        const unsigned plain = unsigned(__builtin_ctz(mask));
        from += plain;
        to = escapeOne(to + plain, uint8_t(*from++));
        verbatim = from;
    }
    const size_t left = size_t(end - from);
    if (left != 0 && end - 16 >= verbatim) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16));
        if (special(v) == 0) { // the bytes before the tail need none, as they went out unchanged
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to - (16 - left)), v);
            return to + left;
        }
    }
#else
    for (uint64_t word; end - from >= 8;) {
        std::memcpy(&word, from, 8);
        std::memcpy(to, &word, 8);
        if (!anyEscape(word)) {
            from += 8;
            to += 8;
            continue;
        }
        while (kEscape.after[uint8_t(*from)] == 0)
            *to++ = *from++;
        to = escapeOne(to, uint8_t(*from++));
        verbatim = from;
    }
    const size_t left = size_t(end - from);
    if (left != 0 && end - 8 >= verbatim) {
        uint64_t word;
        std::memcpy(&word, end - 8, 8);
        if (!anyEscape(word)) { // the bytes before the tail need none, as they went out unchanged
            std::memcpy(to - (8 - left), &word, 8);
            return to + left;
        }
    }
#endif
    return escapeBytes(to, from, end);
}

class JsonWriter : public RecordWriter, private RecordVisitor {
public:
    explicit JsonWriter(bool textRecord) : textRecord_(textRecord) {}

    void write(const DocumentView &doc, OutputBuffer &out) override
    {
        out_ = &out;
        textRecord_ ? walker_.textRecord(doc, *this) : walker_.summary(doc, *this);
        out.push('\n');
    }
    void writeRecorded(const char *events, size_t size, OutputBuffer &out) override
    {
        out_ = &out;
        replayRecord(events, size, *this);
        out.push('\n');
    }

private:
    // A long string goes in pieces, so that the room asked for stays near the string's size.
    static constexpr size_t kPiece = 16384;

    // A string's quotes and escaped bytes, at to; the end of what was written.
    char *quoted(char *to, const char *text, size_t length)
    {
        *to++ = '"';
        to = escapeCopy(to, text, length);
        *to++ = '"';
        return to;
    }

    static size_t room(size_t length) { return 6 * length + 2 + 16; }

    void text(const char *text, size_t length)
    {
        if (length <= kPiece) {
            char *start = out_->reserve(room(length));
            out_->commit(size_t(quoted(start, text, length) - start));
            return;
        }
        out_->push('"');
        for (size_t at = 0; at < length; at += kPiece) {
            const size_t piece = std::min(kPiece, length - at);
            char *start = out_->reserve(room(piece));
            out_->commit(size_t(escapeCopy(start, text + at, piece) - start));
        }
        out_->push('"');
    }

    void key(Field field)
    {
        const char *name = fieldName(field);
        const size_t length = std::strlen(name);
        char *to = out_->reserve(length + 4);
        char *start = to;
        if (!first_)
            *to++ = ',';
        *to++ = '"';
        std::memcpy(to, name, length);
        to += length;
        *to++ = '"';
        *to++ = ':';
        out_->commit(size_t(to - start));
        first_ = false;
    }

    void beginRecord(bool) override
    {
        out_->push('{');
        first_ = true;
    }
    void string(Field field, const char *value, size_t length) override
    {
        key(field);
        if (value != nullptr)
            text(value, length);
        else
            out_->append("null", 4);
    }
    void number(Field field, uint64_t value) override
    {
        key(field);
        char *to = out_->reserve(20);
        out_->commit(size_t(std::to_chars(to, to + 20, value).ptr - to));
    }
    void beginList(Field field) override
    {
        key(field);
        out_->push('[');
        first_ = true;
    }
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override
    {
        if (nameLength > kPiece || valueLength > kPiece) {
            out_->append(first_ ? "[" : ",[", first_ ? 1 : 2);
            text(name, nameLength);
            out_->push(',');
            text(value, valueLength);
            out_->push(']');
            first_ = false;
            return;
        }
        char *start = out_->reserve(room(nameLength) + room(valueLength) + 3);
        char *to = start;
        if (!first_)
            *to++ = ',';
        *to++ = '[';
        to = quoted(to, name, nameLength);
        *to++ = ',';
        to = quoted(to, value, valueLength);
        *to++ = ']';
        out_->commit(size_t(to - start));
        first_ = false;
    }
    void endList(Field) override
    {
        out_->push(']');
        first_ = false;
    }
    void item(const char *value, size_t length) override
    {
        if (!first_)
            out_->push(',');
        text(value, length);
        first_ = false;
    }
    void beginGroup(Field field) override
    {
        key(field);
        out_->push('{');
        first_ = true;
    }
    void endGroup(Field) override
    {
        out_->push('}');
        first_ = false;
    }
    void endRecord() override { out_->push('}'); }

    bool textRecord_;
    bool first_ = true; // nothing written yet in the object or list being written
    RecordWalker walker_;
    OutputBuffer *out_ = nullptr;
};

} // namespace

std::unique_ptr<RecordWriter> jsonSummaryWriter() { return std::make_unique<JsonWriter>(false); }
std::unique_ptr<RecordWriter> jsonTextRecordWriter() { return std::make_unique<JsonWriter>(true); }

} // namespace zudorhost
