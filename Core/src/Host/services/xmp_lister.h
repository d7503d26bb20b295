// The host's own reading of XMP packets: each packet's leaf properties, without their
// qualifiers, as the XMP toolkit's parse and property iteration list them (the same paths, the
// same values, the same order, the same packets refused), in one buffer per packet.
//
// One difference on purpose: the toolkit keeps one namespace registry per process, so a prefix
// it made up for one packet changes what later packets list. Here each packet is read against
// the fixed table of well-known namespaces and its own declarations only; xmp_lister.cpp lists
// the few places where the toolkit crashes or loses data and the lister does not.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zudorhost {

enum class XmpListStatus {
    Listed,     // the packet parsed; its listing may be empty
    Refused,    // the toolkit would refuse the packet
    OutOfMemory // the listing or the work behind it did not fit in memory
};

// "path\0value\0" for each property, back to back, in the toolkit's order.
struct XmpListing {
    std::string bytes;
    size_t count = 0;
};

// Reads packets one at a time. It keeps its parser and scratch memory from one packet to the
// next, and nothing else: what it lists depends only on the packet. One lister per thread.
class XmpLister {
public:
    // The toolkit turns any character reference of one or two hex digits into a space
    // ("&#xE9;" as well as "&#x1;"), losing the character. The lister does so only for the
    // control characters XML forbids, unless asked to read them as the toolkit does, as the
    // tests that hold the two side by side do.
    enum class HexReferences { Kept, AsToolkit };

    explicit XmpLister(HexReferences references = HexReferences::Kept);
    ~XmpLister();
    XmpLister(const XmpLister &) = delete;
    XmpLister &operator=(const XmpLister &) = delete;

    // Replaces out with the listing of size bytes of packet text.
    XmpListStatus list(const char *packet, size_t size, XmpListing &out);

    struct Work;

private:
    std::unique_ptr<Work> work_;
};

// Calls visit(state, path, value) for each property of a listing, in order; both strings
// point into the listing.
using XmpPropertyVisitor = void (*)(void *state, const char *path, const char *value);
void visitXmpListing(const char *bytes, size_t size, XmpPropertyVisitor visit, void *state);

} // namespace zudorhost
