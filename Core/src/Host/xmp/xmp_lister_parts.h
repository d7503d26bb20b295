// What the lister's stages share: scratch memory, the XML tree the parser builds, the property
// tree the RDF reading builds, the namespace registry of one packet, and the fixed tables.
// Every stage answers false when the toolkit would refuse the packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "xmp/xmp_lister.h"

struct XML_ParserStruct;

namespace zudorhost {
namespace xmp {

// Bump allocation for one packet's work, taken back whole by reset(). Throws std::bad_alloc
// when the C allocator does.
class Scratch {
public:
    Scratch() = default;
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    void *take(size_t bytes)
    {
        bytes = (bytes + 7) & ~size_t(7);
        if (size_t(end_ - top_) < bytes)
            grow(bytes);
        void *block = top_;
        top_ += bytes;
        return block;
    }
    template <typename T>
    T *make()
    {
        return new (take(sizeof(T))) T; // the members' own initialisers, not a memset
    }
    // A copy that ends with a NUL, which the views below do not count.
    std::string_view copy(const char *text, size_t size);
    std::string_view join(std::string_view a, std::string_view b);
    void reset();

private:
    struct Chunk {
        Chunk *next;
        size_t size;
    };
    void grow(size_t bytes);

    Chunk *chunks_ = nullptr; // newest first
    Chunk *spare_ = nullptr;
    char *top_ = nullptr;
    char *end_ = nullptr;
};

// Equality of short strings, the names and prefixes compared at every element, without a
// call into the C library for each: a word at a time, the last word overlapping the one before.
inline bool sameText(std::string_view a, std::string_view b)
{
    size_t n = a.size();
    if (n != b.size())
        return false;
    const char *p = a.data(), *q = b.data();
    const auto same = [](const char *x, const char *y, auto word) {
        std::memcpy(&word, x, sizeof word);
        auto other = word;
        std::memcpy(&other, y, sizeof other);
        return word == other;
    };
    if (n >= 8) {
        for (; n > 8; n -= 8, p += 8, q += 8)
            if (!same(p, q, uint64_t()))
                return false;
        return same(a.data() + a.size() - 8, b.data() + b.size() - 8, uint64_t());
    }
    if (n >= 4)
        return same(p, q, uint32_t()) && same(p + n - 4, q + n - 4, uint32_t());
    for (size_t i = 0; i < n; ++i)
        if (p[i] != q[i])
            return false;
    return true;
}

// Eight bytes as a little-endian word: one load at run time where the machine allows.
constexpr uint64_t wordAt(std::string_view text, size_t at)
{
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (!__builtin_is_constant_evaluated()) {
        uint64_t word = 0;
        std::memcpy(&word, text.data() + at, 8);
        return word;
    }
#endif
    uint64_t word = 0;
    for (size_t i = 0; i < 8; ++i)
        word |= uint64_t(uint8_t(text[at + i])) << (8 * i);
    return word;
}

// A hash of a name or URI, a word at a time; the same at compile time as at run time.
constexpr uint64_t textHash(std::string_view text)
{
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ text.size();
    size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        const uint64_t word = wordAt(text, at);
        hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
    }
    uint64_t word = 0;
    for (size_t i = 0; at + i < text.size(); ++i)
        word |= uint64_t(uint8_t(text[at + i])) << (8 * i);
    hash = (hash ^ word) * 0xC4CEB9FE1A85EC53ull;
    return hash ^ (hash >> 29);
}

// ---- The XML tree ----

struct XmlAttr {
    std::string_view ns;   // the namespace URI, empty for none
    std::string_view name; // the toolkit's name: registered prefix, ':', local name
    std::string_view value;
};

struct XmlNode {
    enum Kind : uint8_t { Root, Element, Text, Instruction };
    Kind kind = Element;
    bool blank = false; // text of spaces, tabs and line ends only
    uint32_t attrCount = 0;
    std::string_view ns, name, value;
    XmlAttr *attrs = nullptr;
    XmlNode *parent = nullptr;
    XmlNode *first = nullptr; // content, in document order
    XmlNode *last = nullptr;
    XmlNode *next = nullptr;
};

// ---- The property tree ----

enum : uint32_t {
    kValueIsUri = 0x2,
    kHasQualifiers = 0x10,
    kIsQualifier = 0x20,
    kHasLang = 0x40,
    kHasType = 0x80,
    kIsStruct = 0x100,
    kIsArray = 0x200,
    kIsOrdered = 0x400,
    kIsAlternate = 0x800,
    kIsAltText = 0x1000,
    kIsAlias = 0x10000,
    kHasAliases = 0x20000,
    kHasValueElement = 0x10000000, // a struct with an rdf:value field, until it is folded
    kIsSchema = 0x80000000,

