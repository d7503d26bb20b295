// The RDF inside x:xmpmeta read into properties, by the toolkit's grammar: property elements,
// attributes as properties, rdf:parseType="Resource", rdf:value, nested descriptions, typed
// nodes, Bag, Seq and Alt. Whatever the toolkit reports as an error, however small, makes it
// refuse the whole packet, so every such case here answers false.
#include <algorithm>
#include <cstring>

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

void PropList::insert(Scratch &scratch, size_t at, Prop *node)
{
    if (size == capacity) {
        const uint32_t grown = capacity == 0 ? 4 : capacity * 2;
        auto **items2 = static_cast<Prop **>(scratch.take(grown * sizeof(Prop *)));
        if (size != 0)
            std::memcpy(items2, items, size * sizeof(Prop *));
        items = items2;
        capacity = grown;
    }
    std::memmove(items + at + 1, items + at, (size - at) * sizeof(Prop *));
    items[at] = node;
    ++size;
}

void PropList::erase(size_t at)
{
    std::memmove(items + at, items + at + 1, (size - at - 1) * sizeof(Prop *));
    --size;
}

Prop *newProp(Scratch &scratch, Prop *parent, std::string_view name, std::string_view value, uint32_t options)
{
    auto *node = scratch.make<Prop>();
    node->parent = parent;
    node->name = name;
    node->value = value;
    node->options = options;
    return node;
}

Prop *findSchema(Prop &tree, std::string_view uri, Scratch *create)
{
    // Namespaces are mostly the registry's own strings, the same pointer for the same URI.
    for (size_t i = 0; i < tree.children.size; ++i) {
        const std::string_view name = tree.children[i]->name;
        if ((name.data() == uri.data() && name.size() == uri.size()) || name == uri)
            return tree.children[i];
    }
    if (create == nullptr)
        return nullptr;
    Prop *schema = newProp(*create, &tree, uri, {}, kIsSchema);
    tree.children.push(*create, schema);
    return schema;
}

Prop *findChild(const Prop &parent, std::string_view name)
{
    for (size_t i = 0; i < parent.children.size; ++i)
        if (parent.children[i]->name == name)
            return parent.children[i];
    return nullptr;
}

void addLangQualifier(Scratch &scratch, Prop &node, std::string_view lang)
{
    node.qualifiers.insert(scratch, 0, newProp(scratch, &node, "xml:lang", lang, kIsQualifier));
    node.options |= kHasQualifiers | kHasLang;
}

bool findLangItem(const Prop &array, std::string_view lang, long &index)
{
    if (!(array.options & kIsArray))
        return false;
    index = -1;
    for (size_t i = 0; i < array.children.size; ++i) {
        const Prop &item = *array.children[i];
        if (!item.qualifiers.empty() && item.qualifiers[0]->name == "xml:lang" && item.qualifiers[0]->value == lang) {
            index = long(i);
            break;
        }
    }
    return true;
}

// RFC 3066 case, as the toolkit writes it: lower case, but a second subtag of two letters in
// upper case ("en-US"), whatever the packet said.
void normaliseLang(char *lang, size_t size)
{
    char *end = lang + size;
    auto lower = [end](char *at) {
        for (; at < end && *at != '-'; ++at)
            if (*at >= 'A' && *at <= 'Z')
                *at = char(*at + 0x20);
        return at;
    };
    char *tag = lower(lang);
    for (bool second = true; tag < end; second = false) {
        char *start = tag + 1;
        tag = lower(start);
        if (second && tag == start + 2)
            for (char *c = start; c < tag; ++c)
                if (*c >= 'a' && *c <= 'z')
                    *c = char(*c - 0x20);
    }
}

