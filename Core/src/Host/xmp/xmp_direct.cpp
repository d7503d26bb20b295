// The direct reading of a plain packet: the quick reading's events turned into the listing as
// they come, with no XML tree, no property tree and no walk of either. A simple value goes from
// the packet's bytes (or the reader's decoding of them) into the listing once; a path is built
// once, in one buffer, as elements open and close.
//
// It reads the RDF the way the tree stages do (xmp_rdf.cpp, xmp_touch_up.cpp, the listing
// writer in xmp_lister.cpp) for the forms writers use: descriptions with properties as
// attributes and elements, literals, empty elements with attributes, rdf:parseType="Resource",
// nested descriptions, Bag, Seq and Alt, language alternatives, Dublin Core properties written
// as single values. At anything else, and at anything the toolkit would refuse, it declines,
// and the trees read the packet from the start: typed nodes, rdf:value, rdf:datatype with
// markup, aliases, the properties the toolkit mends after reading, an rdf:RDF that is not the
// only one or is not in an x:xmpmeta, a listing past the limit. So a packet lists the same
// whichever way it is read; the fuzz target and the sameness tests hold the two side by side.
#include "xmp/xmp_quick_reader.h"

namespace zudorhost {
namespace xmp {

namespace {

// Deeper packets go to the trees, which keep the toolkit's own limit.
constexpr size_t kMaxDirectDepth = 200;
// A struct's fields up to this many are told apart by comparing them.
constexpr size_t kFewFields = 16;

bool startsWith(std::string_view text, std::string_view start)
{
    return text.size() >= start.size() && std::memcmp(text.data(), start.data(), start.size()) == 0;
}

// A copy without a call into the C library, which costs more than the copy for the few dozen
// bytes of most paths and values: two fixed-size moves that may overlap.
void copyBytes(char *to, const char *from, size_t size)
{
    const auto two = [&](auto word) {
        constexpr size_t n = sizeof word;
        std::memcpy(&word, from, n);
        std::memcpy(to, &word, n);
        std::memcpy(&word, from + size - n, n);
        std::memcpy(to + size - n, &word, n);
    };
    struct Block {
        uint64_t a, b;
    };
    if (size >= 16 && size <= 32)
        two(Block());
    else if (size >= 8 && size < 16)
        two(uint64_t());
    else if (size >= 4 && size < 8)
        two(uint32_t());
    else if (size > 32)
        std::memcpy(to, from, size);
    else
        for (size_t i = 0; i < size; ++i)
            to[i] = from[i];
}

bool isBlank(const char *text, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        if (!quick::isSpace(text[i]))
            return false;
    return true;
}

// rdf:_1, rdf:_2, ... stand for rdf:li in an array.
bool isItemName(std::string_view name)
{
    if (sameText(name, "rdf:li"))
        return true;
    if (name.size() <= 5 || !startsWith(name, "rdf:_"))
        return false;
    for (char c : name.substr(5))
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Top-level properties the toolkit moves or mends after reading: aliases, and the few its
// repairs look for.
bool mendedAfterReading(std::string_view name)
{
    switch (name.empty() ? 0 : name[0]) {
    case 'e':
        if (sameText(name, "exif:GPSTimeStamp") || sameText(name, "exif:UserComment"))
            return true;
        break;
    case 'x':
        if (sameText(name, "xmpDM:copyright"))
            return true;
        break;
    case 'i':
        return sameText(name, "iX:changes");
    case 'p': case 't':
        break;
    default:
        return false;
    }
    return findAlias(name) != nullptr;
}

// Top-level arrays the toolkit turns into language alternatives when they are none.
bool mustBeAltText(std::string_view name)
{
    return sameText(name, "dc:title") || sameText(name, "dc:description") || sameText(name, "dc:rights") || sameText(name, "xmpRights:UsageTerms");
}

bool isDefaultLang(std::string_view lang)
{
    constexpr std::string_view kDefault = "x-default";
    if (lang.size() != kDefault.size())
        return false;
    for (size_t i = 0; i < lang.size(); ++i)
        if ((lang[i] >= 'A' && lang[i] <= 'Z' ? char(lang[i] + 0x20) : lang[i]) != kDefault[i])
            return false; // the toolkit lowers the case of everything but a region
    return true;
}

} // namespace

struct DirectWork {
    enum class Kind : uint8_t {
        Outside, // outside the rdf:RDF that is read: not listed
        Meta,    // x:xmpmeta, outside the rdf:RDF
        Rdf,     // rdf:RDF: descriptions
        Node,    // a description, or a property of rdf:parseType="Resource": properties or fields
        Array,   // rdf:Bag, rdf:Seq or rdf:Alt: items
        Open,    // a property element without the attributes that decide: its content does
        Literal, // a property element given rdf:datatype: text only
        Empty,   // a property element whose attributes said all: nothing inside
        Done,    // a property element after its one description or array: blank text only
    };
    struct Frame {
        Kind kind = Kind::Outside;
        bool topNode = false;  // Node: a top-level description, whose children are top-level properties
        bool top = false;      // a top-level property
        bool property = false; // its end ends a property
        bool item = false;     // a property that is an array item
        bool simple = false;   // a property with a value of its own
        bool lang = false;     // a property with xml:lang
        bool isDefault = false;
        bool dcItem = false;   // a top-level Dublin Core value listed as the first item of its array
        bool altText = false;  // Array: every item so far simple with a language; Done: it was one
        bool mustBeAltText = false;
        bool blank = true;     // Open: its text so far
        bool alt = false;      // Array: rdf:Alt
        uint32_t path = 0;     // the length of its path
        uint32_t id = 0;       // Node: whom its fields' names are claimed under, once they are many
        uint32_t fields = 0;   // Node: where its fields' names start in DirectWork::fields
        uint32_t items = 0;    // Array: items so far
        long firstDefault = -1; // Array: the first item in x-default
        size_t entry = 0;      // Open, Literal: the offset of the entry its text goes to; Array: of its first
    };
    struct NameSlot {
        std::string_view name;
        uint64_t hash = 0;
        uint32_t parent = 0;
        uint32_t round = 0; // a slot of an earlier packet's is free
    };
    struct Span { // a top-level property's entries
        uint32_t schema;
        size_t begin, end;
    };

