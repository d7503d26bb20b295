// What stands behind the XMP slot: the host's own lister, one per host, and the XMP toolkit
// where the build has it (xmp_parsed_exempi.cpp) or not (xmp_parsed_none.cpp, where every
// packet the toolkit is given is turned down).
#pragma once

#include <cstddef>

#include "services/xmp_lister.h"
#include "zudor_host/services.h"

namespace zudorhost {

struct XmpReading {
    XmpLister lister;
    XmpListing listing; // the last packet's, copied into the document's arena
};

// The toolkit's parsed document for a packet's text, or null when it does not parse.
void *parseXmpDocument(const char *packet, size_t size);
void freeXmpDocument(void *document);
void forEachToolkitProperty(const void *document, XmpPropertyVisitor visit, void *state);

} // namespace zudorhost