    kArrayForm = kIsArray | kIsOrdered | kIsAlternate | kIsAltText,
    kComposite = kIsStruct | kArrayForm,
};

struct Prop;

// A vector of nodes in scratch memory.
struct PropList {
    Prop **items = nullptr;
    uint32_t size = 0;
    uint32_t capacity = 0;

    Prop *operator[](size_t i) const { return items[i]; }
    bool empty() const { return size == 0; }
    void insert(Scratch &scratch, size_t at, Prop *node);
    void push(Scratch &scratch, Prop *node) { insert(scratch, size, node); }
    void erase(size_t at);
};

// A schema (name: its URI), a property, an array item (name "[]") or a qualifier.
struct Prop {
    std::string_view name;
    std::string_view value;
    uint32_t options = 0;
    Prop *parent = nullptr;
    PropList children;
    PropList qualifiers;
};

constexpr std::string_view kItemName = "[]";

// ---- Fixed tables (xmp_namespaces.cpp) ----

extern const std::string_view kRdfUri;
extern const std::string_view kXmlUri;
extern const std::string_view kDcUri;
extern const std::string_view kExifUri;
extern const std::string_view kDmUri;
extern const std::string_view kRightsUri;
extern const std::string_view kMmUri;

struct KnownNamespace {
    std::string_view uri;
    std::string_view prefix; // with its ':'
};
// The registered namespace for uri, or null.
const KnownNamespace *knownNamespaceByUri(std::string_view uri);
bool knownPrefix(std::string_view prefix);

struct Alias {
    std::string_view name;     // the alias, e.g. "tiff:Artist"
    std::string_view baseUri;
    std::string_view baseName; // e.g. "dc:creator"
    uint32_t arrayForm;        // 0 for a property standing for a property, else the array's form
};
const Alias *findAlias(std::string_view name);

// ---- One packet's namespaces (xmp_xml_tree.cpp) ----

struct Binding {
    std::string_view uri;    // canonical: the table's string for a known namespace
    std::string_view prefix; // with its ':'
};

// The well-known namespaces and then the packet's own declarations, in the order met.
class Registry {
public:
    void reset() { bindings_.clear(); }
    // Registers uri under suggested (without ':'), or under the first of suggested_1_,
    // suggested_2_, ... that is free; null if suggested is no XML name.
    const Binding *define(std::string_view uri, std::string_view suggested, Scratch &scratch);
    // The binding of a namespace the packet declared (or the XML namespace), or null.
    const Binding *find(std::string_view uri);

private:
    bool prefixTaken(std::string_view prefix) const;
    std::deque<Binding> bindings_; // stays where it is as it grows
};

// ---- Stages ----

struct XmlTree {
    XmlNode root;
    XmlNode *lastRdf = nullptr; // the last rdf:RDF element
    size_t rdfCount = 0;
    size_t nodeCount = 0;       // elements and attributes
};

// The rdf:RDF element to read, or null when there is none inside an x:xmpmeta.
const XmlNode *findRdfRoot(const XmlTree &tree);

// The names of one packet's elements and attributes, as the toolkit writes them: the registered
// prefix and the local name. The names and values a sink is handed must outlive its reading
// (the packet's own bytes, or copies in scratch memory); text may be passed as transient.
class NameSink {
public:
    NameSink(Scratch &scratch, Registry &registry) : scratch_(scratch), registry_(registry) {}

