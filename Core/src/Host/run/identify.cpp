// What a host looks at before it hands a file to the reader: a classic TIFF header.
#include "zudor_host/module.h"

namespace zudorhost {

DocumentKind identify(const uint8_t *head, size_t size)
{
    if (size < 4 || !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')))
        return DocumentKind::Other;
    const unsigned version = head[0] == 'I' ? head[2] | head[3] << 8 : head[2] << 8 | head[3];
    return version == 42 ? DocumentKind::Tiff : version == 43 ? DocumentKind::BigTiff : DocumentKind::Other;
}

} // namespace zudorhost