namespace {

enum Term {
    kOther,
    kRdf, kId, kAbout, kParseType, kResource, kNodeId, kDatatype, // the core syntax terms
    kDescription, kLi,
    kAboutEach, kAboutEachPrefix, kBagId // the old terms
};

Term termOf(std::string_view name)
{
    if (name.size() <= 4 || name[0] != 'r' || name[1] != 'd' || name[2] != 'f' || name[3] != ':')
        return kOther;
    static constexpr struct {
        std::string_view local;
        Term term;
    } kTerms[] = {
        {"li", kLi}, {"parseType", kParseType}, {"Description", kDescription}, {"about", kAbout},
        {"resource", kResource}, {"RDF", kRdf}, {"ID", kId}, {"nodeID", kNodeId}, {"datatype", kDatatype},
        {"aboutEach", kAboutEach}, {"aboutEachPrefix", kAboutEachPrefix}, {"bagID", kBagId},
    };
    const std::string_view local = name.substr(4);
    for (const auto &entry : kTerms)
        if (entry.local == local)
            return entry.term;
    return kOther;
}

bool isPropertyElementName(Term term)
{
    return term == kOther || term == kLi;
}

// rdf:_1, rdf:_2, ... stand for rdf:li in an array; the digits are not checked.
bool isNumberedItem(std::string_view name)
{
    if (name.size() <= 5 || name.compare(0, 5, "rdf:_") != 0)
        return false;
    for (char c : name.substr(5))
        if (c < '0' || c > '9')
            return false;
    return true;
}

uint64_t nameHash(const Prop *parent, std::string_view name)
{
    uint64_t hash = 1469598103934665603ull ^ uint64_t(reinterpret_cast<uintptr_t>(parent));
    for (char c : name)
        hash = (hash ^ uint8_t(c)) * 1099511628211ull;
    return hash ^ (hash >> 29);
}

class Reader {
public:
    Reader(Prop &tree, size_t nodeCount, Scratch &scratch, NameIndex &index)
        : tree_(tree), scratch_(scratch), index_(index.keys), round_(++index.round)
    {
        size_t slots = 16;
        while (slots < 2 * nodeCount + 2)
            slots *= 2;
        if (index_.size() < slots || round_ == 0) {
            index_.assign(std::max(slots, index_.size()), NameKey());
            index.round = round_ = 1;
        }
        mask_ = slots - 1;
    }

    bool rdf(const XmlNode &node)
    {
        if (node.attrCount != 0)
            return false;
        for (const XmlNode *child = node.first; child != nullptr; child = child->next)
            if (!isBlankText(*child) && !nodeElement(tree_, *child, true))
                return false;
        return true;
    }

private:
    static bool isBlankText(const XmlNode &node) { return node.kind == XmlNode::Text && node.blank; }

    // False when the parent already has a child of this name; else the free slot, where
    // addChild() keeps the child once it is made. A child's parent and name stay as they are
    // for as long as names are claimed under that parent.
    bool claimName(const Prop &parent, std::string_view name, size_t &slot, uint32_t &hash)
    {
        const uint64_t full = nameHash(&parent, name);
        hash = uint32_t(full >> 32);
        for (slot = full & mask_;; slot = (slot + 1) & mask_) {
            const NameKey &key = index_[slot];
            if (key.round != round_)
                return true;
            if (key.hash == hash && key.child->parent == &parent && sameText(key.child->name, name))
                return false;
        }
    }

    // A property, field or item from an element or attribute; null for the toolkit's errors.
    Prop *addChild(Prop &into, std::string_view ns, std::string_view name, std::string_view value, bool top)
    {
        if (ns.empty())
            return nullptr;
        Prop *parent = &into; // a top-level property goes into its schema instead
        uint32_t options = 0;
        const bool isValue = name == "rdf:value";
        bool isItem = name == "rdf:li";
        std::string_view childName = name;
        if (top) {
            parent = findSchema(tree_, ns, &scratch_);
            if (findAlias(name) != nullptr) {
                options |= kIsAlias;
                tree_.options |= kHasAliases;
            }
        }
        const bool arrayParent = (parent->options & kIsArray) != 0;
        if (isItem) {
            if (!arrayParent)
                return nullptr;
            childName = kItemName;
        } else if (arrayParent) {
            if (!isNumberedItem(name))
                return nullptr;
            childName = kItemName;
            isItem = true;
        }
        size_t slot = 0;
        uint32_t hash = 0;
        const bool named = !isItem && !isValue;
        // Only a schema or a struct has named children.
        if (named && (!(parent->options & (kIsSchema | kIsStruct)) || !claimName(*parent, childName, slot, hash)))
            return nullptr;
        if (isValue) {
            if (top || !(parent->options & kIsStruct))
                return nullptr;
            parent->options |= kHasValueElement;
        }
        Prop *child = newProp(scratch_, parent, childName, value, options);
        parent->children.insert(scratch_, isValue ? 0 : parent->children.size, child);
        if (named)
            index_[slot] = {child, hash, round_};
        return child;
    }

