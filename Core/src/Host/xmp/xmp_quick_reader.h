// A quick reading of plain packets, for speed: expat spends more on the small elements of a
// typical packet than the whole listing may take. It reads only what it can read exactly as
// expat does, in namespace mode, after the toolkit's mending: UTF-8 without a byte order mark,
// an XML declaration or a document type; ASCII names; no CDATA sections or comments; no byte
// the toolkit would mend. It gives its sink the same events expat would, and answers false at
// the first thing outside that, or anything expat would find an error, leaving the packet to
// expat. The differential fuzz target holds its trees to expat's.
//
// A template over its sink, so that the handlers are compiled into the reading: the tree's
// (xmp_quick_xml.cpp) and the direct listing's (xmp_direct.cpp). Handlers answer false to stop.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace quick {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// ASCII name characters: 1 for one that may start a name, 2 for one that may follow; 4 for
// white space, 8 for white space text may hold as it is (not '\r', which becomes '\n').
struct NameTable {
    uint8_t kind[256] = {};
    constexpr NameTable()
    {
        for (int c = 0; c < 256; ++c) {
            const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
            kind[c] = start ? 3 : (c >= '0' && c <= '9') || c == '.' || c == '-' ? 2 : 0;
        }
        kind[uint8_t(' ')] = kind[uint8_t('\t')] = kind[uint8_t('\n')] = 4 | 8;
        kind[uint8_t('\r')] = 4;
    }
};
inline constexpr NameTable kNames;

inline bool isSpace(char c) { return kNames.kind[uint8_t(c)] & 4; }
inline bool isNameStart(char c) { return kNames.kind[uint8_t(c)] & 1; }
inline bool isNameChar(char c) { return kNames.kind[uint8_t(c)] & 2; }

// Bytes of text and attribute values that stand for themselves.
struct Plain {
    bool text[256] = {};
    bool value[256] = {};
    constexpr Plain()
    {
        for (int c = 0x20; c < 0x7F; ++c)
            text[c] = value[c] = c != '<' && c != '&';
        text[uint8_t(']')] = false; // "]]>" may not stand in text
        text[uint8_t('\n')] = text[uint8_t('\t')] = true;
        value[uint8_t('"')] = value[uint8_t('\'')] = false;
    }
};
inline constexpr Plain kPlain;

// ---- Runs of bytes, sixteen at a time where the machine has SSE2 (every x86-64), else eight ----

inline unsigned lowestBit(unsigned mask)
{
#if defined(__GNUC__)
    return unsigned(__builtin_ctz(mask));
#else
    unsigned i = 0;
    while (!(mask & 1u))
        mask >>= 1, ++i;
    return i;
#endif
}

// Past spaces, tabs and line ends: indentation, and a packet's padding by the thousand. In text
// a carriage return is no such byte: it becomes a line feed, which the caller sees to.
template <bool carriageReturns = true>
const char *skipSpaceRun(const char *p, const char *end)
{
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                  cr = _mm_set1_epi8(carriageReturns ? '\r' : ' ');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, lf)),
                                           _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, cr)));
        const unsigned other = ~unsigned(_mm_movemask_epi8(blank)) & 0xFFFFu;
        if (other != 0)
            return p + lowestBit(other);
        p += 16;
    }
#else
    constexpr uint64_t kSpaces = 0x2020202020202020ull;
    for (uint64_t word; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        if (word != kSpaces)
            break;
    }
#endif
    while (p < end && (kNames.kind[uint8_t(*p)] & (carriageReturns ? 4 : 8)))
        ++p;
    return p;
}

// Past bytes none of which is special to text or an attribute value: below 0x20 or above 0x7E,
// '<', '&', and the quote or ']' named. What it stops at may still stand for itself.
template <char quoteOrBracket>
const char *plainRun(const char *p, const char *end)
{
#if defined(__SSE2__)
    const __m128i low = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7F), lt = _mm_set1_epi8('<'),
                  amp = _mm_set1_epi8('&'), other = _mm_set1_epi8(quoteOrBracket);
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // Signed: the bytes from 0x80 up count as below 0x20.
        const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(v, low), _mm_cmpeq_epi8(v, del)),
                                             _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)),
                                                          _mm_cmpeq_epi8(v, other)));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(special)))
            return p + lowestBit(mask);
        p += 16;
    }
