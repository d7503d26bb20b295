// The quick reading (xmp_quick_reader.h) building the XML tree.
#include "xmp/xmp_quick_reader.h"

namespace zudorhost {
namespace xmp {

QuickWork *newQuickWork() { return new QuickWork; }
void deleteQuickWork(QuickWork *work) { delete work; }

bool buildQuick(const char *text, size_t size, TreeSink &sink, QuickWork &work, bool toolkitReferences)
{
    return readQuick(text, size, sink, work, toolkitReferences);
}

} // namespace xmp
} // namespace zudorhost
