// Exempi as the oracle of the host's XMP lister.
#include "xmp_toolkit_oracle.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include <exempi/xmp.h>

#include "xmp/xmp_lister.h"
#include "xmp/xmp_lister_parts.h"

namespace xmporacle {

namespace {

// A restart empties the toolkit's namespace registry. It writes a line on std::cerr for every
// packet it refuses, which a failed stream drops.
void restartToolkit()
{
    static bool started = false;
    if (started) {
        xmp_terminate();
    } else {
        std::cerr.setstate(std::ios::badbit);
        started = true;
    }
    xmp_init();
}

} // namespace

Listing toolkitListing(const char *packet, size_t size)
{
    restartToolkit();
    Listing listing;
    XmpPtr xmp = xmp_new_empty();
    if (!xmp_parse(xmp, packet, size)) {
        xmp_free(xmp);
        listing.status = Listing::Refused;
        return listing;
    }
    XmpIteratorPtr iter = xmp_iterator_new(xmp, nullptr, nullptr, XMP_ITER_OMITQUALIFIERS);
    XmpStringPtr schema = xmp_string_new(), path = xmp_string_new(), value = xmp_string_new();
    uint32_t options = 0;
    try {
        while (xmp_iterator_next(iter, schema, path, value, &options)) {
            const char *name = xmp_string_cstr(path);
            if (XMP_IS_PROP_SIMPLE(options) && name != nullptr && name[0] != '\0') {
                listing.bytes.append(name).push_back('\0');
                listing.bytes.append(xmp_string_cstr(value)).push_back('\0');
            }
        }
    } catch (...) {
        listing.status = Listing::Threw;
    }
    xmp_string_free(value);
    xmp_string_free(path);
    xmp_string_free(schema);
    xmp_iterator_free(iter);
    xmp_free(xmp);
    return listing;
}

namespace {

// A listing of the lister's, in the terms of the toolkit's.
Listing asListing(const zudorhost::XmpListing &out)
{
    Listing listing;
    zudorhost::visitXmpListing(out.bytes.data(), out.bytes.size(),
        [](void *to, const char *path, size_t pathLength, const char *value, size_t valueLength) {
            auto &bytes = *static_cast<std::string *>(to);
            bytes.append(path, pathLength).push_back('\0');
            bytes.append(value, valueLength).push_back('\0');
        }, &listing.bytes);
    return listing;
}

} // namespace

Listing listerListing(const char *packet, size_t size)
{
    static zudorhost::XmpLister lister(zudorhost::XmpLister::HexReferences::AsToolkit);
    zudorhost::XmpListing out;
    Listing listing;
    switch (lister.list(packet, size, out)) {
    case zudorhost::XmpListStatus::Listed:
        listing = asListing(out);
        break;
    case zudorhost::XmpListStatus::Refused:
        listing.status = Listing::Refused;
        break;
    case zudorhost::XmpListStatus::OutOfMemory:
        listing.status = Listing::Threw;
        break;
    }
    return listing;
}

std::string describe(const Listing &listing)
{
    static const char *const kStatus[] = {"listed", "refused", "threw"};
    std::string text = kStatus[listing.status];
    text += '\n';
    for (size_t at = 0; at < listing.bytes.size();) {
        for (int part = 0; part < 2; ++part) {
            const size_t end = listing.bytes.find('\0', at);
            for (; at < end; ++at) {
                const auto c = uint8_t(listing.bytes[at]);
                char escape[8];
                if (c < 0x20 || c == 0x7F || c == '\\') {
                    std::snprintf(escape, sizeof escape, "\\x%02X", c);
                    text += escape;
                } else {
                    text += char(c);
                }
            }
            text += part == 0 ? " = " : "\n";
            ++at;
        }
    }
    return text;
}

std::string compare(const Listing &toolkit, const Listing &lister)
{
    if (toolkit.status == Listing::Threw) {
        // The lister lists on; what the toolkit listed before it threw must lead its listing.
        if (lister.status == Listing::Listed && lister.bytes.compare(0, toolkit.bytes.size(), toolkit.bytes) == 0)
            return {};
    } else if (toolkit.status == lister.status && toolkit.bytes == lister.bytes) {
        return {};
    }
    return "toolkit: " + describe(toolkit) + "lister: " + describe(lister);
}

namespace {

using zudorhost::xmp::XmlNode;

std::string treeText(const XmlNode &node, int depth)
{
    std::string text(size_t(depth) * 2, ' ');
    static const char *const kKinds[] = {"root", "element", "text", "instruction"};
    text += kKinds[node.kind];
    text += " ns=" + std::string(node.ns) + " name=" + std::string(node.name) + " value=" + std::string(node.value) +
            (node.blank ? " blank" : "") + "\n";
    for (uint32_t i = 0; i < node.attrCount; ++i)
        text += std::string(size_t(depth) * 2 + 2, ' ') + "@" + std::string(node.attrs[i].ns) + " " +
                std::string(node.attrs[i].name) + "=" + std::string(node.attrs[i].value) + "\n";
    for (const XmlNode *child = node.first; child != nullptr; child = child->next)
        text += treeText(*child, depth + 1);
    return text;
}

// The tree one way of reading builds, as text, or why it was not built.
std::string treeOf(const char *packet, size_t size, bool quick, bool toolkitReferences)
{
    static zudorhost::xmp::TreeBuilder builder;
    static zudorhost::xmp::Scratch scratch;
    static zudorhost::xmp::XmlTree tree;
    builder.setToolkitReferences(toolkitReferences);
    builder.setQuick(quick);
    switch (builder.build(packet, size, scratch, tree)) {
    case zudorhost::xmp::TreeBuilder::Built:
        break;
    case zudorhost::xmp::TreeBuilder::Refused:
        return "refused";
    case zudorhost::xmp::TreeBuilder::OutOfMemory:
        return "out of memory";
    }
    const XmlNode *rdf = zudorhost::xmp::findRdfRoot(tree);
    return treeText(tree.root, 0) + "rdf root: " + (rdf != nullptr ? treeText(*rdf, 0) : "none") + "\n";
}

} // namespace

std::string quickAgainstExpat(const char *packet, size_t size)
{
    // Both ways of reading character references: the toolkit's and the lister's own.
    for (bool toolkitReferences : {true, false}) {
        const std::string quick = treeOf(packet, size, true, toolkitReferences);
        const std::string expat = treeOf(packet, size, false, toolkitReferences);
        if (quick != expat)
            return "quick:\n" + quick + "expat:\n" + expat;
    }
    return {};
}

std::string directAgainstTrees(const char *packet, size_t size, bool *listed)
{
    using zudorhost::xmp::DirectResult;
    static zudorhost::XmpLister trees[2] = {zudorhost::XmpLister(zudorhost::XmpLister::HexReferences::AsToolkit),
                                            zudorhost::XmpLister(zudorhost::XmpLister::HexReferences::Kept)};
    static zudorhost::xmp::DirectWork *work = zudorhost::xmp::newDirectWork();
    static zudorhost::xmp::QuickWork *quick = zudorhost::xmp::newQuickWork();
    static zudorhost::xmp::Scratch scratch;
    if (listed != nullptr)
        *listed = false;
    for (int i = 0; i < 2; ++i) {
        zudorhost::XmpListing direct, tree;
        scratch.reset();
        if (zudorhost::xmp::listDirect(packet, size, *work, *quick, scratch, direct.bytes, direct.count, size_t(-1),
                                       i == 0) != DirectResult::Listed)
            continue;
        if (listed != nullptr)
            *listed = true;
        trees[i].setDirect(false);
        const bool treesListed = trees[i].list(packet, size, tree) == zudorhost::XmpListStatus::Listed;
        if (treesListed && tree.count == direct.count && tree.bytes.size() == direct.bytes.size() &&
            (tree.bytes.size() == 0 || std::memcmp(tree.bytes.data(), direct.bytes.data(), tree.bytes.size()) == 0))
            continue;
        Listing d = asListing(direct), t = asListing(tree);
        t.status = treesListed ? Listing::Listed : Listing::Refused;
        return "direct (" + std::to_string(direct.count) + "): " + describe(d) + "trees (" + std::to_string(tree.count) +
               "): " + describe(t);
    }
    return {};
}

} // namespace xmporacle