    Registry registry;
    std::vector<Frame> frames;
    OutputBuffer path;
    std::vector<NameSlot> names;               // top-level names, and the fields of large structs
    std::vector<std::string_view> fields;     // the fields of the structs open, each struct's together
    size_t namesUsed = 0;
    uint32_t round = 0;
    std::vector<std::string_view> schemas;
    std::vector<Span> spans;
    std::vector<size_t> schemaStarts;
    std::vector<std::string_view> values;
    OutputBuffer reordered;
};

DirectWork *newDirectWork() { return new DirectWork; }
void deleteDirectWork(DirectWork *work) { delete work; }

namespace {

class DirectSink : public NameSink {
public:
    using Kind = DirectWork::Kind;
    using Frame = DirectWork::Frame;

    DirectSink(Scratch &scratch, DirectWork &work, OutputBuffer &out, size_t limit)
        : NameSink(scratch, work.registry), work_(work), out_(out), limit_(limit)
    {
        work_.registry.reset();
        work_.frames.assign(1, Frame());
        work_.path.clear();
        work_.schemas.clear();
        work_.spans.clear();
        if (++work_.round == 0 || work_.names.empty()) {
            work_.names.assign(std::max<size_t>(work_.names.size(), 256), DirectWork::NameSlot());
            work_.round = 1;
        }
        work_.namesUsed = 0;
        work_.fields.clear();
        out_.clear();
    }

    bool declined() const { return declined_; }
    size_t count() const { return count_; }

