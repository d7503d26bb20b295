// The XMP toolkit behind toolkit mode, where the build has it (xmp_parsed_exempi.cpp) or not
// (xmp_parsed_none.cpp, where every packet the toolkit is given is turned down).
#pragma once

#include <cstddef>

#include "xmp/xmp_lister.h"

namespace zudorhost {

// The toolkit's parsed document for a packet's text, or null when it does not parse.
void *parseXmpDocument(const char *packet, size_t size);
void freeXmpDocument(void *document);
void forEachToolkitProperty(const void *document, XmpPropertyVisitor visit, void *state);

} // namespace zudorhost