    bool addQualifier(Prop &parent, std::string_view name, std::string_view value)
    {
        Prop *qualifier = newProp(scratch_, &parent, name, value, kIsQualifier);
        if (name == "xml:lang") {
            parent.qualifiers.insert(scratch_, 0, qualifier);
            parent.options |= kHasLang;
        } else if (name == "rdf:type") {
            const bool afterLang = !parent.qualifiers.empty() && (parent.options & kHasLang);
            parent.qualifiers.insert(scratch_, afterLang ? 1 : 0, qualifier);
            parent.options |= kHasType;
        } else {
            parent.qualifiers.push(scratch_, qualifier);
        }
        parent.options |= kHasQualifiers;
        return true;
    }

    bool addQualifier(Prop &parent, const XmlAttr &attr)
    {
        return !attr.ns.empty() && addQualifier(parent, attr.name, attr.value);
    }

    // An xml:lang attribute becomes a qualifier and those named skipped; any other is an error.
    bool langOnly(Prop &node, const XmlNode &xml, std::string_view skipped, std::string_view skipped2 = "rdf:ID")
    {
        for (uint32_t i = 0; i < xml.attrCount; ++i) {
            const XmlAttr &attr = xml.attrs[i];
            if (attr.name == "xml:lang") {
                if (!addQualifier(node, attr))
                    return false;
            } else if (attr.name != skipped && attr.name != skipped2) {
                return false;
            }
        }
        return true;
    }

    // rdf:Description, or a typed node inside a property.
    bool nodeElement(Prop &parent, const XmlNode &node, bool top)
    {
        const Term term = termOf(node.name);
        if ((term != kDescription && term != kOther) || (top && term == kOther))
            return false;
        return nodeElementAttrs(parent, node, top) && propertyElementList(parent, node, top);
    }