    // The quick reader's events.
    bool startElement(const Binding *ns, std::string_view prefix, std::string_view local, size_t attributes)
    {
        qualify(ns, prefix, local, {}, elementNs_, element_);
        attrs_.clear();
        attrCount_ = attributes;
        return attributes != 0 || open();
    }
    bool attribute(size_t i, const Binding *ns, std::string_view prefix, std::string_view local, std::string_view value)
    {
        Attr &attr = attrs_.emplace_back();
        qualify(ns, prefix, local, element_, attr.ns, attr.name);
        attr.value = value;
        return i + 1 != attrCount_ || open();
    }
    bool endElement() { return close(); }
    bool text(const char *text, size_t size, bool)
    {
        Frame &frame = work_.frames.back();
        switch (frame.kind) {
        case Kind::Outside:
        case Kind::Meta:
            return true;
        case Kind::Open:
            frame.blank = frame.blank && isBlank(text, size);
            [[fallthrough]];
        case Kind::Literal:
            copyBytes(out_.reserve(size), text, size);
            out_.commit(size);
            return true;
        case Kind::Empty:
            return decline();
        default:
            return isBlank(text, size) || decline();
        }
    }
    bool instruction(std::string_view)
    {
        const Kind kind = work_.frames.back().kind;
        return kind == Kind::Outside || kind == Kind::Meta || decline();
    }

    // After the whole packet: the top-level properties grouped by schema, in the order the
    // schemas first appeared.
    bool finish()
    {
        if (looksLikeUuid(about_))
            return decline(); // the toolkit moves it to xmpMM:InstanceID
        uint32_t last = 0;
        bool sorted = true;
        for (const DirectWork::Span &span : work_.spans) {
            if (span.begin == span.end)
                continue;
            sorted = sorted && span.schema >= last;
            last = span.schema;
        }
        if (sorted)
            return true;
        // Where each schema's entries start in the new order, then each span to its place.
        std::vector<size_t> &at = work_.schemaStarts;
        at.assign(work_.schemas.size() + 1, 0);
        for (const DirectWork::Span &span : work_.spans)
            at[span.schema + 1] += span.end - span.begin;
        for (size_t i = 1; i < at.size(); ++i)
            at[i] += at[i - 1];
        OutputBuffer &reordered = work_.reordered;
        reordered.clear();
        char *to = reordered.reserve(out_.size());
        for (const DirectWork::Span &span : work_.spans) {
            if (span.begin == span.end)
                continue;
            std::memcpy(to + at[span.schema], out_.data() + span.begin, span.end - span.begin);
            at[span.schema] += span.end - span.begin;
        }
        reordered.commit(out_.size());
        out_.swap(reordered);
        return true;
    }

private:
    struct Attr {
        std::string_view ns, name, value;
    };

    bool decline()
    {
        declined_ = true;
        return false;
    }

    Frame &push(Kind kind)
    {
        Frame &frame = work_.frames.emplace_back();
        frame.kind = kind;
        return frame;
    }

    // ---- Names and paths ----

    // False when the node already has a child of this name. A struct's few fields are
    // compared with one another, close at hand; the top level's and a large struct's names go
    // in the table.
    bool claim(const Frame &node, std::string_view name)
    {
        if (node.topNode)
            return claimInTable(0, name);
        std::vector<std::string_view> &fields = work_.fields;
        const size_t count = fields.size() - node.fields;
        if (count < kFewFields) {
            for (size_t i = node.fields; i < fields.size(); ++i)
                if (sameText(fields[i], name))
                    return false;
            fields.push_back(name);
            return true;
        }
        if (count == kFewFields) {
            for (size_t i = node.fields; i < fields.size(); ++i)
                claimInTable(node.id, fields[i]);
            fields.push_back({}); // from here on the table holds them
        }
        return claimInTable(node.id, name);
    }

