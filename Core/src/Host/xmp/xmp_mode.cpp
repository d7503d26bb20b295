#include "zudor_host/xmp_mode.h"

namespace zudorhost {

const char *xmpModeName(XmpMode mode)
{
    switch (mode) {
    case XmpMode::Raw: return "raw";
    case XmpMode::Toolkit: return "toolkit";
    case XmpMode::Parsed: break;
    }
    return "parsed";
}

} // namespace zudorhost
