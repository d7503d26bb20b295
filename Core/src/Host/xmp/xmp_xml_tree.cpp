// The XML tree of one packet, from the XML parser's events, and the namespaces it declares.
// Names are written as the toolkit writes them, "prefix:local" with the prefix registered for
// the namespace rather than the one the packet used.
#include <cstring>
#include <random>

#include <expat.h>

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

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

const Binding *Registry::define(std::string_view uri, std::string_view suggested, Scratch &scratch)
{
    if (!simpleXmlName(suggested))
        return nullptr;
    if (const Binding *binding = find(uri))
        return binding;
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
    return &bindings_.back();
}

TreeSink::TreeSink(Scratch &scratch, XmlTree &tree, Registry &registry, std::vector<XmlNode *> &open,
                   std::string &text)
    : NameSink(scratch, registry), tree_(tree), open_(open), text_(text)
{
}

const Binding *NameSink::declare(std::string_view prefix, std::string_view uri)
{
    return registry_.define(uri == kOldDcUri ? kDcUri : uri, prefix.empty() ? kDefaultPrefix : prefix, scratch_);
}

const Binding *NameSink::namespaceOf(std::string_view uri)
{
    return registry_.find(uri == kOldDcUri ? kDcUri : uri);
}

void TreeSink::append(XmlNode *node)
{
    pendingBlank_ = {};
    XmlNode *parent = open_.back();
    node->parent = parent;
    (parent->last != nullptr ? parent->last->next : parent->first) = node;
    parent->last = node;
}

// Adjacent runs of text make one node: the reading only asks whether the text is blank and
// what it says in all, which is the same for the runs and for their sum. Blank text beside
// elements is never read; blank text alone in an element is its value, so it waits for the
// element's end.
void TreeSink::flushText()
{
    if (!textOpen_)
        return;
    textOpen_ = false;
    std::string_view value = single_ ? run_ : std::string_view(text_);
    if (isBlank(value)) {
        if (open_.back()->first == nullptr)
            pendingBlank_ = single_ ? run_ : scratch_.copy(text_.data(), text_.size());
        return;
    }
    auto *node = scratch_.make<XmlNode>();
    node->kind = XmlNode::Text;
    node->value = single_ ? run_ : scratch_.copy(text_.data(), text_.size());
    append(node);
}

void NameSink::qualify(const Binding *ns, std::string_view prefix, std::string_view local, std::string_view parent,
                       std::string_view &nsOut, std::string_view &nameOut)
{
    if (ns == nullptr) {
        nsOut = {};
        nameOut = local;
        // Early writers left rdf:about and rdf:ID unqualified on rdf:Description.
        if (parent == "rdf:Description" && (local == "about" || local == "ID")) {
            nsOut = kRdfUri;
            nameOut = local == "about" ? "rdf:about" : "rdf:ID";
        }
        return;
    }
    nsOut = ns->uri;
    // Where the packet wrote the registered prefix, its own bytes spell the name.
    const std::string_view registered = ns->prefix.substr(0, ns->prefix.size() - 1);
    if (!prefix.empty() && sameText(prefix, registered) && prefix.data() + prefix.size() + 1 == local.data())
        nameOut = std::string_view(prefix.data(), prefix.size() + 1 + local.size());
    else
        nameOut = scratch_.join(ns->prefix, local);
}

bool TreeSink::startElement(const Binding *ns, std::string_view prefix, std::string_view local, size_t attributes)
{
    flushText();
    if (open_.size() > kMaxDepth)
        return false;
    auto *node = scratch_.make<XmlNode>();
    qualify(ns, prefix, local, open_.back()->name, node->ns, node->name);
    node->attrCount = uint32_t(attributes);
    node->attrs = static_cast<XmlAttr *>(scratch_.take(attributes * sizeof(XmlAttr)));
    append(node);
    open_.push_back(node);
    tree_.nodeCount += 1 + attributes;
    if (node->name == "rdf:RDF") {
        tree_.lastRdf = node;
        ++tree_.rdfCount;
    }
    return true;
}

bool TreeSink::attribute(size_t i, const Binding *ns, std::string_view prefix, std::string_view local,
                         std::string_view value)
{
    XmlNode &node = *open_.back();
    XmlAttr &attr = *new (&node.attrs[i]) XmlAttr;
    qualify(ns, prefix, local, node.name, attr.ns, attr.name);
    attr.value = value;
    if (attr.name == "xml:lang") {
        // Normalised in a copy of its own: the value may be the packet's bytes.
        attr.value = scratch_.copy(value.data(), value.size());
        normaliseLang(const_cast<char *>(attr.value.data()), attr.value.size());
    }
    return true;
}

bool TreeSink::endElement()
{
    flushText();
    if (pendingBlank_.data() != nullptr) {
        auto *node = scratch_.make<XmlNode>();
        node->kind = XmlNode::Text;
        node->blank = true;
        node->value = pendingBlank_;
        append(node);
    }
    open_.pop_back();
    return true;
}

bool TreeSink::instruction(std::string_view data)
{
    flushText();
    auto *node = scratch_.make<XmlNode>();
    node->kind = XmlNode::Instruction;
    node->name = "xpacket";
    node->value = data;
    append(node);
    return true;
}

