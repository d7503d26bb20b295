// The XML tree of one packet, from the XML parser's events, and the namespaces it declares.
// Names are written as the toolkit writes them, "prefix:local" with the prefix registered for
// the namespace rather than the one the packet used.
#include <cstring>
#include <random>

#include <expat.h>

#include "xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

// Deeper packets are refused rather than read on a stack that could run out; no packet a
// program writes comes near it (the toolkit itself crashes some tens of thousands deeper).
constexpr size_t kMaxDepth = 1000;

constexpr std::string_view kOldDcUri = "http://purl.org/dc/1.1/";
constexpr std::string_view kDefaultPrefix = "_dflt_";

bool isBlank(std::string_view text)
{
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            return false;
    return true;
}

// The next code point of UTF-8 text, or -1 for a malformed sequence.
long nextCodePoint(std::string_view text, size_t &at)
{
    const auto lead = uint8_t(text[at]);
    const int length = lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return -1;
    long code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        const auto c = uint8_t(text[at + i]);
        if ((c & 0xC0) != 0x80)
            return -1;
        code = (code << 6) | (c & 0x3F);
    }
    at += length;
    return code;
}

bool nameStart(long c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool nameOther(long c)
{
    if (c < 0x80)
        return (c >= '0' && c <= '9') || c == '-' || c == '.';
    return c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// The toolkit registers a prefix only if it is an XML name without a colon.
bool simpleXmlName(std::string_view name)
{
    for (size_t at = 0; at < name.size();) {
        const bool first = at == 0;
        long c = uint8_t(name[at]);
        if (c < 0x80)
            ++at;
        else if ((c = nextCodePoint(name, at)) < 0)
            return false;
        if (!nameStart(c) && (first || !nameOther(c)))
            return false;
    }
    return !name.empty();
}

} // namespace

const Binding *Registry::find(std::string_view uri)
{
    for (const Binding &binding : bindings_)
        if (binding.uri.size() == uri.size() && std::memcmp(binding.uri.data(), uri.data(), uri.size()) == 0)
            return &binding;
    // Only the XML namespace is met undeclared; any other known one is taken on first use.
    if (const KnownNamespace *known = knownNamespaceByUri(uri)) {
        bindings_.push_back({known->uri, known->prefix});
        return &bindings_.back();
    }
    return nullptr;
}

bool Registry::prefixTaken(std::string_view prefix) const
{
    if (knownPrefix(prefix))
        return true;
    for (const Binding &binding : bindings_)
        if (binding.prefix == prefix)
            return true;
    return false;
}

bool Registry::define(std::string_view uri, std::string_view suggested, Scratch &scratch)
{
    if (!simpleXmlName(suggested))
        return false;
    if (find(uri) != nullptr)
        return true;
    // A namespace the toolkit does not know keeps the packet's prefix unless that is taken,
    // in which case it is the first free of prefix_1_, prefix_2_, ...
    std::string candidate(suggested);
    candidate += ':';
    for (unsigned suffix = 1; prefixTaken(candidate); ++suffix) {
        candidate.assign(suggested);
        candidate += '_';
        candidate += std::to_string(suffix);
        candidate += "_:";
    }
    bindings_.push_back({scratch.copy(uri.data(), uri.size()), scratch.copy(candidate.data(), candidate.size())});
    return true;
}

struct TreeBuilder::Events {
    TreeBuilder &builder;
    Scratch &scratch;
    XmlTree &tree;
    bool refused = false;
    bool outOfMemory = false;
    bool textOpen = false;

    void stop(bool noMemory)
    {
        (noMemory ? outOfMemory : refused) = true;
        XML_StopParser(builder.parser_, XML_FALSE);
    }

    void append(XmlNode *node)
    {
        XmlNode *parent = builder.open_.back();
        node->parent = parent;
        (parent->last != nullptr ? parent->last->next : parent->first) = node;
        parent->last = node;
    }

    // Adjacent runs of text make one node: the reading only asks whether the text is blank
    // and what it says in all, which is the same for the runs and for their sum.
    void flushText()
    {
        if (!textOpen)
            return;
        auto *node = scratch.make<XmlNode>();
        node->kind = XmlNode::Text;
        node->value = scratch.copy(builder.text_.data(), builder.text_.size());
        node->blank = isBlank(node->value);
        append(node);
        builder.text_.clear();
        textOpen = false;
    }

    // Splits the parser's "uri@local" into the namespace and the toolkit's name.
    bool qualify(const char *fullName, std::string_view parentName, std::string_view &ns, std::string_view &name)
    {
        const std::string_view full(fullName);
        const size_t at = full.rfind('@');
        if (at == std::string_view::npos) {
            ns = {};
            name = scratch.copy(full.data(), full.size());
            // Early writers left rdf:about and rdf:ID unqualified on rdf:Description.
            if (parentName == "rdf:Description" && (full == "about" || full == "ID")) {
                ns = kRdfUri;
                name = full == "about" ? "rdf:about" : "rdf:ID";
            }
            return true;
        }
        std::string_view uri = full.substr(0, at);
        if (uri == kOldDcUri)
            uri = kDcUri;
        const Binding *binding = builder.registry_.find(uri);
        if (binding == nullptr)
            return false;
        ns = binding->uri;
        name = scratch.join(binding->prefix, full.substr(at + 1));
        return true;
    }

    void declare(std::string_view prefix, std::string_view uri)
    {
        if (uri == kOldDcUri)
            uri = kDcUri;
        if (!builder.registry_.define(uri, prefix, scratch))
            stop(false);
    }

    void endElement()
    {
        flushText();
        builder.open_.pop_back();
    }

    void addText(const char *text, size_t size)
    {
        builder.text_.append(text, size);
        textOpen = true;
    }

    void startElement(const char *fullName, const char **attributes)
    {
        flushText();
        if (builder.open_.size() > kMaxDepth)
            return stop(false);
        auto *node = scratch.make<XmlNode>();
        XmlNode *parent = builder.open_.back();
        if (!qualify(fullName, parent->name, node->ns, node->name))
            return stop(false);
        size_t count = 0;
        while (attributes[2 * count] != nullptr)
            ++count;
        node->attrCount = uint32_t(count);
        node->attrs = static_cast<XmlAttr *>(scratch.take(count * sizeof(XmlAttr)));
        for (size_t i = 0; i < count; ++i) {
            XmlAttr &attr = *new (&node->attrs[i]) XmlAttr();
            if (!qualify(attributes[2 * i], node->name, attr.ns, attr.name))
                return stop(false);
            attr.value = scratch.copy(attributes[2 * i + 1], std::strlen(attributes[2 * i + 1]));
            if (attr.name == "xml:lang")
                normaliseLang(const_cast<char *>(attr.value.data()), attr.value.size());
        }
        append(node);
        builder.open_.push_back(node);
        tree.nodeCount += 1 + count;
        if (node->name == "rdf:RDF") {
            tree.lastRdf = node;
            ++tree.rdfCount;
        }
    }
};

namespace {

using Events = TreeBuilder::Events;

void onNamespace(void *data, const XML_Char *prefix, const XML_Char *uri)
{
    auto &events = *static_cast<Events *>(data);
    if (uri == nullptr)
        return;
    try {
        events.declare(prefix != nullptr ? prefix : kDefaultPrefix, uri);
    } catch (const std::bad_alloc &) {
        events.stop(true);
    }
}

void onStart(void *data, const XML_Char *name, const XML_Char **attributes)
{
    auto &events = *static_cast<Events *>(data);
    try {
        events.startElement(name, attributes);
    } catch (const std::bad_alloc &) {
        events.stop(true);
    }
}

void onEnd(void *data, const XML_Char *)
{
    auto &events = *static_cast<Events *>(data);
    try {
        events.endElement();
    } catch (const std::bad_alloc &) {
        events.stop(true);
    }
}

void onText(void *data, const XML_Char *text, int length)
{
    auto &events = *static_cast<Events *>(data);
    try {
        events.addText(text, size_t(length));
    } catch (const std::bad_alloc &) {
        events.stop(true);
    }
}

// Only the packet wrapper's instructions are kept, as the toolkit keeps them: inside the
// RDF they are content where none is allowed.
void onInstruction(void *data, const XML_Char *target, const XML_Char *value)
{
    auto &events = *static_cast<Events *>(data);
    if (std::strcmp(target, "xpacket") != 0)
        return;
    try {
        events.flushText();
        auto *node = events.scratch.make<XmlNode>();
        node->kind = XmlNode::Instruction;
        node->name = "xpacket";
        node->value = events.scratch.copy(value, std::strlen(value));
        events.append(node);
    } catch (const std::bad_alloc &) {
        events.stop(true);
    }
}

// The toolkit refuses any document type declaration, and with it every entity but the
// predefined ones.
void onDoctype(void *data, const XML_Char *, const XML_Char *, const XML_Char *, int)
{
    static_cast<Events *>(data)->stop(false);
}

} // namespace

TreeBuilder::TreeBuilder()
{
    std::random_device seed;
    salt_ = (static_cast<unsigned long>(seed()) << 16) ^ seed();
}

TreeBuilder::~TreeBuilder()
{
    if (parser_ != nullptr)
        XML_ParserFree(parser_);
}

TreeBuilder::Result TreeBuilder::build(const char *text, size_t size, Scratch &scratch, XmlTree &tree)
{
    tree.root = XmlNode();
    tree.root.kind = XmlNode::Root;
    tree.lastRdf = nullptr;
    tree.rdfCount = tree.nodeCount = 0;
    registry_.reset();
    open_.assign(1, &tree.root);
    text_.clear();

    if (parser_ == nullptr)
        parser_ = XML_ParserCreateNS(nullptr, '@');
    else if (!XML_ParserReset(parser_, nullptr)) {
        XML_ParserFree(parser_);
        parser_ = XML_ParserCreateNS(nullptr, '@');
    }
    if (parser_ == nullptr)
        return OutOfMemory;
    Events events{*this, scratch, tree};
    XML_SetHashSalt(parser_, salt_);
    XML_SetUserData(parser_, &events);
    XML_SetNamespaceDeclHandler(parser_, onNamespace, nullptr);
    XML_SetElementHandler(parser_, onStart, onEnd);
    XML_SetCharacterDataHandler(parser_, onText);
    XML_SetProcessingInstructionHandler(parser_, onInstruction);
    XML_SetStartDoctypeDeclHandler(parser_, onDoctype);

    const bool parsed = feedPacket(parser_, text, size, toolkitReferences_);
    if (events.outOfMemory || XML_GetErrorCode(parser_) == XML_ERROR_NO_MEMORY)
        return OutOfMemory;
    return parsed && !events.refused ? Built : Refused;
}

namespace {

bool isMetaElement(const XmlNode &node)
{
    return node.kind == XmlNode::Element && (node.name == "x:xmpmeta" || node.name == "x:xapmeta");
}

// The first x:xmpmeta breadth first, and in it the first rdf:RDF; outside one an rdf:RDF
// counts only when it may stand alone.
const XmlNode *pickRoot(const XmlNode &parent, bool needMeta)
{
    for (const XmlNode *child = parent.first; child != nullptr; child = child->next)
        if (isMetaElement(*child))
            return pickRoot(*child, false);
    if (!needMeta)
        for (const XmlNode *child = parent.first; child != nullptr; child = child->next)
            if (child->kind == XmlNode::Element && child->name == "rdf:RDF")
                return child;
    for (const XmlNode *child = parent.first; child != nullptr; child = child->next)
        if (const XmlNode *found = pickRoot(*child, needMeta))
            return found;
    return nullptr;
}

} // namespace

const XmlNode *findRdfRoot(const XmlTree &tree)
{
    const XmlNode *root = tree.rdfCount > 1 ? pickRoot(tree.root, true) : tree.lastRdf;
    if (root == nullptr || root->parent == nullptr || !isMetaElement(*root->parent))
        return nullptr;
    return root;
}

} // namespace xmp
} // namespace zudorhost