    bool claimInTable(uint32_t parent, std::string_view name)
    {
        const uint64_t hash = textHash(name) ^ (uint64_t(parent) * 0x9E3779B97F4A7C15ull);
        std::vector<DirectWork::NameSlot> &names = work_.names;
        const size_t mask = names.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            DirectWork::NameSlot &slot = names[i];
            if (slot.round != work_.round) {
                slot = {name, hash, parent, work_.round};
                if (++work_.namesUsed * 2 > names.size())
                    growNames();
                return true;
            }
            if (slot.hash == hash && slot.parent == parent && sameText(slot.name, name))
                return false;
        }
    }

    void growNames()
    {
        std::vector<DirectWork::NameSlot> old(work_.names.size() * 2);
        old.swap(work_.names);
        const size_t mask = work_.names.size() - 1;
        for (const DirectWork::NameSlot &slot : old) {
            if (slot.round != work_.round)
                continue;
            size_t i = slot.hash & mask;
            while (work_.names[i].round == work_.round)
                i = (i + 1) & mask;
            work_.names[i] = slot;
        }
    }

    uint32_t schemaOf(std::string_view uri)
    {
        // Mostly the namespace of the property before; a namespace's URI is one string.
        std::vector<std::string_view> &schemas = work_.schemas;
        if (lastSchema_ < schemas.size() && schemas[lastSchema_].data() == uri.data())
            return lastSchema_;
        for (size_t i = schemas.size(); i-- > 0;)
            if ((schemas[i].data() == uri.data() && schemas[i].size() == uri.size()) || schemas[i] == uri)
                return lastSchema_ = uint32_t(i);
        schemas.push_back(uri);
        return lastSchema_ = uint32_t(schemas.size() - 1);
    }

    // The path of a child of the node whose path is parent: a field, an item, or a top-level
    // property; its length.
    uint32_t childPath(const Frame &parent, std::string_view name, uint32_t item)
    {
        OutputBuffer &path = work_.path;
        path.truncate(parent.path);
        if (item != 0) {
            char digits[16], *first = digits + sizeof digits;
            *--first = ']';
            for (uint32_t n = item; n != 0; n /= 10)
                *--first = char('0' + n % 10);
            *--first = '[';
            path.append(first, size_t(digits + sizeof digits - first));
        } else {
            if (!parent.topNode)
                path.push('/');
            path.append(name.data(), name.size());
        }
        return uint32_t(path.size());
    }

    // ---- The listing ----

    bool room(size_t bytes) { return bytes <= limit_ - std::min(limit_, out_.size()) || decline(); }

    bool entry(size_t pathLength, std::string_view value)
    {
        const size_t size = 8 + pathLength + value.size() + 2;
        if (!room(size))
            return false;
        char *at = out_.reserve(size);
        const uint32_t lengths[2] = {uint32_t(pathLength), uint32_t(value.size())};
        std::memcpy(at, lengths, 8);
        copyBytes(at + 8, work_.path.data(), pathLength);
        at[8 + pathLength] = '\0';
        copyBytes(at + 9 + pathLength, value.data(), value.size());
        at[size - 1] = '\0';
        out_.commit(size);
        ++count_;
        return true;
    }

    // An entry whose value is the text that follows; its offset.
    size_t beginEntry(size_t pathLength)
    {
        const size_t at = out_.size();
        char *to = out_.reserve(9 + pathLength);
        const uint32_t length = uint32_t(pathLength);
        std::memcpy(to, &length, 4);
        copyBytes(to + 8, work_.path.data(), pathLength);
        to[8 + pathLength] = '\0';
        out_.commit(9 + pathLength);
        return at;
    }

    bool endEntry(size_t at)
    {
        uint32_t pathLength;
        std::memcpy(&pathLength, out_.data() + at, 4);
        const size_t value = out_.size() - (at + 9 + pathLength);
        if (!room(1) || value > UINT32_MAX)
            return false;
        const uint32_t valueLength = uint32_t(value);
        std::memcpy(out_.data() + at + 4, &valueLength, 4);
        out_.push('\0');
        ++count_;
        return true;
    }

    // ---- Elements ----

