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

#include "zudor_host/output_buffer.h"

namespace zudorhost {

enum class XmpListStatus {
    Listed,     // the packet parsed; its listing may be empty
    Refused,    // the toolkit would refuse the packet
    OutOfMemory // the listing or the work behind it did not fit in memory
};

// Each property in the toolkit's order, back to back: the path's length and the value's (four
// bytes each, in the machine's order), the path, a NUL, the value, a NUL.
struct XmpListing {
    OutputBuffer bytes;
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
    // A listing would grow past this many bytes (OutOfMemory): paths grow with the nesting,
    // so a deep packet of many fields lists far more than its own size.
    void setLimit(size_t bytes) { limit_ = bytes; }
    // For the tests: whether a plain packet is listed straight from its bytes, without the
    // trees in between.
    void setDirect(bool direct) { direct_ = direct; }

    struct Work;

private:
    std::unique_ptr<Work> work_;
    size_t limit_ = size_t(-1);
    bool direct_ = true;
    bool toolkitReferences_ = false;
};

// Calls visit for each property of a listing, in order, with strings that point into it.
using XmpPropertyVisitor = void (*)(void *state, const char *path, size_t pathLength, const char *value,
                                    size_t valueLength);
void visitXmpListing(const char *bytes, size_t size, XmpPropertyVisitor visit, void *state);

} // namespace zudorhost
