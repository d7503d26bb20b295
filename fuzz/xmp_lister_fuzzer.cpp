// The host's XMP lister against the XMP toolkit: any packet lists the same under both, the
// toolkit reading it as the first packet of its process. Where the toolkit's iteration throws
// (which ends a caller that does not catch it), the lister must list on from what the toolkit
// listed before. Where the lister's quick reading reads a packet, its tree must be the one
// expat's events build; where its direct reading lists one, the listing must be the trees'.
// Any other difference is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "xmp_toolkit_oracle.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *packet = reinterpret_cast<const char *>(data);
    std::string difference =
        xmporacle::compare(xmporacle::toolkitListing(packet, size), xmporacle::listerListing(packet, size));
    if (difference.empty())
        difference = xmporacle::quickAgainstExpat(packet, size);
    if (difference.empty())
        difference = xmporacle::directAgainstTrees(packet, size);
    if (!difference.empty()) {
        std::fprintf(stderr, "the lister and the toolkit differ\n%s", difference.c_str());
        std::abort();
    }
    return 0;
}