    bool open()
    {
        if (work_.frames.size() > kMaxDirectDepth)
            return decline();
        switch (work_.frames.back().kind) {
        case Kind::Outside:
        case Kind::Meta:
            return outside();
        case Kind::Rdf:
            return description();
        case Kind::Node:
            return property(false);
        case Kind::Array:
            return property(true);
        case Kind::Open:
            return nodeInProperty();
        default:
            return decline();
        }
    }

    bool outside()
    {
        if (sameText(element_, "rdf:RDF")) {
            // The only rdf:RDF, right inside x:xmpmeta; the trees settle any other.
            if (rdfSeen_ || work_.frames.back().kind != Kind::Meta || !attrs_.empty())
                return decline();
            rdfSeen_ = true;
            push(Kind::Rdf);
        } else {
            push(sameText(element_, "x:xmpmeta") || sameText(element_, "x:xapmeta") ? Kind::Meta : Kind::Outside);
        }
        return true;
    }

    bool description()
    {
        if (!sameText(element_, "rdf:Description"))
            return decline();
        Frame &node = push(Kind::Node);
        node.topNode = true;
        return nodeAttributes(node);
    }

    // A description's attributes: its identity, then properties or fields.
    bool nodeAttributes(const Frame &node)
    {
        bool identity = false;
        for (const Attr &attr : attrs_) {
            if (sameText(attr.name, "rdf:about") || sameText(attr.name, "rdf:ID") || sameText(attr.name, "rdf:nodeID")) {
                if (identity)
                    return decline();
                identity = true;
                if (node.topNode && sameText(attr.name, "rdf:about")) {
                    if (about_.empty())
                        about_ = attr.value;
                    else if (!attr.value.empty() && about_ != attr.value)
                        return decline();
                }
            } else if (!simpleChild(node, attr)) {
                return false;
            }
        }
        return true;
    }

    // A property or field given as an attribute.
    bool simpleChild(const Frame &node, const Attr &attr)
    {
        if (attr.ns.empty() || startsWith(attr.name, "rdf:") || (node.topNode && mendedAfterReading(attr.name)) ||
            !claim(node, attr.name))
            return decline();
        const size_t pathLength = childPath(node, attr.name, 0);
        if (!node.topNode)
            return entry(pathLength, attr.value);
        beginSpan(attr.ns);
        if (dcArrayForm(attr.name) != 0) {
            if (attr.value.empty())
                return true; // an empty array
            work_.path.append("[1]", 3);
            return entry(pathLength + 3, attr.value) && endSpan();
        }
        return entry(pathLength, attr.value) && endSpan();
    }

    // A property after one of the same schema lengthens its span.
    void beginSpan(std::string_view ns)
    {
        const uint32_t schema = schemaOf(ns);
        std::vector<DirectWork::Span> &spans = work_.spans;
        if (spans.empty() || spans.back().schema != schema || spans.back().end != out_.size())
            spans.push_back({schema, out_.size(), out_.size()});
    }
    bool endSpan()
    {
        work_.spans.back().end = out_.size();
        return true;
    }

    bool hasOnly(std::string_view allowed) const
    {
        for (const Attr &attr : attrs_)
            if (!sameText(attr.name, "xml:lang") && !sameText(attr.name, "rdf:ID") && attr.name != allowed)
                return false;
        return true;
    }

    std::string_view langOf() const
    {
        for (const Attr &attr : attrs_)
            if (sameText(attr.name, "xml:lang"))
                return attr.value;
        return {};
    }

