// A quick reading of plain packets, for speed: expat spends more on the small elements of a
// typical packet than the whole listing may take. It reads only what it can read exactly as
// expat does, in namespace mode, after the toolkit's mending: UTF-8 without a byte order mark,
// an XML declaration or a document type; ASCII names; no CDATA sections or comments; no byte
// the toolkit would mend. It gives the sink the same events expat would, and answers false at
// the first thing outside that, or anything expat would find an error, leaving the packet to
// expat. The differential fuzz target holds its trees to expat's.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// ASCII name characters: 1 for one that may start a name, 2 for one that may follow.
struct NameTable {
    uint8_t kind[256] = {};
    constexpr NameTable()
    {
        for (int c = 0; c < 256; ++c) {
            const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
            kind[c] = start ? 3 : (c >= '0' && c <= '9') || c == '.' || c == '-' ? 2 : 0;
        }
    }
};
constexpr NameTable kNames;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isNameStart(char c) { return kNames.kind[uint8_t(c)] & 1; }
bool isNameChar(char c) { return kNames.kind[uint8_t(c)] & 2; }

// The length of a UTF-8 sequence that expat takes for a character XML allows, else 0.
size_t validSequence(const uint8_t *at, const uint8_t *end)
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

void appendUtf8(std::string &out, uint32_t code)
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

bool isXmlChar(uint32_t code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

struct Scope {
    std::string_view prefix; // empty for the default namespace
    const Binding *ns;       // null: the default namespace undeclared
};

struct Attr {
    std::string_view prefix, local, qname;
    std::string_view value; // the packet's bytes, or a decoded copy in scratch memory
};

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
constexpr Plain kPlain;

} // namespace

struct QuickWork {
    std::vector<Scope> scopes;
    std::vector<std::pair<std::string_view, size_t>> open; // an element's name, and scopes before it
    std::vector<Attr> attrs;
    std::string decoded;
};

QuickWork *newQuickWork() { return new QuickWork; }
void deleteQuickWork(QuickWork *work) { delete work; }

namespace {

class QuickReader {
public:
    QuickReader(const char *text, size_t size, TreeSink &sink, QuickWork &work, bool toolkitReferences)
        : at_(text), end_(text + size), sink_(sink), work_(work), toolkitReferences_(toolkitReferences)
    {
        work_.scopes.clear();
        work_.open.clear();
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
            if (seenRoot || !isNameStart(at_[1]))
                return false; // a second root, a comment, a document type
            seenRoot = true;
            if (!startTag() || !content())
                return false;
        }
    }

private:
    bool more(size_t n = 1) const { return size_t(end_ - at_) >= n; }

    // Past white space; a packet's padding, spaces by the thousand, 32 at a time.
    void skipSpaces()
    {
        constexpr uint64_t kSpaces = 0x2020202020202020ull;
        const char *p = at_;
        while (end_ - p >= 32) {
            uint64_t words[4];
            std::memcpy(words, p, 32);
            if (((words[0] ^ kSpaces) | (words[1] ^ kSpaces) | (words[2] ^ kSpaces) | (words[3] ^ kSpaces)) != 0)
                break;
            p += 32;
        }
        while (end_ - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if (word != kSpaces)
                break;
            p += 8;
        }
        while (p < end_ && isSpace(*p))
            ++p;
        at_ = p;
    }

