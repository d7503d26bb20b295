// The XMP toolkit's own listing of a packet, in the lister's format, for holding the two side
// by side: the differential fuzz target and the sameness test.
#pragma once

#include <cstddef>
#include <string>

namespace xmporacle {

struct Listing {
    enum Status { Listed, Refused, Threw } status = Listed;
    std::string bytes; // "path\0value\0" for each simple property, in the toolkit's order
};

// The toolkit's listing of a packet read as the first of its process: the toolkit is
// started afresh for every packet, which empties its namespace registry, so no earlier packet
// decides the prefixes. Threw: the iteration threw out of the toolkit, which ends the process
// of any caller that does not catch it; bytes holds what it listed before.
Listing toolkitListing(const char *packet, size_t size);

// The lister's listing, in the same terms.
Listing listerListing(const char *packet, size_t size);

// Empty when the two agree (the lister may list on where the toolkit threw); else a report
// of the first difference.
std::string compare(const Listing &toolkit, const Listing &lister);

// "path = value" lines, control bytes escaped.
std::string describe(const Listing &listing);

// Empty when the lister's quick reading of the packet, if it reads it at all, builds the tree
// expat's events build; else where the two part.
std::string quickAgainstExpat(const char *packet, size_t size);

// Empty when the lister's direct reading of the packet, if it lists it at all, lists what the
// trees list; else where the two part. listed: whether the direct reading listed it.
std::string directAgainstTrees(const char *packet, size_t size, bool *listed = nullptr);

} // namespace xmporacle