    // A property element: a property, a field, or an item.
    bool property(bool item)
    {
        Frame &parent = work_.frames.back();
        const bool top = parent.kind == Kind::Node && parent.topNode;
        if (elementNs_.empty() || (item ? !isItemName(element_) : startsWith(element_, "rdf:")) ||
            (top && mendedAfterReading(element_)) || (!item && !claim(parent, element_)))
            return decline();
        if (item)
            ++parent.items;
        const uint32_t pathLength = childPath(parent, element_, item ? parent.items : 0);
        // Which form it is follows from its attributes, and failing those from its content.
        Kind form = Kind::Open;
        if (attrs_.size() > 3)
            form = Kind::Empty;
        for (const Attr &attr : attrs_) {
            if (form != Kind::Open)
                break;
            if (sameText(attr.name, "xml:lang") || sameText(attr.name, "rdf:ID"))
                continue;
            if (sameText(attr.name, "rdf:datatype"))
                form = Kind::Literal;
            else if (!sameText(attr.name, "rdf:parseType"))
                form = Kind::Empty;
            else if (sameText(attr.value, "Resource"))
                form = Kind::Node;
            else
                return decline();
        }
        if (top)
            beginSpan(elementNs_);
        Frame &frame = push(form);
        frame.property = true;
        frame.top = top;
        frame.item = item;
        frame.path = pathLength;
        frame.mustBeAltText = top && mustBeAltText(element_);
        const std::string_view lang = langOf();
        frame.lang = lang.data() != nullptr;
        frame.isDefault = frame.lang && isDefaultLang(lang);
        switch (form) {
        case Kind::Node:
            frame.id = ++ids_;
            frame.fields = uint32_t(work_.fields.size());
            return hasOnly("rdf:parseType") || decline();
        case Kind::Empty:
            return emptyProperty(frame);
        case Kind::Literal:
            if (!hasOnly("rdf:datatype"))
                return decline();
            break;
        default:
            break;
        }
        frame.simple = true;
        frame.dcItem = top && dcArrayForm(element_) != 0;
        if (frame.dcItem)
            work_.path.append("[1]", 3);
        frame.entry = beginEntry(work_.path.size());
        return true;
    }

    // No content: a value in rdf:value or rdf:resource, or a struct of the attributes, or an
    // empty value.
    bool emptyProperty(Frame &frame)
    {
        const Attr *valueAttr = nullptr;
        bool hasFields = false;
        for (const Attr &attr : attrs_) {
            if (attr.ns.empty())
                return decline();
            if (sameText(attr.name, "rdf:ID") || sameText(attr.name, "xml:lang"))
                continue;
            if (sameText(attr.name, "rdf:resource") || sameText(attr.name, "rdf:value")) {
                if (valueAttr != nullptr)
                    return decline();
                valueAttr = &attr;
            } else if (startsWith(attr.name, "rdf:")) {
                return decline(); // rdf:nodeID, or a term that has no place here
            } else {
                hasFields = true;
            }
        }
        if (valueAttr != nullptr || !hasFields) {
            frame.simple = true;
            const std::string_view value = valueAttr != nullptr ? valueAttr->value : std::string_view();
            if (frame.top && dcArrayForm(element_) != 0) {
                if (value.empty())
                    return true;
                work_.path.append("[1]", 3);
            }
            return entry(work_.path.size(), value);
        }
        for (const Attr &attr : attrs_)
            if (!sameText(attr.name, "rdf:ID") && !sameText(attr.name, "xml:lang") && !entry(childPath(frame, attr.name, 0), attr.value))
                return false;
        return true;
    }

    // The one description or array inside a property element.
    bool nodeInProperty()
    {
        Frame &property = work_.frames.back();
        if (!property.blank)
            return decline();
        out_.truncate(property.entry);
        property.kind = Kind::Done;
        property.simple = false;
        const uint32_t path = property.path;
        if (sameText(element_, "rdf:Bag") || sameText(element_, "rdf:Seq") || sameText(element_, "rdf:Alt")) {
            for (const Attr &attr : attrs_)
                if (!sameText(attr.name, "rdf:about") && !sameText(attr.name, "rdf:ID") && !sameText(attr.name, "rdf:nodeID"))
                    return decline();
            if (attrs_.size() > 1)
                return decline();
            Frame &array = push(Kind::Array);
            array.path = path;
            array.alt = sameText(element_, "rdf:Alt");
            array.altText = true;
            array.entry = out_.size();
            return true;
        }
        if (!sameText(element_, "rdf:Description"))
            return decline(); // a typed node
        Frame &node = push(Kind::Node);
        node.path = path;
        node.id = ++ids_;
        node.fields = uint32_t(work_.fields.size());
        return nodeAttributes(node);
    }

