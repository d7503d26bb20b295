// Toolkit mode where the build has no XMP toolkit: nothing parses. Front ends ask
// xmpToolkitAvailable() first and refuse toolkit mode instead of failing packet by packet.
#include "xmp/xmp_toolkit.h"
#include "zudor_host/xmp_mode.h"

namespace zudorhost {

bool xmpToolkitAvailable() { return false; }
bool initXmpToolkit(bool) { return false; }
void *parseXmpDocument(const char *, size_t) { return nullptr; }
void freeXmpDocument(void *) {}
void forEachToolkitProperty(const void *, XmpPropertyVisitor, void *) {}

} // namespace zudorhost
