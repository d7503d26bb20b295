// How the host reads the XMP packets the reader hands it, and whether the XMP toolkit is there
// to read them: the host's XMP room (xmp/) answers both.
#pragma once

#include <cstdint>

namespace zudorhost {

enum class XmpMode : uint32_t {
    Parsed = 1, // every packet is listed by the host's own lister; the record carries the listing
    Raw = 2,    // the host keeps a copy of the packet's text and parses nothing
    Toolkit = 3 // every packet is parsed by the XMP toolkit (Exempi), where the build has it
};
// "parsed", "raw" or "toolkit", as the front ends name the modes.
const char *xmpModeName(XmpMode mode);

// Whether this build has the XMP toolkit (XmpMode::Toolkit): false on Windows, where Exempi
// has no build, and then every packet the toolkit is given is turned down.
bool xmpToolkitAvailable();

// The XMP toolkit needs one initialisation per process before any thread uses it; the first
// parse in toolkit mode does it, and a host with threads calls this before it starts them.
// The toolkit reports parse failures on std::cerr: unless showDiagnostics is set on that first
// call, std::cerr is silenced for the process.
bool initXmpToolkit(bool showDiagnostics = false);

} // namespace zudorhost