    Scratch &scratch() { return scratch_; }
    // A namespace declaration: prefix empty for the default namespace, uri not empty. Null
    // where the toolkit gives up on it.
    const Binding *declare(std::string_view prefix, std::string_view uri);
    // The binding of a namespace the packet declared, null if there is none.
    const Binding *namespaceOf(std::string_view uri);

protected:
    // An element's or attribute's namespace and name; parent is the element's name for an
    // attribute.
    void qualify(const Binding *ns, std::string_view prefix, std::string_view local, std::string_view parent,
                 std::string_view &nsOut, std::string_view &nameOut);

    Scratch &scratch_;
    Registry &registry_;
};

// Builds the XML tree from a parser's events, as the toolkit's adapter builds its own: text
// runs, elements with their attributes in document order, the packet wrapper's instructions
// (xmp_xml_tree.cpp). Every handler answers true: the tree takes whatever the parser passes.
class TreeSink : public NameSink {
public:
    TreeSink(Scratch &scratch, XmlTree &tree, Registry &registry, std::vector<XmlNode *> &open, std::string &text);

    // An element (ns null for none; prefix as the packet wrote it, or empty when unknown) and
    // then each of its attributes; false where the toolkit gives up.
    bool startElement(const Binding *ns, std::string_view prefix, std::string_view local, size_t attributes);
    bool attribute(size_t i, const Binding *ns, std::string_view prefix, std::string_view local,
                   std::string_view value);
    bool endElement();
    bool text(const char *text, size_t size, bool lasting)
    {
        if (!textOpen_ && lasting) {
            run_ = std::string_view(text, size);
            single_ = true;
        } else {
            if (!textOpen_)
                text_.clear();
            else if (single_)
                text_.assign(run_);
            single_ = false;
            text_.append(text, size);
        }
        textOpen_ = true;
        return true;
    }
    bool instruction(std::string_view data);

private:
    void flushText();
    void append(XmlNode *node);

    XmlTree &tree_;
    std::vector<XmlNode *> &open_;
    std::string &text_;
    std::string_view run_; // the text so far, while it is one lasting run
    std::string_view pendingBlank_; // blank text alone in the innermost element so far
    bool single_ = false;
    bool textOpen_ = false;
};

struct QuickWork;

// Deeper packets are refused rather than read on a stack that could run out; no packet a
// program writes comes near it (the toolkit itself crashes some tens of thousands deeper).
constexpr size_t kMaxDepth = 1000;

// Runs a packet through the XML parser and builds its tree (xmp_xml_tree.cpp), keeping the
// parser from one packet to the next. Most packets are plain enough for the quick reading of
// xmp_quick_xml.cpp; whatever that is unsure of goes to expat.
class TreeBuilder {
public:
    TreeBuilder();
    ~TreeBuilder();
    TreeBuilder(const TreeBuilder &) = delete;
    TreeBuilder &operator=(const TreeBuilder &) = delete;

    enum Result { Built, Refused, OutOfMemory };
    // quick: whether to try the quick reading, which a caller that saw it stop need not.
    Result build(const char *text, size_t size, Scratch &scratch, XmlTree &tree, bool quick = true);
    void setToolkitReferences(bool asToolkit) { toolkitReferences_ = asToolkit; }
    // For the tests: whether the quick reading is tried first.
    void setQuick(bool quick) { quick_ = quick; }

    struct Events;

private:
    void reset(Scratch &scratch, XmlTree &tree);
    Result buildWithExpat(const char *text, size_t size, Scratch &scratch, XmlTree &tree);