    bool nodeElementAttrs(Prop &parent, const XmlNode &node, bool top)
    {
        bool seenIdentity = false; // rdf:about, rdf:ID and rdf:nodeID exclude one another
        for (uint32_t i = 0; i < node.attrCount; ++i) {
            const XmlAttr &attr = node.attrs[i];
            const Term term = termOf(attr.name);
            if (term == kId || term == kNodeId || term == kAbout) {
                if (seenIdentity)
                    return false;
                seenIdentity = true;
                if (top && term == kAbout) {
                    if (tree_.name.empty())
                        tree_.name = attr.value;
                    else if (!attr.value.empty() && tree_.name != attr.value)
                        return false;
                }
            } else if (term == kOther) {
                if (addChild(parent, attr.ns, attr.name, attr.value, top) == nullptr)
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

    bool propertyElementList(Prop &parent, const XmlNode &node, bool top)
    {
        for (const XmlNode *child = node.first; child != nullptr; child = child->next) {
            if (isBlankText(*child))
                continue;
            if (child->kind != XmlNode::Element || !propertyElement(parent, *child, top))
                return false;
        }
        return true;
    }

    // Which form of property element this is follows from its attributes, and failing those
    // from its content.
    bool propertyElement(Prop &parent, const XmlNode &node, bool top)
    {
        if (!isPropertyElementName(termOf(node.name)))
            return false;
        if (node.attrCount > 3)
            return emptyPropertyElement(parent, node, top);
        for (uint32_t i = 0; i < node.attrCount; ++i) {
            const XmlAttr &attr = node.attrs[i];
            if (attr.name == "xml:lang" || attr.name == "rdf:ID")
                continue;
            if (attr.name == "rdf:datatype")
                return literalPropertyElement(parent, node, top);
            if (attr.name != "rdf:parseType")
                return emptyPropertyElement(parent, node, top);
            // Literal, Collection and any other parse type are not XMP.
            return attr.value == "Resource" && parseTypeResource(parent, node, top);
        }
        if (node.first == nullptr)
            return emptyPropertyElement(parent, node, top);
        for (const XmlNode *child = node.first; child != nullptr; child = child->next)
            if (child->kind != XmlNode::Text)
                return resourcePropertyElement(parent, node, top);
        return literalPropertyElement(parent, node, top);
    }

    // A struct, array or typed node: the element holds one node element.
    bool resourcePropertyElement(Prop &parent, const XmlNode &node, bool top)
    {
        if (top && node.name == "iX:changes")
            return true; // what old writers left behind, dropped
        Prop *compound = addChild(parent, node.ns, node.name, {}, top);
        if (compound == nullptr || !langOnly(*compound, node, "rdf:ID"))
            return false;
        const XmlNode *child = node.first;
        while (child != nullptr && isBlankText(*child))
            child = child->next;
        if (child == nullptr || child->kind != XmlNode::Element)
            return false;
        if (child->name == "rdf:Bag") {
            compound->options |= kIsArray;
        } else if (child->name == "rdf:Seq") {
            compound->options |= kIsArray | kIsOrdered;
        } else if (child->name == "rdf:Alt") {
            compound->options |= kIsArray | kIsOrdered | kIsAlternate;
        } else {
            if (child->name != "rdf:Description") {
                const size_t colon = child->name.find(':');
                if (colon == std::string_view::npos)
                    return false;
                addQualifier(*compound, "rdf:type", scratch_.join(child->ns, child->name.substr(colon + 1)));
            }
            compound->options |= kIsStruct;
        }
        if (!nodeElement(*compound, *child, false))
            return false;
        if (compound->options & kHasValueElement) {
            if (!foldValue(*compound))
                return false;
        } else if (compound->options & kIsAlternate) {
            if (!detectAltText(*compound))
                return false;
        }
        for (child = child->next; child != nullptr; child = child->next)
            if (!isBlankText(*child))
                return false;
        return true;
    }

    bool literalPropertyElement(Prop &parent, const XmlNode &node, bool top)
    {
        Prop *child = addChild(parent, node.ns, node.name, {}, top);
        if (child == nullptr || !langOnly(*child, node, "rdf:datatype"))
            return false;
        // The text usually comes as one node; a literal given rdf:datatype may hold more.
        size_t size = 0, texts = 0;
        for (const XmlNode *part = node.first; part != nullptr; part = part->next) {
            if (part->kind != XmlNode::Text)
                return false;
            size += part->value.size();
            ++texts;
        }
        if (texts == 1) {
            child->value = node.first->value;
        } else if (texts > 1) {
            auto *text = static_cast<char *>(scratch_.take(size + 1));
            size_t at = 0;
            for (const XmlNode *part = node.first; part != nullptr; part = part->next) {
                std::memcpy(text + at, part->value.data(), part->value.size());
                at += part->value.size();
            }
            text[size] = '\0';
            child->value = std::string_view(text, size);
        }
        return true;
    }

    bool parseTypeResource(Prop &parent, const XmlNode &node, bool top)
    {
        Prop *compound = addChild(parent, node.ns, node.name, {}, top);
        if (compound == nullptr)
            return false;
        compound->options |= kIsStruct;
        if (!langOnly(*compound, node, "rdf:parseType") || !propertyElementList(*compound, node, false))
            return false;
        return !(compound->options & kHasValueElement) || foldValue(*compound);
    }

    // No content: an empty value, a value in rdf:value or rdf:resource with the other
    // attributes as qualifiers, or a struct of the attributes.
    bool emptyPropertyElement(Prop &parent, const XmlNode &node, bool top)
    {
        if (node.first != nullptr)
            return false;
        bool hasFields = false, hasResource = false, hasNodeId = false, hasValue = false;
        const XmlAttr *valueAttr = nullptr;
        for (uint32_t i = 0; i < node.attrCount; ++i) {
            const XmlAttr &attr = node.attrs[i];
            switch (termOf(attr.name)) {
            case kId:
                break;
            case kResource:
                if (hasNodeId || hasValue)
                    return false;
                hasResource = true;
                valueAttr = &attr;
                break;
            case kNodeId:
                if (hasResource)
                    return false;
                hasNodeId = true;
                break;
            case kOther:
                if (attr.name == "rdf:value") {
                    if (hasResource)
                        return false;
                    hasValue = true;
                    valueAttr = &attr;
                } else if (attr.name != "xml:lang") {
                    hasFields = true;
                }
                break;
            default:
                return false;
            }
        }
        Prop *child = addChild(parent, node.ns, node.name, {}, top);
        if (child == nullptr)
            return false;
        bool isStruct = false;
        if (hasValue || hasResource) {
            child->value = valueAttr->value;
            if (!hasValue)
                child->options |= kValueIsUri;
        } else if (hasFields) {
            child->options |= kIsStruct;
            isStruct = true;
        }
        for (uint32_t i = 0; i < node.attrCount; ++i) {
            const XmlAttr &attr = node.attrs[i];
            if (&attr == valueAttr)
                continue;
            const Term term = termOf(attr.name);
            if (term == kResource) {
                if (!addQualifier(*child, attr))
                    return false;
            } else if (term == kOther) {
                const bool ok = !isStruct || attr.name == "xml:lang"
                    ? addQualifier(*child, attr)
                    : addChild(*child, attr.ns, attr.name, attr.value, false) != nullptr;
                if (!ok)
                    return false;
            }
        }
        return true;
    }

    Prop *findQualifier(const Prop &node, std::string_view name, size_t *at = nullptr)
    {
        for (size_t i = 0; i < node.qualifiers.size; ++i)
            if (node.qualifiers[i]->name == name) {
                if (at != nullptr)
                    *at = i;
                return node.qualifiers[i];
            }
        return nullptr;
    }

    // A struct holding rdf:value is the value, qualified by the struct's other fields.
    bool foldValue(Prop &node)
    {
        if (!(node.options & kIsStruct) || node.children.empty() || node.children[0]->name != "rdf:value")
            return false;
        Prop &value = *node.children[0];
        size_t first = 0;
        if (value.options & kHasLang) {
            if (node.options & kHasLang)
                return false;
            Prop *lang = value.qualifiers[0];
            lang->parent = &node;
            node.qualifiers.insert(scratch_, 0, lang);
            node.options |= kHasLang;
            value.options &= ~uint32_t(kHasLang);
            first = 1;
        }
        for (size_t i = first; i < value.qualifiers.size; ++i) {
            Prop *qualifier = value.qualifiers[i];
            if (findQualifier(node, qualifier->name) != nullptr)
                return false;
            qualifier->parent = &node;
            node.qualifiers.push(scratch_, qualifier);
        }
        for (size_t i = 1; i < node.children.size; ++i) {
            Prop *field = node.children[i];
            if (findQualifier(node, field->name) != nullptr)
                return false;
            const bool isLang = field->name == "xml:lang";
            field->options |= kIsQualifier;
            if (isLang)
                node.options |= kHasLang;
            else if (field->name == "rdf:type")
                node.options |= kHasType;
            node.qualifiers.insert(scratch_, isLang ? 0 : node.qualifiers.size, field);
        }
        if (!node.qualifiers.empty())
            node.options |= kHasQualifiers;
        node.options &= ~uint32_t(kIsStruct | kHasValueElement);
        node.options |= value.options;
        node.value = value.value;
        node.children = value.children;
        for (size_t i = 0; i < node.children.size; ++i)
            node.children[i]->parent = &node;
        return true;
    }

    // An Alt whose items are all simple and all have a language is a language alternative:
    // its x-default item goes first, and with one other item, that item takes its value.
    bool detectAltText(Prop &array)
    {
        for (size_t i = 0; i < array.children.size; ++i) {
            const uint32_t options = array.children[i]->options;
            if ((options & kComposite) || !(options & kHasLang))
                return true;
        }
        if (array.children.empty())
            return true;
        array.options |= kIsAltText;
        for (size_t i = 0; i < array.children.size; ++i) {
            const Prop &item = *array.children[i];
            if (item.qualifiers.empty() || item.qualifiers[0]->name != "xml:lang")
                return false;
            if (item.qualifiers[0]->value != "x-default")
                continue;
            std::swap(array.children.items[0], array.children.items[i]);
            if (array.children.size == 2)
                array.children[1]->value = array.children[0]->value;
            break;
        }
        return true;
    }

    Prop &tree_;
    Scratch &scratch_;
    std::vector<NameKey> &index_;
    uint32_t round_;
    size_t mask_;
};

} // namespace

bool readRdf(const XmlNode &rdf, Prop &tree, size_t nodeCount, Scratch &scratch, NameIndex &index)
{
    return Reader(tree, nodeCount, scratch, index).rdf(rdf);
}

} // namespace xmp
} // namespace zudorhost