    // An ASCII name, with at most one colon between two parts.
    bool qname(std::string_view &prefix, std::string_view &local, std::string_view &whole)
    {
        const char *start = at_;
        const char *colon = nullptr;
        if (!more() || !isNameStart(*at_))
            return false;
        while (true) {
            const char *p = at_;
            while (p < end_ && isNameChar(*p))
                ++p;
            at_ = p;
            if (at_ == end_ || *at_ != ':')
                break;
            if (colon != nullptr || at_ + 1 == end_ || !isNameStart(at_[1]))
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
        if (digits == 0 || digits > 8 || digit == end_ || *digit != ';' || !isXmlChar(code))
            return false;
        appendUtf8(out, code);
        at_ = digit + 1;
        return true;
    }

    // Past the bytes that stand for themselves: those of the table and whole UTF-8 characters;
    // false at a sequence that is none.
    // Eight bytes at a time while none of them is special to the table's kind of text: below
    // 0x20 or above 0x7E, '<', '&', and the quote or ']' the table names.
    static bool plainWord(uint64_t word, char quoteOrBracket)
    {
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
        const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
        const uint64_t special = ((word - kOnes * 0x20) | (word + kOnes * 0x01) | word) & kHighs;
        return special == 0 && hasZero(word ^ (kOnes * '<')) == 0 && hasZero(word ^ (kOnes * '&')) == 0 &&
               hasZero(word ^ (kOnes * uint8_t(quoteOrBracket))) == 0;
    }

    bool skip(const bool (&plain)[256], char quoteOrBracket)
    {
        const char *p = at_;
        for (uint64_t word; end_ - p >= 8; p += 8) {
            std::memcpy(&word, p, 8);
            if (!plainWord(word, quoteOrBracket))
                break;
        }
        while (p < end_) {
            const auto c = uint8_t(*p);
            if (plain[c]) {
                ++p;
            } else if (c >= 0x80) {
                const size_t length = validSequence(reinterpret_cast<const uint8_t *>(p), reinterpret_cast<const uint8_t *>(end_));
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
        const size_t length = validSequence(reinterpret_cast<const uint8_t *>(at_), reinterpret_cast<const uint8_t *>(end_));
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
        if (!skip(kPlain.value, quote))
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
            } else if (kPlain.value[uint8_t(c)] || c == '"' || c == '\'') {
                decoded += c;
                ++at_;
            } else {
                return false; // '<', or a control character the toolkit mends
            }
        }
        return false;
    }

    // The namespace of a prefix in scope, null for none; false for a prefix never declared.
    bool lookup(std::string_view prefix, const Binding *&ns)
    {
        if (prefix == "xml") {
            if (xmlNamespace_ == nullptr)
                xmlNamespace_ = sink_.namespaceOf(kXmlNamespace);
            ns = xmlNamespace_;
            return true;
        }
        for (size_t i = work_.scopes.size(); i-- > 0;)
            if (sameText(work_.scopes[i].prefix, prefix)) {
                ns = work_.scopes[i].ns;
                return true;
            }
        ns = nullptr;
        return prefix.empty(); // no default namespace is no namespace
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
            Attr attr;
            if (at_ == before || !qname(attr.prefix, attr.local, attr.qname))
                return false;
            skipSpaces();
            if (!more() || *at_++ != '=')
                return false;
            skipSpaces();
            if (!more() || (*at_ != '"' && *at_ != '\''))
                return false;
            if (!value(attr.value))
                return false;
            // Two attributes of one local name may be one after namespaces: expat decides.
            for (const Attr &other : work_.attrs)
                if (sameText(other.local, attr.local))
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
            const bool isDefault = attr.prefix.empty() && attr.local == "xmlns";
            if (!isDefault && attr.prefix != "xmlns") {
                ++count;
                continue;
            }
            const std::string_view declared = isDefault ? std::string_view() : attr.local;
            const std::string_view uri = attr.value;
            if (declared == "xml" || declared == "xmlns" || uri == kXmlNamespace || uri == kXmlnsNamespace)
                return false; // expat's rules for the reserved names
            if (uri.empty() && !isDefault)
                return false;
            const Binding *ns = nullptr;
            if (!uri.empty() && (ns = sink_.declare(declared, uri)) == nullptr)
                return false;
            work_.scopes.push_back({declared, ns});
        }
        const Binding *ns;
        if (prefix == "xmlns" || !lookup(prefix, ns) || !sink_.startElement(ns, prefix, ns == nullptr ? whole : local, count))
            return false;
        size_t i = 0;
        for (const Attr &attr : work_.attrs) {
            if ((attr.prefix.empty() && attr.local == "xmlns") || attr.prefix == "xmlns")
                continue;
            const Binding *attrNs = nullptr;
            if (!attr.prefix.empty() && !lookup(attr.prefix, attrNs))
                return false;
            if (!sink_.attribute(i++, attrNs, attr.prefix, attrNs == nullptr ? attr.qname : attr.local, attr.value))
                return false;
        }
        if (empty) {
            sink_.endElement();
            work_.scopes.resize(mark);
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
        if (!more(name.size() + 1) || std::memcmp(at_, name.data(), name.size()) != 0 || isNameChar(at_[name.size()]) ||
            at_[name.size()] == ':')
            return false;
        at_ += name.size();
        skipSpaces();
        if (!more() || *at_++ != '>')
            return false;
        sink_.endElement();
        work_.scopes.resize(work_.open.back().second);
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
            if (!more() || !isSpace(*at_))
                return false;
            skipSpaces();
            const char *start = at_;
            while (!more(2) || at_[0] != '?' || at_[1] != '>') {
                if (!more())
                    return false;
                const auto c = uint8_t(*at_);
                if (c >= 0x80) {
                    const size_t length = validSequence(reinterpret_cast<const uint8_t *>(at_), reinterpret_cast<const uint8_t *>(end_));
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
        if (whole == "xpacket")
            sink_.instruction(data);
        return true;
    }

    // The root element's content, up to its end tag.
    bool content()
    {
        std::string &decoded = work_.decoded;
        while (!work_.open.empty()) {
            const char *run = at_;
            if (!skip(kPlain.text, ']'))
                return false;
            if (at_ != run)
                sink_.text(run, size_t(at_ - run), true);
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
            sink_.text(decoded.data(), decoded.size(), false);
        }
        return true;
    }

    const char *at_;
    const char *end_;
    TreeSink &sink_;
    QuickWork &work_;
    bool toolkitReferences_;
    const Binding *xmlNamespace_ = nullptr;
};

} // namespace

bool buildQuick(const char *text, size_t size, TreeSink &sink, QuickWork &work, bool toolkitReferences)
{
    // Shorter packets take the toolkit's path for short input, which expat follows.
    if (size < 16)
        return false;
    return QuickReader(text, size, sink, work, toolkitReferences).read();
}

} // namespace xmp
} // namespace zudorhost