struct TreeBuilder::Events {
    TreeBuilder &builder;
    TreeSink sink;
    bool refused = false;
    bool outOfMemory = false;

    void stop(bool noMemory)
    {
        (noMemory ? outOfMemory : refused) = true;
        XML_StopParser(builder.parser_, XML_FALSE);
    }

    // The parser's "uri@local", or a name in no namespace: the local name, copied as the
    // parser reuses its buffers, and the namespace; false for one never declared.
    bool split(const char *fullName, const Binding *&ns, std::string_view &name)
    {
        const std::string_view full(fullName);
        const size_t at = full.rfind('@');
        name = at == std::string_view::npos ? full : full.substr(at + 1);
        name = sink.scratch().copy(name.data(), name.size());
        ns = at == std::string_view::npos ? nullptr : sink.namespaceOf(full.substr(0, at));
        return at == std::string_view::npos || ns != nullptr;
    }

    void startElement(const char *fullName, const char **attributes)
    {
        const Binding *ns;
        std::string_view name;
        size_t count = 0;
        while (attributes[2 * count] != nullptr)
            ++count;
        if (!split(fullName, ns, name) || !sink.startElement(ns, {}, name, count))
            return stop(false);
        for (size_t i = 0; i < count; ++i) {
            const std::string_view value = sink.scratch().copy(attributes[2 * i + 1], std::strlen(attributes[2 * i + 1]));
            if (!split(attributes[2 * i], ns, name) || !sink.attribute(i, ns, {}, name, value))
                return stop(false);
        }
    }
};

namespace {

using Events = TreeBuilder::Events;

// Each handler stops the parser at the first thing the toolkit gives up on, or out of memory.
template <typename Step>
void guarded(void *data, Step step)
{
    auto &events = *static_cast<Events *>(data);
    try {
        step(events);
    } catch (const std::bad_alloc &) {
        events.stop(true);
    }
}

void onNamespace(void *data, const XML_Char *prefix, const XML_Char *uri)
{
    if (uri != nullptr)
        guarded(data, [&](Events &events) {
            if (events.sink.declare(prefix != nullptr ? prefix : "", uri) == nullptr)
                events.stop(false);
        });
}

void onStart(void *data, const XML_Char *name, const XML_Char **attributes)
{
    guarded(data, [&](Events &events) { events.startElement(name, attributes); });
}

void onEnd(void *data, const XML_Char *)
{
    guarded(data, [&](Events &events) { events.sink.endElement(); });
}

void onText(void *data, const XML_Char *text, int length)
{
    guarded(data, [&](Events &events) { events.sink.text(text, size_t(length), false); });
}

// Only the packet wrapper's instructions are kept, as the toolkit keeps them: inside the
// RDF they are content where none is allowed.
void onInstruction(void *data, const XML_Char *target, const XML_Char *value)
{
    if (std::strcmp(target, "xpacket") == 0)
        guarded(data, [&](Events &events) {
            events.sink.instruction(events.sink.scratch().copy(value, std::strlen(value)));
        });
}

// The toolkit refuses any document type declaration, and with it every entity but the
// predefined ones.
void onDoctype(void *data, const XML_Char *, const XML_Char *, const XML_Char *, int)
{
    static_cast<Events *>(data)->stop(false);
}

} // namespace

TreeBuilder::TreeBuilder() : quickWork_(newQuickWork())
{
    std::random_device seed;
    salt_ = (static_cast<unsigned long>(seed()) << 16) ^ seed();
}

TreeBuilder::~TreeBuilder()
{
    deleteQuickWork(quickWork_);
    if (parser_ != nullptr)
        XML_ParserFree(parser_);
}

void TreeBuilder::reset(Scratch &scratch, XmlTree &tree)
{
    scratch.reset();
    tree.root = XmlNode();
    tree.root.kind = XmlNode::Root;
    tree.lastRdf = nullptr;
    tree.rdfCount = tree.nodeCount = 0;
    registry_.reset();
    open_.assign(1, &tree.root);
    text_.clear();
}

TreeBuilder::Result TreeBuilder::build(const char *text, size_t size, Scratch &scratch, XmlTree &tree, bool quick)
{
    if (quick_ && quick) {
        reset(scratch, tree);
        TreeSink sink(scratch, tree, registry_, open_, text_);
        if (buildQuick(text, size, sink, *quickWork_, toolkitReferences_))
            return Built;
    }
    return buildWithExpat(text, size, scratch, tree);
}

TreeBuilder::Result TreeBuilder::buildWithExpat(const char *text, size_t size, Scratch &scratch, XmlTree &tree)
{
    reset(scratch, tree);
    if (parser_ == nullptr) {
        parser_ = XML_ParserCreateNS(nullptr, '@');
    } else if (!XML_ParserReset(parser_, nullptr)) {
        XML_ParserFree(parser_);
        parser_ = XML_ParserCreateNS(nullptr, '@');
    }
    if (parser_ == nullptr)
        return OutOfMemory;
    Events events{*this, TreeSink(scratch, tree, registry_, open_, text_)};
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