#endif
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    for (uint64_t word; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        const uint64_t special = ((word - kOnes * 0x20) | (word + kOnes * 0x01) | word) & kHighs;
        if (special != 0 || hasZero(word ^ (kOnes * '<')) != 0 || hasZero(word ^ (kOnes * '&')) != 0 ||
            hasZero(word ^ (kOnes * uint8_t(quoteOrBracket))) != 0)
            break;
    }
    return p;
}

#if defined(__SSE2__)
// Of sixteen bytes, a bit for each that may follow in an ASCII name.
inline unsigned nameBits(__m128i v)
{
    const __m128i a = _mm_set1_epi8('a' - 1), z = _mm_set1_epi8('z' + 1), zero = _mm_set1_epi8('0' - 1),
                  nine = _mm_set1_epi8('9' + 1), caseBit = _mm_set1_epi8(0x20), under = _mm_set1_epi8('_'),
                  dot = _mm_set1_epi8('.'), dash = _mm_set1_epi8('-');
    const __m128i lower = _mm_or_si128(v, caseBit);
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, a), _mm_cmplt_epi8(lower, z));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, zero), _mm_cmplt_epi8(v, nine));
    const __m128i mark = _mm_or_si128(_mm_cmpeq_epi8(v, under), _mm_or_si128(_mm_cmpeq_epi8(v, dot), _mm_cmpeq_epi8(v, dash)));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), mark)));
}
#endif

