// The XMP toolkit behind parsed mode, one implementation per build: Exempi where it exists,
// and none where it does not (every parse then fails and the host says so up front).
#pragma once

#include <cstddef>

namespace zudorhost {

// The parsed document for a packet's text, or null when it does not parse.
void *parseXmpDocument(const char *packet, size_t size);
void freeXmpDocument(void *document);

} // namespace zudorhost
