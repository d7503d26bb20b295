// One document's whole life through the reader's table, against a host that misbehaves on
// cue, with everything checked that must hold whatever the file and the host do, and a
// transcript of what the host saw. Every suite and the fuzz target lead documents through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zudor/reader.h"

namespace testhost {

// How the host leads the document and where it fails.
struct LifeScript {
    // I initDoc (the first on the document's stream, later ones on a fresh copy of it),
    // S summary, X XMP record, R release, T text record. The release twice and the free
    // always follow.
    std::string steps = "ISX";
    long refuseRequest = 0;       // the allocation request to refuse (1-based; 0: none)
    bool refuseOnward = false;    // and every one after it
    long cutRead = 0;             // the read to cut short (1-based; 0: none)
    size_t xmpRecords = SIZE_MAX; // XMP calls answered with a record; later ones get none
};

struct LifeResult {
    std::vector<std::string> violations; // empty when every invariant held
    bool contextMade = false;
    // One word per I, S and X step, joined by " / ": i0 or i6; a summary as
    // title|author|seconds|Name=value,... (- for null or zero); an XMP record as 0 or #n
    // (made by the n-th service call); ~ for a buffer left untouched.
    std::string transcript;
    std::string streamLog; // r<length> and s<offset>, in order
    std::string heapLog;   // a<size>, c<count>x<size>, r<size>, z<size>, in order
    std::string packets;   // what the XMP service was given, escaped, joined by " / "
    long reads = 0;
    long requests = 0;
    size_t peakBytes = 0;
};

LifeResult liveHostileLife(const ReaderInterface &reader, const std::vector<uint8_t> &document,
                           const LifeScript &script);

// The violations joined one a line, for a failure message.
std::string describe(const LifeResult &result);
// Bytes below 0x20 or from 0x7F on, and " and \, as \xNN.
std::string escaped(const std::string &bytes);

} // namespace testhost