    XML_ParserStruct *parser_ = nullptr;
    Registry registry_;
    std::vector<XmlNode *> open_;
    std::string text_;
    QuickWork *quickWork_ = nullptr;
    unsigned long salt_ = 0;
    bool toolkitReferences_ = false;
    bool quick_ = true;
};

// The quick reading of a plain packet (xmp_quick_xml.cpp): UTF-8 without a declaration or a
// document type, ASCII names, no CDATA or comments, nothing the toolkit would mend. Builds the
// tree expat's events would build and answers true, or answers false, having built part of
// it, for any packet it is unsure of.
bool buildQuick(const char *text, size_t size, TreeSink &sink, QuickWork &work, bool toolkitReferences);
QuickWork *newQuickWork();
void deleteQuickWork(QuickWork *work);

// The direct reading (xmp_direct.cpp): the quick reading of a plain packet whose RDF is plain
// too, listed as its bytes are read, without the XML tree, the property tree or the walk
// between them. It lists what those would list, or leaves the packet to them.
struct DirectWork;
DirectWork *newDirectWork();
void deleteDirectWork(DirectWork *work);
enum class DirectResult {
    Listed,   // out holds the listing, count its properties
    Declined, // the packet needs the trees; out holds nothing of use
    NotQuick  // the quick reading itself stopped: the packet needs expat
};
DirectResult listDirect(const char *text, size_t size, DirectWork &work, QuickWork &quick, Scratch &scratch,
                        OutputBuffer &out, size_t &count, size_t limit, bool toolkitReferences);

// The length of a character reference that the toolkit turns into a space before parsing
// (xmp_text_feed.cpp), or 0.
size_t spacedReferenceLength(const uint8_t *at, const uint8_t *end, bool toolkitReferences);

// Hands a packet's bytes to the parser the way the toolkit does (xmp_text_feed.cpp): a
// packet that does not look like UTF-8 goes as it is, one that does has its stray bytes
// mended first. False as soon as the parser reports an error.
// toolkitReferences: every "&#xN;" and "&#xNN;" becomes a space, not only the forbidden ones.
bool feedPacket(XML_ParserStruct *parser, const char *text, size_t size, bool toolkitReferences);

// Where the reading looks up the names a node already has, to refuse a duplicate.
struct NameKey {
    const Prop *child = nullptr; // whose parent and name the key stands for
    uint32_t hash = 0;
    uint32_t round = 0;          // a key of an earlier packet's is free
};
struct NameIndex {
    std::vector<NameKey> keys;
    uint32_t round = 0;
};

// Reads the rdf:RDF element into tree (xmp_rdf.cpp).
bool readRdf(const XmlNode &rdf, Prop &tree, size_t nodeCount, Scratch &scratch, NameIndex &index);

// The toolkit's repairs after reading (xmp_touch_up.cpp).
bool touchUp(Prop &tree, Scratch &scratch);
// The array form a Dublin Core property written as a single value takes, or 0.
uint32_t dcArrayForm(std::string_view name);
// An rdf:about the toolkit takes for an old instance ID, which moves to xmpMM:InstanceID.
bool looksLikeUuid(std::string_view about);

// Node helpers shared by the stages (xmp_rdf.cpp).
Prop *newProp(Scratch &scratch, Prop *parent, std::string_view name, std::string_view value,
              uint32_t options);
Prop *findSchema(Prop &tree, std::string_view uri, Scratch *create);
Prop *findChild(const Prop &parent, std::string_view name);
void addLangQualifier(Scratch &scratch, Prop &node, std::string_view lang);
// The index of the first item whose xml:lang is lang, -1 if none; false when node is no array.
bool findLangItem(const Prop &array, std::string_view lang, long &index);
void normaliseLang(char *lang, size_t size);

// exif:GPSTimeStamp holding a time alone takes its date from another exif date
// (xmp_gps_time.cpp); an empty string when it keeps its value.
std::string_view gpsTimeWithDate(std::string_view time, std::string_view date, Scratch &scratch);

} // namespace xmp
} // namespace zudorhost
