// Parsed mode where the build has no XMP toolkit: nothing parses. Front ends ask
// xmpParsingAvailable() first and refuse parsed mode instead of failing packet by packet.
#include "services/xmp_toolkit.h"
#include "zudor_host/services.h"

namespace zudorhost {

bool xmpParsingAvailable() { return false; }
bool initXmpToolkit(bool) { return false; }
void *parseXmpDocument(const char *, size_t) { return nullptr; }
void freeXmpDocument(void *) {}
void forEachXmpProperty(const void *, XmpPropertyVisitor, void *) {}

} // namespace zudorhost
