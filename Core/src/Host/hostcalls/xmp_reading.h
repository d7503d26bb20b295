// What stands behind the XMP slot: the host's own lister, one per host, and the XMP toolkit
// where the build has it (xmp_parsed_exempi.cpp) or not (xmp_parsed_none.cpp, where every
// packet the toolkit is given is turned down).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "xmp/xmp_lister.h"
#include "records/xmp_record.h"

namespace zudorhost {

// Parsed mode reads a packet only when its record is asked for. The reader keeps only its
// last packet's record, and a packet the lister turns down leaves the one before it, so most
// packets of a many-page document need never be read: their texts wait here, newest last,
// until the reader hands a record over, and are then read newest first until one lists.
struct XmpReading {
    struct Waiting {
        const HostXmpRecord *record; // the record the reader was given for it
        char *text;
    };
    XmpLister lister;
    XmpListing listing;            // the packet read last, before its copy into the arena
    std::vector<Waiting> waiting;  // since the reader last handed a record over
    uint64_t waitingBytes = 0;
    HostXmpRecord *fallback = nullptr; // read from texts that waited before, when they grew many
    // Each record the reader handed over, with what it reads as (null: nothing listed).
    std::vector<std::pair<const HostXmpRecord *, HostXmpRecord *>> readAs;
};

} // namespace zudorhost