    bool close()
    {
        Frame frame = work_.frames.back();
        work_.frames.pop_back();
        switch (frame.kind) {
        case Kind::Outside:
        case Kind::Meta:
        case Kind::Rdf:
            return true;
        case Kind::Array:
            return closeArray(frame);
        case Kind::Node:
            work_.fields.resize(frame.fields);
            if (!frame.property)
                return true;
            break;
        case Kind::Open:
        case Kind::Literal:
            if (frame.dcItem && out_.size() == frame.entry + 9 + frame.path + 3) {
                out_.truncate(frame.entry); // an empty value makes an empty array
                break;
            }
            if (!endEntry(frame.entry))
                return false;
            break;
        case Kind::Done:
            if (frame.mustBeAltText && !frame.altText)
                return decline();
            break;
        default:
            break;
        }
        return endProperty(frame);
    }

    bool endProperty(const Frame &frame)
    {
        if (frame.top)
            return endSpan();
        if (!frame.item)
            return true;
        Frame &array = work_.frames.back();
        array.altText = array.altText && frame.simple && frame.lang;
        if (frame.isDefault && array.firstDefault < 0)
            array.firstDefault = long(array.items - 1);
        return true;
    }

    // An Alt whose items are all simple and all have a language is a language alternative:
    // its x-default item goes first, and with one other item, that item takes its value.
    bool closeArray(const Frame &array)
    {
        Frame &property = work_.frames.back();
        property.altText = array.alt && array.altText && array.items != 0;
        if (!property.altText || array.firstDefault < 0 || (array.firstDefault == 0 && array.items != 2))
            return true;
        // Each item is one entry: read their values from a copy and write them again.
        const size_t size = out_.size() - array.entry;
        auto *copy = static_cast<char *>(scratch_.take(size));
        std::memcpy(copy, out_.data() + array.entry, size);
        std::vector<std::string_view> &values = work_.values;
        values.clear();
        for (const char *at = copy, *end = copy + size; at < end;) {
            uint32_t lengths[2];
            std::memcpy(lengths, at, 8);
            values.emplace_back(at + 9 + lengths[0], lengths[1]);
            at += 10 + lengths[0] + lengths[1];
        }
        std::swap(values[0], values[size_t(array.firstDefault)]);
        if (values.size() == 2)
            values[1] = values[0];
        out_.truncate(array.entry);
        count_ -= values.size();
        for (size_t i = 0; i < values.size(); ++i)
            if (!entry(childPath(array, {}, uint32_t(i + 1)), values[i]))
                return false;
        return true;
    }

    DirectWork &work_;
    OutputBuffer &out_;
    size_t limit_;
    size_t count_ = 0;
    std::string_view elementNs_, element_;
    std::vector<Attr> attrs_;
    size_t attrCount_ = 0;
    std::string_view about_;
    uint32_t ids_ = 0;
    uint32_t lastSchema_ = UINT32_MAX;
    bool rdfSeen_ = false;
    bool declined_ = false;
};

} // namespace

DirectResult listDirect(const char *text, size_t size, DirectWork &work, QuickWork &quick, Scratch &scratch,
                        OutputBuffer &out, size_t &count, size_t limit, bool toolkitReferences)
{
    DirectSink sink(scratch, work, out, limit);
    if (!readQuick(text, size, sink, quick, toolkitReferences))
        return sink.declined() ? DirectResult::Declined : DirectResult::NotQuick;
    if (!sink.finish())
        return DirectResult::Declined;
    count = sink.count();
    return DirectResult::Listed;
}

} // namespace xmp
} // namespace zudorhost
