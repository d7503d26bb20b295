// One document's whole life through the reader's table, against a host that misbehaves on
// cue, with everything checked that must hold whatever the file and the host do. Shared by
// the pathological suite and the fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zudor/reader.h"

namespace testhost {

// How the host leads the document and where it fails.
struct LifeScript {
    bool xmpFirst = false;       // getXmpInfo before getSummaryInfo
    bool repeat = false;         // both retrievals once more
    bool releaseBetween = false; // a release between the first and the second retrieval
    bool reopen = false;         // a second initDoc, on a fresh stream, before the release
    bool textFirst = false;      // the text record before the retrievals, else after them
    long refuseRequest = 0;      // the allocation request to refuse (1-based; 0: none)
    bool refuseOnward = false;   // and every one after it
    long cutRead = 0;            // the read to cut short (1-based; 0: none)
    size_t xmpRecords = SIZE_MAX; // XMP calls answered with a record; later ones get none
};

struct LifeResult {
    std::vector<std::string> violations; // empty when every invariant held
    bool contextMade = false;
    uint32_t initStatus = 0;
    bool summaryWritten = false; // by the first summary retrieval
    std::string gathered;        // what that summary held, as text
    long reads = 0;
    long requests = 0;
    size_t peakBytes = 0;
};

LifeResult liveHostileLife(const ReaderInterface &reader, const std::vector<uint8_t> &document,
                           const LifeScript &script);

// The violations joined one a line, for a failure message.
std::string describe(const LifeResult &result);

} // namespace testhost