// Past the characters that may follow in an ASCII name.
inline const char *nameRun(const char *p, const char *end)
{
#if defined(__SSE2__)
    while (end - p >= 16) {
        const unsigned name = nameBits(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        if (name != 0xFFFFu)
            return p + lowestBit(~name & 0xFFFFu);
        p += 16;
    }
#endif
    while (p < end && isNameChar(*p))
        ++p;
    return p;
}

// The length of a UTF-8 sequence that expat takes for a character XML allows, else 0.
inline size_t validSequence(const uint8_t *at, const uint8_t *end)
{
    const uint8_t lead = at[0];
    const size_t left = size_t(end - at);
    auto tail = [&](size_t i) { return i < left && (at[i] & 0xC0) == 0x80; };
    if (lead >= 0xC2 && lead <= 0xDF)
        return tail(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!tail(1) || !tail(2))
            return 0;
        if ((lead == 0xE0 && at[1] < 0xA0) || (lead == 0xED && at[1] > 0x9F))
            return 0; // overlong, or a surrogate
        if (lead == 0xEF && at[1] == 0xBF && at[2] >= 0xBE)
            return 0; // U+FFFE and U+FFFF
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!tail(1) || !tail(2) || !tail(3))
            return 0;
        if ((lead == 0xF0 && at[1] < 0x90) || (lead == 0xF4 && at[1] > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

inline void appendUtf8(std::string &out, uint32_t code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

inline bool isXmlChar(uint32_t code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// A hash of a short name, to find two of one name among many without comparing every pair.
inline uint32_t nameHash(std::string_view name)
{
    uint32_t hash = uint32_t(name.size()) * 0x9E3779B1u;
    hash ^= uint8_t(name.front()) * 0x85EBCA77u;
    hash ^= uint8_t(name.back()) * 0xC2B2AE3Du;
    hash ^= uint8_t(name[name.size() / 2]) * 0x27D4EB2Fu;
    return hash ^ (hash >> 15);
}

} // namespace quick

struct QuickWork {
    struct Scope {
        std::string_view prefix; // empty for the default namespace
        const Binding *ns;       // null: the default namespace undeclared
    };
    // An attribute's name and value, small as an element may have a hundred of them.
    struct Attr {
        const char *name;
        uint32_t length;
        uint32_t colon; // where the local name starts after a ':', else 0
        std::string_view value; // the packet's bytes, or a decoded copy in scratch memory

        std::string_view qname() const { return {name, length}; }
        std::string_view prefix() const { return colon != 0 ? std::string_view(name, colon - 1) : std::string_view(); }
        std::string_view local() const { return {name + colon, length - colon}; }
    };
    std::vector<Scope> scopes;
    // Prefixes looked up since the scopes last changed: most elements of a packet use a few.
    struct Cached {
        std::string_view prefix;
        const Binding *ns = nullptr;
        uint32_t version = 0;
    };
    static constexpr size_t kCached = 16;
    Cached cached[kCached];
    uint32_t version = 0; // of the scopes
    std::vector<std::pair<std::string_view, size_t>> open; // an element's name, and scopes before it
    std::vector<Attr> attrs;
    std::string decoded;
    // The local names an element's attributes took so far, by hash: a slot holds the element's
    // stamp when some attribute's name hashed to it.
    static constexpr size_t kNameSlots = 1024;
    uint32_t nameStamps[kNameSlots] = {};
    uint32_t stamp = 0;
};

template <typename Sink>
class QuickReader {
public:
    QuickReader(const char *text, size_t size, Sink &sink, QuickWork &work, bool toolkitReferences)
        : at_(text), end_(text + size), sink_(sink), work_(work), toolkitReferences_(toolkitReferences)
    {
        work_.scopes.clear();
        work_.open.clear();
        changedScopes();
    }

    bool read()
    {
        bool seenRoot = false;
        while (true) {
            skipSpaces();
            if (at_ == end_)
                return seenRoot;
            if (*at_ != '<' || at_ + 1 == end_)
                return false;
            if (at_[1] == '?') {
                if (!instruction())
                    return false;
                continue;
            }
            if (seenRoot || !quick::isNameStart(at_[1]))
                return false; // a second root, a comment, a document type
            seenRoot = true;
            if (!startTag() || !content())
                return false;
        }
    }

private:
    using Attr = QuickWork::Attr;

    bool more(size_t n = 1) const { return size_t(end_ - at_) >= n; }

    // Most runs between names are a space or none.
    void skipSpaces()
    {
        if (at_ < end_ && !quick::isSpace(*at_))
            return;
        if (end_ - at_ >= 2 && *at_ == ' ' && !quick::isSpace(at_[1])) {
            ++at_;
            return;
        }
        at_ = quick::skipSpaceRun(at_, end_);
    }

    // An ASCII name, with at most one colon between two parts.
    bool qname(std::string_view &prefix, std::string_view &local, std::string_view &whole)
    {
        const char *start = at_;
        const char *colon = nullptr;
        if (!more() || !quick::isNameStart(*at_))
            return false;
#if defined(__SSE2__)
        // Most names end within sixteen bytes: their colon is found in the same look.
        if (end_ - at_ >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at_));
            const unsigned colons = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(':'))));
            const unsigned stops = ~(quick::nameBits(v) | colons) & 0xFFFFu;
            if (stops != 0) {
                const unsigned length = quick::lowestBit(stops);
                const unsigned within = colons & ((1u << length) - 1);
                if (within != 0) {
                    const unsigned at = quick::lowestBit(within);
                    if ((within & (within - 1)) != 0 || at + 1 == length || !quick::isNameStart(start[at + 1]))
                        return false;
                    colon = start + at;
                }
                at_ = start + length;
                whole = std::string_view(start, length);
                prefix = colon != nullptr ? std::string_view(start, size_t(colon - start)) : std::string_view();
                local = colon != nullptr ? std::string_view(colon + 1, size_t(at_ - colon - 1)) : whole;
                return true;
            }
        }
#endif
        while (true) {
            at_ = quick::nameRun(at_, end_);
            if (at_ == end_ || *at_ != ':')
                break;
            if (colon != nullptr || at_ + 1 == end_ || !quick::isNameStart(at_[1]))
                return false;
            colon = at_++;
        }
        whole = std::string_view(start, size_t(at_ - start));
        prefix = colon != nullptr ? std::string_view(start, size_t(colon - start)) : std::string_view();
        local = colon != nullptr ? std::string_view(colon + 1, size_t(at_ - colon - 1)) : whole;
        return true;
    }

    // A reference at '&', appended to out as expat reads it after the toolkit's mending.
    bool reference(std::string &out)
    {
        const auto *bytes = reinterpret_cast<const uint8_t *>(at_);
        if (const size_t spaced = spacedReferenceLength(bytes, reinterpret_cast<const uint8_t *>(end_), toolkitReferences_)) {
            out += ' ';
            at_ += spaced;
            return true;
        }
        static constexpr struct {
            std::string_view name;
            char c;
        } kPredefined[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
        const std::string_view rest(at_, size_t(end_ - at_));
        for (const auto &entity : kPredefined)
            if (rest.compare(0, entity.name.size(), entity.name) == 0) {
                out += entity.c;
                at_ += entity.name.size();
                return true;
            }
        if (!more(4) || at_[1] != '#')
            return false;
        const bool hex = at_[2] == 'x';
        const char *digit = at_ + (hex ? 3 : 2);
        uint32_t code = 0;
        size_t digits = 0;
        for (; digit < end_ && digits <= 8; ++digit, ++digits) {
            const char c = *digit;
            int value = c >= '0' && c <= '9' ? c - '0' : -1;
            if (hex && value < 0)
                value = c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (value < 0)
                break;
            code = code * (hex ? 16 : 10) + uint32_t(value);
        }
        if (digits == 0 || digits > 8 || digit == end_ || *digit != ';' || !quick::isXmlChar(code))
            return false;
        quick::appendUtf8(out, code);
        at_ = digit + 1;
        return true;
    }

    // Past the bytes that stand for themselves: those of the table and whole UTF-8 characters;
    // false at a sequence that is none.
    template <char quoteOrBracket>
    bool skip(const bool (&plain)[256])
    {
        const char *p = at_;
        while (true) {
            p = quick::plainRun<quoteOrBracket>(p, end_);
            if (p == end_)
                break;
            const auto c = uint8_t(*p);
            if (plain[c]) {
                ++p;
            } else if (c >= 0x80) {
                const size_t length = quick::validSequence(reinterpret_cast<const uint8_t *>(p), reinterpret_cast<const uint8_t *>(end_));
                if (length == 0)
                    return false;
                p += length;
            } else {
                break;
            }
        }
        at_ = p;
        return true;
    }

    // A non-ASCII character, copied as it is; false for anything expat or the toolkit's
    // mending would not pass through untouched.
    bool wide(std::string &out)
    {
        const size_t length = quick::validSequence(reinterpret_cast<const uint8_t *>(at_), reinterpret_cast<const uint8_t *>(end_));
        if (length == 0)
            return false;
        out.append(at_, length);
        at_ += length;
        return true;
    }

    // An attribute value, normalised as expat normalises it: the packet's own bytes when it
    // needs nothing done, else a decoded copy.
    bool value(std::string_view &out)
    {
        const char quote = *at_++;
        const char *start = at_;
        if (!(quote == '"' ? skip<'"'>(quick::kPlain.value) : skip<'\''>(quick::kPlain.value)))
            return false;
        if (at_ < end_ && *at_ == quote) {
            out = std::string_view(start, size_t(at_++ - start));
            return true;
        }
        std::string &decoded = work_.decoded;
        decoded.assign(start, size_t(at_ - start));
        while (at_ < end_) {
            const char c = *at_;
            if (c == quote) {
                ++at_;
                out = sink_.scratch().copy(decoded.data(), decoded.size());
                return true;
            }
            if (c == '&') {
                if (!reference(decoded))
                    return false;
            } else if (c == '\r') {
                decoded += ' ';
                at_ += more(2) && at_[1] == '\n' ? 2 : 1;
            } else if (c == '\n' || c == '\t') {
                decoded += ' ';
                ++at_;
            } else if (uint8_t(c) >= 0x80) {
                if (!wide(decoded))
                    return false;
            } else if (quick::kPlain.value[uint8_t(c)] || c == '"' || c == '\'') {
                decoded += c;
                ++at_;
            } else {
                return false; // '<', or a control character the toolkit mends
            }
        }
        return false;
    }

    void changedScopes()
    {
        if (++work_.version == 0) {
            for (QuickWork::Cached &cached : work_.cached)
                cached.version = 0;
            work_.version = 1;
        }
    }

    void dropScopes(size_t mark)
    {
        if (work_.scopes.size() != mark) {
            work_.scopes.resize(mark);
            changedScopes();
        }
    }

    // The namespace of a prefix in scope, null for none; false for a prefix never declared.
    bool lookup(std::string_view prefix, const Binding *&ns)
    {
        if (sameText(prefix, "xml")) {
            if (xmlNamespace_ == nullptr)
                xmlNamespace_ = sink_.namespaceOf(quick::kXmlNamespace);
            ns = xmlNamespace_;
            return true;
        }
        const size_t slot = prefix.empty() ? 0 : (prefix.size() * 31 + uint8_t(prefix[0]) * 7 + uint8_t(prefix.back())) % QuickWork::kCached;
        QuickWork::Cached &cached = work_.cached[slot];
        if (cached.version == work_.version && sameText(cached.prefix, prefix)) {
            ns = cached.ns;
            return true;
        }
        for (size_t i = work_.scopes.size(); i-- > 0;)
            if (sameText(work_.scopes[i].prefix, prefix)) {
                ns = work_.scopes[i].ns;
                cached = {prefix, ns, work_.version};
                return true;
            }
        ns = nullptr;
        return prefix.empty(); // no default namespace is no namespace
    }

    // Two attributes of one local name may be one after namespaces: expat decides.
    bool sameLocalBefore(const Attr &attr)
    {
        const std::vector<Attr> &attrs = work_.attrs;
        if (attrs.size() < 8) {
            for (const Attr &other : attrs)
                if (sameText(other.local(), attr.local()))
                    return true;
            return false;
        }
        if (attrs.size() == 8) { // from here on by hash; the first eight go in now
            if (++work_.stamp == 0) {
                std::memset(work_.nameStamps, 0, sizeof work_.nameStamps);
                work_.stamp = 1;
            }
            for (const Attr &other : attrs)
                work_.nameStamps[quick::nameHash(other.local()) % QuickWork::kNameSlots] = work_.stamp;
        }
        uint32_t &slot = work_.nameStamps[quick::nameHash(attr.local()) % QuickWork::kNameSlots];
        if (slot != work_.stamp) {
            slot = work_.stamp;
            return false;
        }
        for (const Attr &other : attrs)
            if (sameText(other.local(), attr.local()))
                return true;
        return false;
    }

    bool startTag()
    {
        ++at_;
        std::string_view prefix, local, whole;
        if (!qname(prefix, local, whole))
            return false;
        work_.attrs.clear();
        bool empty = false;
        while (true) {
            const char *before = at_;
            skipSpaces();
            if (!more())
                return false;
            if (*at_ == '>') {
                ++at_;
                break;
            }
            if (*at_ == '/') {
                if (!more(2) || at_[1] != '>')
                    return false;
                at_ += 2;
                empty = true;
                break;
            }
            std::string_view attrPrefix, attrLocal, attrName;
            if (at_ == before || !qname(attrPrefix, attrLocal, attrName) || attrName.size() > UINT32_MAX)
                return false;
            Attr attr{attrName.data(), uint32_t(attrName.size()), uint32_t(attrLocal.data() - attrName.data()), {}};
            skipSpaces();
            if (!more() || *at_++ != '=')
                return false;
            skipSpaces();
            if (!more() || (*at_ != '"' && *at_ != '\''))
                return false;
            if (!value(attr.value) || sameLocalBefore(attr))
                return false;
            work_.attrs.push_back(attr);
        }
        return element(prefix, local, whole, empty);
    }

    bool element(std::string_view prefix, std::string_view local, std::string_view whole, bool empty)
    {
        const size_t mark = work_.scopes.size();
        size_t count = 0;
        for (const Attr &attr : work_.attrs) {
            const bool isDefault = attr.prefix().empty() && sameText(attr.local(), "xmlns");
            if (!isDefault && !sameText(attr.prefix(), "xmlns")) {
                ++count;
                continue;
            }
            const std::string_view declared = isDefault ? std::string_view() : attr.local();
            const std::string_view uri = attr.value;
            if (declared == "xml" || declared == "xmlns" || uri == quick::kXmlNamespace || uri == quick::kXmlnsNamespace)
                return false; // expat's rules for the reserved names
            if (uri.empty() && !isDefault)
                return false;
            const Binding *ns = nullptr;
            if (!uri.empty() && (ns = sink_.declare(declared, uri)) == nullptr)
                return false;
            work_.scopes.push_back({declared, ns});
            changedScopes();
        }
        const Binding *ns;
        if (sameText(prefix, "xmlns") || !lookup(prefix, ns) || !sink_.startElement(ns, prefix, ns == nullptr ? whole : local, count))
            return false;
        size_t i = 0;
        for (const Attr &attr : work_.attrs) {
            if ((attr.prefix().empty() && sameText(attr.local(), "xmlns")) || sameText(attr.prefix(), "xmlns"))
                continue;
            const Binding *attrNs = nullptr;
            if (!attr.prefix().empty() && !lookup(attr.prefix(), attrNs))
                return false;
            if (!sink_.attribute(i++, attrNs, attr.prefix(), attrNs == nullptr ? attr.qname() : attr.local(), attr.value))
                return false;
        }
        if (empty) {
            if (!sink_.endElement())
                return false;
            dropScopes(mark);
        } else {
            work_.open.emplace_back(whole, mark);
        }
        return true;
    }

    bool endTag()
    {
        // The name must be the open element's to the byte, and end there.
        const std::string_view name = work_.open.back().first;
        at_ += 2;
        if (!more(name.size() + 1) || !sameText(std::string_view(at_, name.size()), name) ||
            quick::isNameChar(at_[name.size()]) || at_[name.size()] == ':')
            return false;
        at_ += name.size();
        skipSpaces();
        if (!more() || *at_++ != '>' || !sink_.endElement())
            return false;
        dropScopes(work_.open.back().second);
        work_.open.pop_back();
        return true;
    }

    // "<?target data?>", kept when it is the packet wrapper's.
    bool instruction()
    {
        at_ += 2;
        std::string_view prefix, target, whole;
        if (!qname(prefix, target, whole) || !prefix.empty())
            return false;
        if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
            return false; // an XML declaration, or a name XML reserves
        std::string_view data;
        if (more(2) && at_[0] == '?' && at_[1] == '>') {
            at_ += 2;
        } else {
            if (!more() || !quick::isSpace(*at_))
                return false;
            skipSpaces();
            const char *start = at_;
            while (!more(2) || at_[0] != '?' || at_[1] != '>') {
                if (!more())
                    return false;
                const auto c = uint8_t(*at_);
                if (c >= 0x80) {
                    const size_t length = quick::validSequence(reinterpret_cast<const uint8_t *>(at_), reinterpret_cast<const uint8_t *>(end_));
                    if (length == 0)
                        return false;
                    at_ += length;
                } else if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F || c == '&') {
                    return false; // what the mending or the line ends would change
                } else {
                    ++at_;
                }
            }
            data = std::string_view(start, size_t(at_ - start));
            at_ += 2;
        }
        return whole != "xpacket" || sink_.instruction(data);
    }

    // The root element's content, up to its end tag.
    bool content()
    {
        std::string &decoded = work_.decoded;
        while (!work_.open.empty()) {
            const char *run = at_;
            // Mostly a line end and the next tag's indentation.
            const char *blank = quick::skipSpaceRun<false>(at_, end_);
            if (blank != end_ && *blank == '<')
                at_ = blank;
            else if (!skip<']'>(quick::kPlain.text))
                return false;
            if (at_ != run && !sink_.text(run, size_t(at_ - run), true))
                return false;
            if (at_ == end_)
                return false;
            const char c = *at_;
            if (c == '<') {
                if (!more(2))
                    return false;
                if (at_[1] == '/') {
                    if (!endTag())
                        return false;
                } else if (at_[1] == '?') {
                    if (!instruction())
                        return false;
                } else if (!startTag()) {
                    return false;
                }
                continue;
            }
            decoded.clear();
            if (c == '&') {
                if (!reference(decoded))
                    return false;
            } else if (c == ']') {
                if (more(3) && at_[1] == ']' && at_[2] == '>')
                    return false;
                decoded += c;
                ++at_;
            } else if (c == '\r') {
                decoded += '\n';
                at_ += more(2) && at_[1] == '\n' ? 2 : 1;
            } else {
                return false; // a control character the toolkit mends
            }
            if (!sink_.text(decoded.data(), decoded.size(), false))
                return false;
        }
        return true;
    }

    const char *at_;
    const char *end_;
    Sink &sink_;
    QuickWork &work_;
    bool toolkitReferences_;
    const Binding *xmlNamespace_ = nullptr;
};

// Reads a packet with the quick reading into sink; false where the reading or the sink stops.
template <typename Sink>
bool readQuick(const char *text, size_t size, Sink &sink, QuickWork &work, bool toolkitReferences)
{
    // Shorter packets take the toolkit's path for short input, which expat follows.
    if (size < 16)
        return false;
    return QuickReader<Sink>(text, size, sink, work, toolkitReferences).read();
}

} // namespace xmp
} // namespace zudorhost
